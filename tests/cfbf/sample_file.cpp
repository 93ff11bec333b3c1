#include "sample_file.h"

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
