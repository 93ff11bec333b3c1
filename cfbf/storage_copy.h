#pragma once

#include <windows.h>
#include <objbase.h>
#include <stddef.h>

// One stream of the input, opened, with its still empty counterpart in the output.
struct StreamPair {
    ULONGLONG size;
    IStream* source;
    IStream* target;
    IStorage* sourceParent;
    IStorage* targetParent;
};

struct StreamPairList {
    StreamPair* items;
    size_t count;
};

struct ReferenceList {
    IUnknown** items;
    size_t count;
};

void rewriteCompoundFile(const wchar_t* inputPath, const wchar_t* outputPath, bool largeSectors);
void copyStorageTree(IStorage* source, IStorage* target, StreamPairList* pairs,
                     ReferenceList* storages);
bool compareStorageTrees(IStorage* source, IStorage* target);
