#pragma once

#include <windows.h>
#include <objbase.h>
#include <stddef.h>
#include <string>

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

// Faults put by hand into the bytes of a compound file: links that run in a circle or
// lead past what the file holds, as a reader meets them, or a body of random bytes
// behind the header's first 64.
enum Corruption {
    CORRUPT_DIRECTORY_CIRCLE,
    CORRUPT_MINI_FAT_CIRCLE,
    CORRUPT_MINI_STREAM_CIRCLE,
    CORRUPT_SIBLING_CIRCLE,
    CORRUPT_LARGE_STREAM_CIRCLE, // the stream "Large"
    CORRUPT_SMALL_STREAM_CIRCLE, // the stream "Small"
    CORRUPT_CHILD_PAST_DIRECTORY,
    CORRUPT_FAT_SECTOR_OUTSIDE,
    CORRUPT_FAT_COUNT,
    CORRUPT_DIFAT_CIRCLE, // needs a file with DIFAT sectors
    CORRUPT_RANDOM_BODY,
};
// False when the file lacks what the fault needs.
bool corruptCompoundFile(std::string& bytes, Corruption corruption);
