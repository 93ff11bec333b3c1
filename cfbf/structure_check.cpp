#include "structure_check.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lists.h"

// Structured storage follows a compound file's sector chains and directory links as
// they stand, and Wine's follows a chain that runs in a circle for ever. So before the
// file is handed to it, every chain and link it will follow is walked here once: each
// sector and entry may be met only once per chain or tree, and every index must lie in
// the file. Sizes that promise more than a chain holds are left to the copy, which
// notices them without looping.

namespace {

const uint32_t LAST_REGULAR_SECTOR = 0xFFFFFFFA; // above: end of chain, free, FAT or DIFAT marks
const uint32_t NO_ENTRY = 0xFFFFFFFF;
const uint64_t SMALL_STREAM_LIMIT = 4096;
const uint32_t MINI_SECTOR_LENGTH = 64;
const uint32_t ENTRY_LENGTH = 128;
const uint32_t HEADER_DIFAT_COUNT = 109;
const unsigned char SIGNATURE[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

// Entry fields.
const size_t ENTRY_NAME_LENGTH = 64, ENTRY_TYPE = 66, ENTRY_LEFT = 68, ENTRY_RIGHT = 72, ENTRY_CHILD = 76,
             ENTRY_START = 116, ENTRY_SIZE = 120;
const unsigned char TYPE_STORAGE = 1, TYPE_STREAM = 2, TYPE_ROOT = 5;

char reason[160];

const char* fault(const char* format, unsigned long value = 0)
{
    snprintf(reason, sizeof(reason), format, value);
    return reason;
}

uint32_t u32(const unsigned char* bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

unsigned u16(const unsigned char* bytes)
{
    return bytes[0] | (bytes[1] << 8);
}

// Reads up to length bytes at offset; what lies past the end of the file reads as
// the fill byte.
bool readAt(HANDLE file, uint64_t offset, unsigned char* buffer, uint32_t length, unsigned char fill)
{
    memset(buffer, fill, length);
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN))
        return false;
    DWORD done = 0;
    while (done < length) {
        DWORD read = 0;
        if (!ReadFile(file, buffer + done, length - done, &read, nullptr))
            return false;
        if (read == 0)
            break;
        done += read;
    }
    return true;
}

template <typename T> T* allocateArray(uint64_t count)
{
    return static_cast<T*>(growList(nullptr, count ? static_cast<size_t>(count) : 1, sizeof(T)));
}

void freeArray(void* items)
{
    if (items)
        HeapFree(GetProcessHeap(), 0, items);
}

// One table of next links (the FAT or the mini FAT) and a mark per slot, so that each
// walk notices its own circles in time proportional to its length.
struct ChainTable {
    const uint32_t* next;
    uint64_t count; // links that lead somewhere real: in the table and in the file
    uint32_t* marks;
    uint32_t walk;
};

enum WalkEnd { WALK_ENDED, WALK_CIRCLE, WALK_OUTSIDE };

// A strict walk counts a link past the table as a fault; a lenient one stops there.
WalkEnd walkChain(ChainTable* table, uint32_t start, bool strict, uint64_t* length)
{
    ++table->walk;
    *length = 0;
    for (uint32_t at = start; at <= LAST_REGULAR_SECTOR; at = table->next[at]) {
        if (at >= table->count)
            return strict ? WALK_OUTSIDE : WALK_ENDED;
        if (table->marks[at] == table->walk)
            return WALK_CIRCLE;
        table->marks[at] = table->walk;
        ++*length;
    }
    return WALK_ENDED;
}

const char* chainFault(WalkEnd end, const char* what, unsigned long entry = 0)
{
    char format[96];
    snprintf(format, sizeof(format), "%s %s", what,
             end == WALK_CIRCLE ? "runs in a circle" : "leads outside the file");
    return fault(format, entry);
}

struct File {
    HANDLE handle;
    uint64_t length;
    unsigned shift;
    uint32_t sectorLength;
    uint64_t sectorCount;
};

bool readSector(const File& file, uint32_t index, unsigned char* buffer, unsigned char fill)
{
    return readAt(file.handle, (static_cast<uint64_t>(index) + 1) << file.shift, buffer, file.sectorLength, fill);
}

// The FAT sectors the header and the DIFAT chain name, in order.
const char* findFatSectors(const File& file, const unsigned char* header, uint32_t* fatSectors, uint32_t fatCount)
{
    for (uint32_t i = 0; i < fatCount && i < HEADER_DIFAT_COUNT; ++i)
        fatSectors[i] = u32(header + 76 + 4 * i);
    uint32_t found = fatCount < HEADER_DIFAT_COUNT ? fatCount : HEADER_DIFAT_COUNT;
    uint32_t difatCount = u32(header + 72);
    if (difatCount > file.sectorCount)
        return fault("the header counts more DIFAT sectors than the file holds");
    uint32_t perSector = file.sectorLength / 4 - 1;
    unsigned char* sector = allocateArray<unsigned char>(file.sectorLength);
    uint32_t* seen = allocateArray<uint32_t>(difatCount);
    const char* problem = nullptr;
    uint32_t at = u32(header + 68);
    for (uint32_t walked = 0; !problem && found < fatCount; ++walked) {
        if (walked == difatCount || at > LAST_REGULAR_SECTOR) {
            problem = fault("the DIFAT ends before its last FAT sector");
        } else if (at >= file.sectorCount) {
            problem = fault("the DIFAT chain leads outside the file");
        } else {
            for (uint32_t i = 0; i < walked && !problem; ++i) {
                if (seen[i] == at)
                    problem = fault("the DIFAT chain runs in a circle");
            }
            seen[walked] = at;
            if (!problem && !readSector(file, at, sector, 0xFF))
                problem = fault("the DIFAT cannot be read");
            for (uint32_t i = 0; !problem && i < perSector && found < fatCount; ++i)
                fatSectors[found++] = u32(sector + 4 * i);
            at = u32(sector + 4 * perSector);
        }
    }
    freeArray(seen);
    freeArray(sector);
    for (uint32_t i = 0; !problem && i < fatCount; ++i) {
        if (fatSectors[i] >= file.sectorCount)
            problem = fault("FAT sector %lu lies outside the file", i);
    }
    return problem;
}

// The chain's sectors read one after another into one buffer.
bool readChain(const File& file, const ChainTable& fat, uint32_t start, uint64_t length, unsigned char* buffer,
               unsigned char fill)
{
    uint32_t at = start;
    for (uint64_t i = 0; i < length; ++i, at = fat.next[at]) {
        if (!readSector(file, at, buffer + i * file.sectorLength, fill))
            return false;
    }
    return true;
}

uint64_t entrySize(const File& file, const unsigned char* entry)
{
    // With 512-byte sectors only the low half of a size counts.
    uint64_t low = u32(entry + ENTRY_SIZE);
    return file.shift == 9 ? low : low | (static_cast<uint64_t>(u32(entry + ENTRY_SIZE + 4)) << 32);
}

struct Directory {
    const unsigned char* entries;
    uint32_t count;
};

// Every entry reachable from the root, each reached once, with its own chain sound.
const char* checkTree(const File& file, const Directory& directory, ChainTable* fat, ChainTable* mini)
{
    uint8_t* reached = allocateArray<uint8_t>(directory.count);
    memset(reached, 0, directory.count);
    uint32_t* pending = allocateArray<uint32_t>(directory.count * 3ull + 1);
    uint64_t pendingCount = 0;
    reached[0] = 1;
    pending[pendingCount++] = u32(directory.entries + ENTRY_CHILD);
    const char* problem = nullptr;
    while (!problem && pendingCount > 0) {
        uint32_t index = pending[--pendingCount];
        if (index == NO_ENTRY)
            continue;
        if (index >= directory.count) {
            problem = fault("a directory link leads past the directory's %lu entries", directory.count);
            break;
        }
        if (reached[index]) {
            problem = fault("directory entry %lu is linked more than once", index);
            break;
        }
        reached[index] = 1;
        const unsigned char* entry = directory.entries + static_cast<uint64_t>(index) * ENTRY_LENGTH;
        if (u16(entry + ENTRY_NAME_LENGTH) > 64) {
            problem = fault("directory entry %lu has a name longer than 31 characters", index);
            break;
        }
        pending[pendingCount++] = u32(entry + ENTRY_LEFT);
        pending[pendingCount++] = u32(entry + ENTRY_RIGHT);
        if (entry[ENTRY_TYPE] == TYPE_STORAGE)
            pending[pendingCount++] = u32(entry + ENTRY_CHILD);
        uint64_t size = entrySize(file, entry);
        if (entry[ENTRY_TYPE] != TYPE_STREAM || size == 0)
            continue;
        uint32_t start = u32(entry + ENTRY_START);
        uint64_t length = 0;
        WalkEnd end;
        if (size >= SMALL_STREAM_LIMIT) {
            end = walkChain(fat, start, true, &length);
        } else {
            end = walkChain(mini, start, true, &length);
            // A reader that took the size as large would follow the FAT instead.
            if (end == WALK_ENDED)
                end = walkChain(fat, start, false, &length);
        }
        if (end != WALK_ENDED)
            problem = chainFault(end, "the chain of stream entry %lu", index);
    }
    freeArray(pending);
    freeArray(reached);
    return problem;
}

const char* checkStructure(const File& file, const unsigned char* header)
{
    uint32_t fatCount = u32(header + 44);
    if (fatCount > file.sectorCount)
        return fault("the header counts more FAT sectors than the file holds");
    uint32_t* fatSectors = allocateArray<uint32_t>(fatCount);
    const char* problem = findFatSectors(file, header, fatSectors, fatCount);

    uint32_t perSector = file.sectorLength / 4;
    uint64_t fatLength = static_cast<uint64_t>(fatCount) * perSector;
    ChainTable fat = {allocateArray<uint32_t>(fatLength), 0, nullptr, 0};
    for (uint32_t i = 0; !problem && i < fatCount; ++i) {
        if (!readSector(file, fatSectors[i], reinterpret_cast<unsigned char*>(
                                                 const_cast<uint32_t*>(fat.next) + static_cast<uint64_t>(i) * perSector),
                        0xFF))
            problem = fault("FAT sector %lu cannot be read", i);
    }
    fat.count = fatLength < file.sectorCount ? fatLength : file.sectorCount;
    fat.marks = allocateArray<uint32_t>(fat.count);
    memset(fat.marks, 0, fat.count * sizeof(uint32_t));

    uint64_t length = 0;
    WalkEnd end;
    Directory directory = {nullptr, 0};
    unsigned char* entries = nullptr;
    if (!problem && (end = walkChain(&fat, u32(header + 48), true, &length)) != WALK_ENDED)
        problem = chainFault(end, "the directory chain");
    if (!problem && length == 0)
        problem = fault("the directory is empty");
    if (!problem) {
        entries = allocateArray<unsigned char>(length * file.sectorLength);
        uint64_t count = length * (file.sectorLength / ENTRY_LENGTH);
        directory = {entries, count > NO_ENTRY ? NO_ENTRY : static_cast<uint32_t>(count)};
        if (!readChain(file, fat, u32(header + 48), length, entries, 0))
            problem = fault("the directory cannot be read");
        else if (entries[ENTRY_TYPE] != TYPE_ROOT)
            problem = fault("the first directory entry is not the root");
    }

    // The mini FAT and the mini stream (the root's chain) are followed on opening.
    ChainTable mini = {nullptr, 0, nullptr, 0};
    uint64_t miniFatLength = 0;
    if (!problem && (end = walkChain(&fat, u32(header + 60), true, &miniFatLength)) != WALK_ENDED)
        problem = chainFault(end, "the mini FAT chain");
    uint64_t miniStreamLength = 0;
    if (!problem && (end = walkChain(&fat, u32(entries + ENTRY_START), true, &miniStreamLength)) != WALK_ENDED)
        problem = chainFault(end, "the mini stream chain");
    unsigned char* miniFat = nullptr;
    if (!problem) {
        miniFat = allocateArray<unsigned char>(miniFatLength * file.sectorLength);
        if (!readChain(file, fat, u32(header + 60), miniFatLength, miniFat, 0xFF))
            problem = fault("the mini FAT cannot be read");
        uint64_t links = miniFatLength * perSector;
        uint64_t miniSectors = miniStreamLength * (file.sectorLength / MINI_SECTOR_LENGTH);
        mini.next = reinterpret_cast<const uint32_t*>(miniFat);
        mini.count = links < miniSectors ? links : miniSectors;
        mini.marks = allocateArray<uint32_t>(mini.count);
        memset(mini.marks, 0, mini.count * sizeof(uint32_t));
    }
    if (!problem)
        problem = checkTree(file, directory, &fat, &mini);

    freeArray(mini.marks);
    freeArray(miniFat);
    freeArray(entries);
    freeArray(fat.marks);
    freeArray(const_cast<uint32_t*>(fat.next));
    freeArray(fatSectors);
    return problem;
}

} // namespace

const char* findStructureFault(HANDLE file)
{
    unsigned char header[512];
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || !readAt(file, 0, header, sizeof(header), 0))
        return nullptr; // opening it will fail the same way
    if (size.QuadPart < 8 || memcmp(header, SIGNATURE, sizeof(SIGNATURE)) != 0)
        return nullptr;
    if (size.QuadPart < 512)
        return fault("the file is shorter than its header");
    unsigned shift = u16(header + 30);
    if (shift != 9 && shift != 12)
        return fault("the header's sector size is neither 512 nor 4096 bytes");
    if (u16(header + 32) != 6 || u32(header + 56) != SMALL_STREAM_LIMIT)
        return fault("the header's mini sector size or mini stream limit is not the standard one");
    File compound = {file, static_cast<uint64_t>(size.QuadPart), shift, 1u << shift, 0};
    // The header takes the place of sector -1; a last sector cut short still counts.
    if (compound.length > compound.sectorLength)
        compound.sectorCount = (compound.length - compound.sectorLength + compound.sectorLength - 1) >> shift;
    return checkStructure(compound, header);
}
