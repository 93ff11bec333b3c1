#pragma once

#include <windows.h>
#include <objbase.h>
#include <stddef.h>

// One element of a compound file to build; `path` separates storages with '/'.
// Elements come in depth-first order, each storage right before its children.
// A storage may carry a class identifier and state bits.
struct SampleElement {
    const wchar_t* path;
    bool storage;
    unsigned long length;
    const CLSID* classId;
    DWORD stateBits;
};

extern const CLSID SAMPLE_ROOT_CLASS;
extern const CLSID SAMPLE_INNER_CLASS;
extern const CLSID SAMPLE_OBJECT_CLASS;
extern const SampleElement SAMPLE_TREE[];
extern const size_t SAMPLE_TREE_COUNT;

unsigned char sampleByte(const wchar_t* path, unsigned long index);
HRESULT createSampleFile(const wchar_t* filePath, const SampleElement* elements, size_t count,
                         const CLSID* rootClass, bool largeSectors);
// Whether this system's structured storage writes state bits to the file and reads them
// back (Wine keeps them in memory only); makes a probe file at filePath.
bool sampleStateBitsKept(const wchar_t* filePath);
