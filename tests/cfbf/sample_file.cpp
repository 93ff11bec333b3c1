#include "sample_file.h"

#include <stdint.h>
#include <vector>

#include <wchar.h>

// {6A1D2C3B-4E5F-4071-8293-A4B5C6D7E8F9}
const CLSID SAMPLE_ROOT_CLASS = {
    0x6a1d2c3b, 0x4e5f, 0x4071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
const CLSID SAMPLE_INNER_CLASS = {
    0x0f1e2d3c, 0x4b5a, 0x6978, {0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0}};

// The class of an Excel worksheet, as an embedded sheet in a Word document carries it.
// {00020820-0000-0000-C000-000000000046}
const CLSID SAMPLE_OBJECT_CLASS = {
    0x00020820, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Streams on both sides of the 4096-byte mini-stream limit, empty streams, empty and
// nested storages, names with control characters like the property-set streams, and an
// embedded object laid out as Word keeps one: a storage with a class below "ObjectPool".
const SampleElement SAMPLE_TREE[] = {
    {L"Empty", false, 0, nullptr, 0},
    {L"Small", false, 100, nullptr, 0},
    {L"Edge4095", false, 4095, nullptr, 0},
    {L"Edge4096", false, 4096, nullptr, 0},
    {L"Large", false, 70001, nullptr, 0},
    {L"\x0005SummaryInformation", false, 236, nullptr, 0},
    {L"Inner", true, 0, &SAMPLE_INNER_CLASS, 0},
    {L"Inner/Nested", false, 5000, nullptr, 0},
    {L"Inner/Tiny", false, 1, nullptr, 0},
    {L"Inner/Deeper", true, 0, nullptr, 0},
    {L"Inner/Deeper/Zero", false, 0, nullptr, 0},
    {L"Inner/Deeper/Mid", false, 3000, nullptr, 0},
    {L"Inner/Deeper/Big", false, 9000, nullptr, 0},
    {L"Hollow", true, 0, nullptr, 0},
    {L"ObjectPool", true, 0, nullptr, 0},
    {L"ObjectPool/_1234567890", true, 0, &SAMPLE_OBJECT_CLASS, 0},
    {L"ObjectPool/_1234567890/\x0001" L"CompObj", false, 107, nullptr, 0},
    {L"ObjectPool/_1234567890/\x0003" L"ObjInfo", false, 6, nullptr, 0},
    {L"ObjectPool/_1234567890/Workbook", false, 6000, nullptr, 0},
};
const size_t SAMPLE_TREE_COUNT = sizeof(SAMPLE_TREE) / sizeof(SAMPLE_TREE[0]);

// Content differs per stream and per position, so a stream copied into the wrong place
// or shifted by a sector shows up as different bytes.
unsigned char sampleByte(const wchar_t* path, unsigned long index)
{
    unsigned long seed = 2166136261u;
    for (const wchar_t* c = path; *c != L'\0'; ++c)
        seed = (seed ^ static_cast<unsigned long>(*c)) * 16777619u;
    unsigned long value = (seed + index * 2654435761u) ^ (index >> 7);
    return static_cast<unsigned char>(value >> 13);
}

namespace {

const DWORD MODE_CREATE = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE;

HRESULT writeSampleStream(IStorage* parent, const wchar_t* name, const SampleElement& element)
{
    IStream* stream = nullptr;
    HRESULT hr = parent->CreateStream(name, MODE_CREATE, 0, 0, &stream);
    if (FAILED(hr))
        return hr;
    unsigned char buffer[4096];
    unsigned long done = 0;
    while (SUCCEEDED(hr) && done < element.length) {
        unsigned long chunk = element.length - done;
        if (chunk > sizeof(buffer))
            chunk = sizeof(buffer);
        for (unsigned long i = 0; i < chunk; ++i)
            buffer[i] = sampleByte(element.path, done + i);
        ULONG written = 0;
        hr = stream->Write(buffer, chunk, &written);
        if (SUCCEEDED(hr) && written != chunk)
            hr = E_FAIL;
        done += chunk;
    }
    stream->Release();
    return hr;
}

// The storages from the root down to the one created last, kept open while their
// children are added (elements come in depth-first order).
struct OpenStorages {
    IStorage* storages[16];
    const wchar_t* paths[16];
    size_t depth;
};

bool isInside(const wchar_t* path, const wchar_t* storagePath)
{
    size_t length = wcslen(storagePath);
    return length == 0 || (wcsncmp(path, storagePath, length) == 0 && path[length] == L'/');
}

HRESULT addSampleElement(OpenStorages& open, const SampleElement& element)
{
    while (open.depth > 1 && !isInside(element.path, open.paths[open.depth - 1]))
        open.storages[--open.depth]->Release();
    const wchar_t* name = element.path + wcslen(open.paths[open.depth - 1]);
    if (open.depth > 1)
        ++name;
    if (wcschr(name, L'/') != nullptr || open.depth == 16)
        return E_INVALIDARG;
    IStorage* parent = open.storages[open.depth - 1];
    if (!element.storage)
        return writeSampleStream(parent, name, element);
    IStorage* created = nullptr;
    HRESULT hr = parent->CreateStorage(name, MODE_CREATE, 0, 0, &created);
    if (FAILED(hr))
        return hr;
    if (element.classId != nullptr)
        hr = created->SetClass(*element.classId);
    if (SUCCEEDED(hr) && element.stateBits != 0)
        hr = created->SetStateBits(element.stateBits, 0xFFFFFFFF);
    open.storages[open.depth] = created;
    open.paths[open.depth] = element.path;
    ++open.depth;
    return hr;
}

} // namespace

HRESULT createSampleFile(const wchar_t* filePath, const SampleElement* elements, size_t count,
                         const CLSID* rootClass, bool largeSectors)
{
    STGOPTIONS options = {};
    options.usVersion = 1;
    options.ulSectorSize = 4096;
    IStorage* root = nullptr;
    HRESULT hr = StgCreateStorageEx(filePath, MODE_CREATE, STGFMT_DOCFILE, 0,
                                    largeSectors ? &options : nullptr, nullptr, IID_IStorage,
                                    reinterpret_cast<void**>(&root));
    if (FAILED(hr))
        return hr;
    if (rootClass != nullptr)
        hr = root->SetClass(*rootClass);
    OpenStorages open = {};
    open.storages[0] = root;
    open.paths[0] = L"";
    open.depth = 1;
    for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i)
        hr = addSampleElement(open, elements[i]);
    while (open.depth > 1)
        open.storages[--open.depth]->Release();
    if (SUCCEEDED(hr))
        hr = root->Commit(STGC_DEFAULT);
    root->Release();
    return hr;
}

bool sampleStateBitsKept(const wchar_t* filePath)
{
    const DWORD bits = 0x00A5005A;
    const SampleElement probe[] = {{L"Probe", true, 0, nullptr, bits}};
    if (FAILED(createSampleFile(filePath, probe, 1, nullptr, false)))
        return false;
    IStorage* root = nullptr;
    if (FAILED(StgOpenStorage(filePath, nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                              &root)))
        return false;
    bool kept = false;
    IStorage* storage = nullptr;
    if (SUCCEEDED(root->OpenStorage(L"Probe", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                    &storage))) {
        STATSTG description = {};
        kept = SUCCEEDED(storage->Stat(&description, STATFLAG_NONAME)) &&
               description.grfStateBits == bits;
        storage->Release();
    }
    root->Release();
    return kept;
}

namespace {

const uint32_t NO_LINK = 0xFFFFFFFF;

uint32_t get32(const std::string& bytes, size_t at)
{
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

void put32(std::string& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>(value >> (8 * i));
}

uint32_t sectorLength(const std::string& bytes)
{
    return 1u << (static_cast<unsigned char>(bytes[30]) | (static_cast<unsigned char>(bytes[31]) << 8));
}

size_t sectorStart(const std::string& bytes, uint32_t sector)
{
    return (static_cast<size_t>(sector) + 1) * sectorLength(bytes);
}

// Where the FAT keeps the link out of a sector (the first 109 FAT sectors only).
size_t fatSlot(const std::string& bytes, uint32_t sector)
{
    uint32_t perSector = sectorLength(bytes) / 4;
    return sectorStart(bytes, get32(bytes, 76 + 4 * (sector / perSector))) + 4 * (sector % perSector);
}

// Offset of item `index` of `itemLength` bytes in the chain that starts at `start`.
size_t chainItem(const std::string& bytes, uint32_t start, uint32_t index, uint32_t itemLength)
{
    uint32_t perSector = sectorLength(bytes) / itemLength;
    uint32_t sector = start;
    for (uint32_t i = 0; i < index / perSector; ++i)
        sector = get32(bytes, fatSlot(bytes, sector));
    return sectorStart(bytes, sector) + itemLength * (index % perSector);
}

size_t entryStart(const std::string& bytes, uint32_t entry)
{
    return chainItem(bytes, get32(bytes, 48), entry, 128);
}

// The entry of that name below the root's children, found by walking its siblings.
size_t namedEntry(const std::string& bytes, const wchar_t* name)
{
    std::vector<uint32_t> pending = {get32(bytes, entryStart(bytes, 0) + 76)};
    while (!pending.empty()) {
        uint32_t index = pending.back();
        pending.pop_back();
        if (index == NO_LINK)
            continue;
        size_t entry = entryStart(bytes, index);
        size_t length = wcslen(name);
        bool same = (static_cast<unsigned char>(bytes[entry + 64]) == (length + 1) * 2);
        for (size_t i = 0; same && i < length; ++i)
            same = static_cast<unsigned char>(bytes[entry + 2 * i]) == name[i] && bytes[entry + 2 * i + 1] == 0;
        if (same)
            return entry;
        pending.push_back(get32(bytes, entry + 68));
        pending.push_back(get32(bytes, entry + 72));
    }
    return std::string::npos;
}

void linkToItself(std::string& bytes, size_t slotOf, uint32_t sector)
{
    put32(bytes, slotOf, sector);
}

} // namespace

bool corruptCompoundFile(std::string& bytes, Corruption corruption)
{
    if (bytes.size() < 512)
        return false;
    size_t root = entryStart(bytes, 0);
    size_t entry;
    switch (corruption) {
    case CORRUPT_DIRECTORY_CIRCLE:
        linkToItself(bytes, fatSlot(bytes, get32(bytes, 48)), get32(bytes, 48));
        return true;
    case CORRUPT_MINI_FAT_CIRCLE:
        if (get32(bytes, 60) >= 0xFFFFFFFA)
            return false;
        linkToItself(bytes, fatSlot(bytes, get32(bytes, 60)), get32(bytes, 60));
        return true;
    case CORRUPT_MINI_STREAM_CIRCLE:
        if (get32(bytes, root + 116) >= 0xFFFFFFFA)
            return false;
        linkToItself(bytes, fatSlot(bytes, get32(bytes, root + 116)), get32(bytes, root + 116));
        return true;
    case CORRUPT_SIBLING_CIRCLE:
        entry = get32(bytes, root + 76);
        if (entry == NO_LINK)
            return false;
        put32(bytes, entryStart(bytes, entry) + 68, entry);
        return true;
    case CORRUPT_LARGE_STREAM_CIRCLE:
        entry = namedEntry(bytes, L"Large");
        if (entry == std::string::npos)
            return false;
        linkToItself(bytes, fatSlot(bytes, get32(bytes, entry + 116)), get32(bytes, entry + 116));
        return true;
    case CORRUPT_SMALL_STREAM_CIRCLE:
        entry = namedEntry(bytes, L"Small");
        if (entry == std::string::npos)
            return false;
        put32(bytes, chainItem(bytes, get32(bytes, 60), get32(bytes, entry + 116), 4), get32(bytes, entry + 116));
        return true;
    case CORRUPT_CHILD_PAST_DIRECTORY:
        put32(bytes, root + 76, 0x10000);
        return true;
    case CORRUPT_FAT_SECTOR_OUTSIDE:
        put32(bytes, 76, 0x00FFFFFF);
        return true;
    case CORRUPT_FAT_COUNT:
        put32(bytes, 44, 0x7FFFFFFF);
        return true;
    case CORRUPT_DIFAT_CIRCLE: {
        uint32_t difat = get32(bytes, 68);
        if (get32(bytes, 72) == 0 || difat >= 0xFFFFFFFA)
            return false;
        // One more FAT sector than the first DIFAT sector lists makes a reader go on to
        // the next one, which is the same sector again.
        uint32_t perSector = sectorLength(bytes) / 4 - 1;
        put32(bytes, 44, 109 + perSector + 1);
        put32(bytes, 72, 2);
        put32(bytes, sectorStart(bytes, difat) + 4 * perSector, difat);
        return true;
    }
    case CORRUPT_RANDOM_BODY: {
        uint32_t state = 15;
        for (size_t i = 64; i < bytes.size(); ++i) {
            state = state * 1664525u + 1013904223u;
            bytes[i] = static_cast<char>(state >> 24);
        }
        return true;
    }
    }
    return false;
}
