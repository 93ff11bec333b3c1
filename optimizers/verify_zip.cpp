// The entries of a repacked ZIP against the original's, by the CRC-32 and size
// in both central directories. That the stored CRCs match the data is 7-Zip's
// test in the repack pass, which also compares the data with the unpacked folder.
#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

const uint32_t END_SIGNATURE = 0x06054B50;
const uint32_t END64_LOCATOR_SIGNATURE = 0x07064B50;
const uint32_t END64_SIGNATURE = 0x06064B50;
const uint32_t ENTRY_SIGNATURE = 0x02014B50;
const uint64_t END_LENGTH = 22;
const uint64_t LONGEST_COMMENT = 0xFFFF;
const uint16_t FLAG_UTF8 = 0x0800;
const uint16_t EXTRA_ZIP64 = 0x0001;
const uint16_t EXTRA_UNICODE_PATH = 0x7075;
const unsigned CODE_PAGE_DOS = 437; // what names without the UTF-8 flag are written in

struct ZipEntry {
    wchar_t* name; // backslashes, as the unpacked folder has it
    uint32_t crc;
    uint64_t size;
    bool directory;
};

struct ZipDirectory {
    ZipEntry* entries;
    size_t count;
};

uint16_t le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t le64(const uint8_t* p)
{
    return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

void freeDirectory(ZipDirectory* directory)
{
    for (size_t i = 0; i < directory->count; ++i)
        release(directory->entries[i].name);
    release(directory->entries);
    directory->entries = nullptr;
    directory->count = 0;
}

wchar_t* decodeName(const uint8_t* bytes, size_t length, bool utf8)
{
    UINT codePage = utf8 ? CP_UTF8 : CODE_PAGE_DOS;
    int units = length ? MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(bytes),
                                             static_cast<int>(length), nullptr, 0)
                       : 0;
    if (length && units <= 0)
        return nullptr;
    wchar_t* name = static_cast<wchar_t*>(allocate(static_cast<size_t>(units) + 1, sizeof(wchar_t), nullptr));
    if (!name)
        return nullptr;
    if (units)
        MultiByteToWideChar(codePage, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(length), name, units);
    name[units] = 0;
    for (wchar_t* c = name; *c; ++c) {
        if (*c == L'/')
            *c = L'\\';
    }
    return name;
}

uint32_t crc32Of(const uint8_t* bytes, size_t length)
{
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        c ^= bytes[i];
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return c ^ 0xFFFFFFFFu;
}

// One central directory entry at p (room bytes left); its length in *used.
bool readEntry(const uint8_t* p, uint64_t room, ZipEntry* entry, uint64_t* used)
{
    if (room < 46 || le32(p) != ENTRY_SIGNATURE)
        return false;
    uint16_t flags = le16(p + 8);
    uint16_t nameLength = le16(p + 28);
    uint16_t extraLength = le16(p + 30);
    uint16_t commentLength = le16(p + 32);
    *used = 46ull + nameLength + extraLength + commentLength;
    if (*used > room)
        return false;
    entry->crc = le32(p + 16);
    entry->size = le32(p + 24);
    const uint8_t* name = p + 46;
    const uint8_t* nameBytes = name;
    size_t nameBytesLength = nameLength;
    bool utf8 = (flags & FLAG_UTF8) != 0;
    const uint8_t* extra = name + nameLength;
    for (uint32_t at = 0; at + 4 <= extraLength;) {
        uint16_t id = le16(extra + at);
        uint16_t length = le16(extra + at + 2);
        const uint8_t* data = extra + at + 4;
        if (at + 4 + length > extraLength)
            break;
        if (id == EXTRA_ZIP64 && le32(p + 24) == 0xFFFFFFFFu && length >= 8)
            entry->size = le64(data);
        // Info-ZIP's Unicode path, valid while it belongs to this very name.
        if (id == EXTRA_UNICODE_PATH && length >= 5 && data[0] == 1 && le32(data + 1) == crc32Of(name, nameLength)) {
            nameBytes = data + 5;
            nameBytesLength = length - 5u;
            utf8 = true;
        }
        at += 4u + length;
    }
    entry->name = decodeName(nameBytes, nameBytesLength, utf8);
    if (!entry->name)
        return false;
    size_t units = wcslen(entry->name);
    entry->directory = units > 0 && entry->name[units - 1] == L'\\';
    return true;
}

