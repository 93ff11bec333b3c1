#include "sample_file.h"

#include <wchar.h>

// {6A1D2C3B-4E5F-4071-8293-A4B5C6D7E8F9}
const CLSID SAMPLE_ROOT_CLASS = {
    0x6a1d2c3b, 0x4e5f, 0x4071, {0x82, 0x93, 0xa4, 0xb5, 0xc6, 0xd7, 0xe8, 0xf9}};
// {0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}
const CLSID SAMPLE_INNER_CLASS = {
    0x0f1e2d3c, 0x4b5a, 0x6978, {0x87, 0x96, 0xa5, 0xb4, 0xc3, 0xd2, 0xe1, 0xf0}};

// Streams on both sides of the 4096-byte mini-stream limit, empty streams, empty and
// nested storages, and a name with a control character like the property-set streams.
const SampleElement SAMPLE_TREE[] = {
    {L"Empty", false, 0, nullptr},
    {L"Small", false, 100, nullptr},
    {L"Edge4095", false, 4095, nullptr},
    {L"Edge4096", false, 4096, nullptr},
    {L"Large", false, 70001, nullptr},
    {L"\x0005SummaryInformation", false, 236, nullptr},
    {L"Inner", true, 0, &SAMPLE_INNER_CLASS},
    {L"Inner/Nested", false, 5000, nullptr},
    {L"Inner/Tiny", false, 1, nullptr},
    {L"Inner/Deeper", true, 0, nullptr},
    {L"Inner/Deeper/Zero", false, 0, nullptr},
    {L"Inner/Deeper/Mid", false, 3000, nullptr},
    {L"Inner/Deeper/Big", false, 9000, nullptr},
    {L"Hollow", true, 0, nullptr},
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