// The central directory lies just before its end record (or the ZIP64 one),
// whatever offset it states, so archives with data in front read as well.
bool findDirectory(const MappedFile* zip, uint64_t* start, uint64_t* length, uint64_t* count)
{
    if (zip->length < END_LENGTH)
        return false;
    uint64_t lowest = zip->length - END_LENGTH > LONGEST_COMMENT ? zip->length - END_LENGTH - LONGEST_COMMENT : 0;
    for (uint64_t at = zip->length - END_LENGTH + 1; at-- > lowest;) {
        const uint8_t* end = zip->data + at;
        if (le32(end) != END_SIGNATURE)
            continue;
        *count = le16(end + 10);
        *length = le32(end + 12);
        uint64_t directoryEnd = at;
        if (*count == 0xFFFF || *length == 0xFFFFFFFFu || le32(end + 16) == 0xFFFFFFFFu) {
            if (at < 20 || le32(end - 20) != END64_LOCATOR_SIGNATURE)
                return false;
            uint64_t end64 = le64(end - 20 + 8);
            if (end64 + 56 > at || le32(zip->data + end64) != END64_SIGNATURE)
                return false;
            *count = le64(zip->data + end64 + 32);
            *length = le64(zip->data + end64 + 40);
            directoryEnd = end64;
        }
        if (*length > directoryEnd)
            return false;
        *start = directoryEnd - *length;
        return true;
    }
    return false;
}

bool readDirectory(const wchar_t* path, ZipDirectory* directory)
{
    directory->entries = nullptr;
    directory->count = 0;
    MappedFile zip;
    if (!openMappedFile(path, &zip))
        return false;
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t count = 0;
    bool read = zip.data && findDirectory(&zip, &start, &length, &count) && count <= length / 46 + 1;
    if (read && count) {
        directory->entries = static_cast<ZipEntry*>(allocate(static_cast<size_t>(count), sizeof(ZipEntry), nullptr));
        read = directory->entries != nullptr;
    }
    uint64_t at = start;
    for (uint64_t i = 0; read && i < count; ++i) {
        uint64_t used = 0;
        read = readEntry(zip.data + at, start + length - at, &directory->entries[i], &used);
        if (read)
            ++directory->count;
        at += used;
    }
    closeMappedFile(&zip);
    if (!read)
        freeDirectory(directory);
    return read;
}

const ZipEntry* findEntry(const ZipDirectory* directory, const wchar_t* name)
{
    for (size_t i = 0; i < directory->count; ++i) {
        const ZipEntry& entry = directory->entries[i];
        // The unpacked folder lives on a file system that ignores case.
        if (!entry.directory && CompareStringOrdinal(entry.name, -1, name, -1, TRUE) == CSTR_EQUAL)
            return &entry;
    }
    return nullptr;
}

bool listed(const wchar_t* const* names, size_t count, const wchar_t* name)
{
    for (size_t i = 0; i < count; ++i) {
        if (CompareStringOrdinal(names[i], -1, name, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

// An entry under a name that an extraction job turned into a folder.
bool underExtracted(const ArchiveChanges* changes, const wchar_t* name)
{
    for (size_t i = 0; i < changes->extractedCount; ++i) {
        const wchar_t* folder = changes->extracted[i];
        size_t length = wcslen(folder);
        if (wcslen(name) > length && name[length] == L'\\' &&
            CompareStringOrdinal(folder, static_cast<int>(length), name, static_cast<int>(length), TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

void utf8Name(const wchar_t* name, char* text, size_t room)
{
    int written = WideCharToMultiByte(CP_UTF8, 0, name, -1, text, static_cast<int>(room), nullptr, nullptr);
    if (written <= 0)
        snprintf(text, room, "?");
    text[room - 1] = 0;
}

bool compareDirectories(const ZipDirectory* original, const ZipDirectory* result, const ArchiveChanges* changes,
                        const ErrorSink* sink)
{
    char name[96];
    size_t unchanged = 0;
    size_t changed = 0;
    for (size_t i = 0; i < original->count; ++i) {
        const ZipEntry& before = original->entries[i];
        if (before.directory)
            continue;
        const ZipEntry* after = findEntry(result, before.name);
        if (after && after->crc == before.crc && after->size == before.size) {
            ++unchanged;
            continue;
        }
        bool extracted = listed(changes->extracted, changes->extractedCount, before.name);
        if ((after && listed(changes->changed, changes->changedCount, before.name)) || (!after && extracted)) {
            ++changed;
            continue;
        }
        utf8Name(before.name, name, sizeof(name));
        return reportDifference(sink, after ? "entry %s" : "entry %s is gone", name);
    }
    for (size_t i = 0; i < result->count; ++i) {
        const ZipEntry& after = result->entries[i];
        if (after.directory || findEntry(original, after.name) || underExtracted(changes, after.name))
            continue;
        utf8Name(after.name, name, sizeof(name));
        return reportDifference(sink, "entry %s was added", name);
    }
    char what[96];
    snprintf(what, sizeof(what), "%zu entries unchanged, %zu changed by their own jobs", unchanged, changed);
    return reportVerified(sink, what);
}

} // namespace

bool verifyZipEntries(const wchar_t* original, const wchar_t* result, const ArchiveChanges* changes,
                      const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    ZipDirectory before;
    ZipDirectory after;
    if (!readDirectory(original, &before))
        return reportNotVerified(sink, "the directory of the original archive cannot be read");
    if (!readDirectory(result, &after)) {
        freeDirectory(&before);
        return reportDifference(sink, "the directory of the result cannot be read");
    }
    bool answer = compareDirectories(&before, &after, changes, sink);
    freeDirectory(&after);
    freeDirectory(&before);
    return answer;
}
