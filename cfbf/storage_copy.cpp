#include "storage_copy.h"

#include <stdint.h>

#include "lists.h"
#include "messages.h"
#include "structure_check.h"

namespace {

// Structured-storage mode values, spelled out because the exact combinations matter:
// the input root is opened direct and read-only but denies writers, which is also what
// makes naming the input as output fail instead of destroying it.
const DWORD MODE_ROOT_READ = STGM_READ | STGM_SHARE_DENY_WRITE;                     // 0x20
const DWORD MODE_ELEMENT_READ = STGM_READ | STGM_SHARE_EXCLUSIVE;                   // 0x10
const DWORD MODE_ELEMENT_CREATE = STGM_CREATE | STGM_SHARE_EXCLUSIVE | STGM_READWRITE; // 0x1012
const DWORD COMMIT_FLAGS = STGC_OVERWRITE | STGC_CONSOLIDATE;                        // 9

// Streams below this size live in the mini stream of a compound file.
const ULONGLONG SMALL_STREAM_LIMIT = 4096;

const DWORD ALL_STATE_BITS = 0xFFFFFFFF;

void appendStreamPair(StreamPairList* pairs, const StreamPair& pair)
{
    if (pairs->count == SIZE_MAX)
        fail("error: out of memory\n", CFBF_EXIT_OUT_OF_MEMORY);
    StreamPair* grown =
        static_cast<StreamPair*>(growList(pairs->items, pairs->count + 1, sizeof(StreamPair)));
    grown[pairs->count] = pair;
    pairs->items = grown;
    pairs->count += 1;
}

// Copies exactly `size` bytes; a short read means the listing promised more than the
// stream's sector chain holds, which must not pass as a good copy.
bool copyStreamBytes(const StreamPair& pair)
{
    ULARGE_INTEGER length;
    length.QuadPart = pair.size;
    ULARGE_INTEGER read;
    ULARGE_INTEGER written;
    read.QuadPart = 0;
    written.QuadPart = 0;
    HRESULT hr = pair.source->CopyTo(pair.target, length, &read, &written);
    return SUCCEEDED(hr) && read.QuadPart == pair.size && written.QuadPart == pair.size;
}

void copyStreamPhase(const StreamPairList& pairs, bool small, const char* message, int code)
{
    for (size_t i = 0; i < pairs.count; ++i) {
        const StreamPair& pair = pairs.items[i];
        if ((pair.size < SMALL_STREAM_LIMIT) != small)
            continue;
        if (!copyStreamBytes(pair))
            fail(message, code);
    }
}

IStorage* openRootForReading(const wchar_t* path)
{
    IStorage* root = nullptr;
    if (FAILED(StgOpenStorage(path, nullptr, MODE_ROOT_READ, nullptr, 0, &root)))
        return nullptr;
    return root;
}

// Embedded objects (the storages below "ObjectPool" in a Word document, say) are loaded
// by the class identifier of their storage, and applications may keep flags in a
// storage's state bits; neither lives in a stream, so each storage gets both from its
// original, the root included. The results are not examined here: the verification
// compares both afterwards, so a storage that did not take them fails the run there.
void copyStorageDescription(IStorage* source, IStorage* target)
{
    STATSTG description = {};
    source->Stat(&description, STATFLAG_NONAME);
    target->SetClass(description.clsid);
    target->SetStateBits(description.grfStateBits, ALL_STATE_BITS);
}

bool sameStorageDescription(IStorage* source, IStorage* target)
{
    STATSTG sourceDescription = {};
    STATSTG targetDescription = {};
    return SUCCEEDED(source->Stat(&sourceDescription, STATFLAG_NONAME)) &&
           SUCCEEDED(target->Stat(&targetDescription, STATFLAG_NONAME)) &&
           IsEqualCLSID(sourceDescription.clsid, targetDescription.clsid) &&
           sourceDescription.grfStateBits == targetDescription.grfStateBits;
}

bool sameStreamDescription(const STATSTG& listed, const STATSTG& described)
{
    return listed.cbSize.QuadPart == described.cbSize.QuadPart &&
           IsEqualCLSID(listed.clsid, described.clsid) &&
           listed.mtime.dwLowDateTime == described.mtime.dwLowDateTime &&
           listed.mtime.dwHighDateTime == described.mtime.dwHighDateTime &&
           listed.ctime.dwLowDateTime == described.ctime.dwLowDateTime &&
           listed.ctime.dwHighDateTime == described.ctime.dwHighDateTime;
}

bool compareStreamElement(IStorage* source, IStorage* target, const STATSTG& element)
{
    IStream* sourceStream = nullptr;
    IStream* targetStream = nullptr;
    bool same = false;
    if (SUCCEEDED(source->OpenStream(element.pwcsName, nullptr, MODE_ELEMENT_READ, 0,
                                     &sourceStream)) &&
        SUCCEEDED(target->OpenStream(element.pwcsName, nullptr, MODE_ELEMENT_READ, 0,
                                     &targetStream))) {
        STATSTG described = {};
        if (SUCCEEDED(targetStream->Stat(&described, STATFLAG_NONAME)))
            same = sameStreamDescription(element, described);
    }
    if (targetStream != nullptr)
        targetStream->Release();
    if (sourceStream != nullptr)
        sourceStream->Release();
    return same;
}

bool compareStorageElement(IStorage* source, IStorage* target, const STATSTG& element)
{
    IStorage* sourceStorage = nullptr;
    IStorage* targetStorage = nullptr;
    bool same = false;
    if (SUCCEEDED(source->OpenStorage(element.pwcsName, nullptr, MODE_ELEMENT_READ, nullptr, 0,
                                      &sourceStorage)) &&
        SUCCEEDED(target->OpenStorage(element.pwcsName, nullptr, MODE_ELEMENT_READ, nullptr, 0,
                                      &targetStorage)))
        same = compareStorageTrees(sourceStorage, targetStorage);
    if (targetStorage != nullptr)
        targetStorage->Release();
    if (sourceStorage != nullptr)
        sourceStorage->Release();
    return same;
}

} // namespace

// Builds the whole output tree before any stream byte is written, keeping every stream
// open in `pairs`; the caller copies the bytes afterwards in two phases. Storages stay
// open in `storages` because their streams are still in use.
void copyStorageTree(IStorage* source, IStorage* target, StreamPairList* pairs,
                     ReferenceList* storages)
{
    copyStorageDescription(source, target);
    IEnumSTATSTG* listing = nullptr;
    if (FAILED(source->EnumElements(0, nullptr, 0, &listing)))
        fail("error: cannot enumerate\n", CFBF_EXIT_ENUMERATE);
    for (;;) {
        STATSTG element = {};
        ULONG fetched = 0;
        // An error from the listing ends it just like its normal end.
        if (listing->Next(1, &element, &fetched) != S_OK || fetched != 1)
            break;
        if (element.type == STGTY_STREAM) {
            StreamPair pair = {};
            pair.size = element.cbSize.QuadPart;
            if (FAILED(source->OpenStream(element.pwcsName, nullptr, MODE_ELEMENT_READ, 0,
                                          &pair.source)))
                fail("error: cannot open stream\n", CFBF_EXIT_OPEN_STREAM);
            source->AddRef();
            pair.sourceParent = source;
            if (FAILED(target->CreateStream(element.pwcsName, MODE_ELEMENT_CREATE, 0, 0,
                                            &pair.target)))
                fail("error: cannot create stream\n", CFBF_EXIT_CREATE_STREAM);
            target->AddRef();
            pair.targetParent = target;
            appendStreamPair(pairs, pair);
        } else if (element.type == STGTY_STORAGE) {
            IStorage* sourceStorage = nullptr;
            IStorage* targetStorage = nullptr;
            if (FAILED(source->OpenStorage(element.pwcsName, nullptr, MODE_ELEMENT_READ, nullptr,
                                           0, &sourceStorage)))
                fail("error: cannot open storage\n", CFBF_EXIT_OPEN_STORAGE);
            if (FAILED(target->CreateStorage(element.pwcsName, MODE_ELEMENT_CREATE, 0, 0,
                                             &targetStorage)))
                fail("error: cannot create storage\n", CFBF_EXIT_CREATE_STORAGE);
            copyStorageTree(sourceStorage, targetStorage, pairs, storages);
            appendReference(&storages->items, &storages->count, targetStorage);
            appendReference(&storages->items, &storages->count, sourceStorage);
        } else {
            fail("error: unknown stream type\n", CFBF_EXIT_UNKNOWN_TYPE);
        }
        CoTaskMemFree(element.pwcsName);
    }
    listing->Release();
}

// Looks up the output by the input's names, so elements only the output has go unnoticed.
// Stream contents are not read again: the byte counts checked while copying vouch for them.
bool compareStorageTrees(IStorage* source, IStorage* target)
{
    if (!sameStorageDescription(source, target))
        return false;
    IEnumSTATSTG* listing = nullptr;
    if (FAILED(source->EnumElements(0, nullptr, 0, &listing)))
        fail("error: cannot enumerate\n", CFBF_EXIT_ENUMERATE);
    bool same = true;
    while (same) {
        STATSTG element = {};
        ULONG fetched = 0;
        if (listing->Next(1, &element, &fetched) != S_OK || fetched != 1)
            break;
        if (element.type == STGTY_STREAM)
            same = compareStreamElement(source, target, element);
        else if (element.type == STGTY_STORAGE)
            same = compareStorageElement(source, target, element);
        else
            same = false;
        CoTaskMemFree(element.pwcsName);
    }
    listing->Release();
    return same;
}

// Returns only when the output was written and verified; every failure ends the process.
void rewriteCompoundFile(const wchar_t* inputPath, const wchar_t* outputPath, bool largeSectors)
{
    // Writers stay out from the check until structured storage holds the file, so
    // both see the same bytes.
    HANDLE input = CreateFileW(inputPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (input != INVALID_HANDLE_VALUE) {
        const char* fault = findStructureFault(input);
        if (fault != nullptr) {
            writeError("malformed compound file: ");
            writeError(fault);
            writeError("\n");
            fail("cannot open source stream\n", CFBF_EXIT_OPEN_SOURCE);
        }
    }
    IStorage* sourceRoot = openRootForReading(inputPath);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (sourceRoot == nullptr)
        fail("cannot open source stream\n", CFBF_EXIT_OPEN_SOURCE);

    STGOPTIONS options = {};
    options.usVersion = 1;
    options.reserved = 0;
    options.ulSectorSize = 4096;
    options.pwcsTemplateFile = nullptr;
    IStorage* targetRoot = nullptr;
    if (FAILED(StgCreateStorageEx(outputPath, MODE_ELEMENT_CREATE, STGFMT_DOCFILE, 0,
                                  largeSectors ? &options : nullptr, nullptr, IID_IStorage,
                                  reinterpret_cast<void**>(&targetRoot))))
        fail("cannot create target file\n", CFBF_EXIT_CREATE_TARGET);

    StreamPairList pairs = {};
    ReferenceList storages = {};
    copyStorageTree(sourceRoot, targetRoot, &pairs, &storages);

    // All small streams first, then all large ones, so the mini stream is filled in one
    // go and the large streams follow it in the order they were met.
    copyStreamPhase(pairs, true, "cannot copy small stream\n", CFBF_EXIT_COPY_SMALL_STREAM);
    copyStreamPhase(pairs, false, "cannot copy large stream\n", CFBF_EXIT_COPY_LARGE_STREAM);

    for (size_t i = 0; i < pairs.count; ++i) {
        pairs.items[i].source->Release();
        pairs.items[i].target->Release();
        pairs.items[i].sourceParent->Release();
        pairs.items[i].targetParent->Release();
    }
    for (size_t i = 0; i < storages.count; ++i)
        storages.items[i]->Release();

    targetRoot->Commit(COMMIT_FLAGS);
    targetRoot->Release();
    sourceRoot->Release();

    IStorage* sourceAgain = openRootForReading(inputPath);
    if (sourceAgain == nullptr)
        fail("cannot re-open source stream\n", CFBF_EXIT_VERIFY);
    IStorage* targetAgain = openRootForReading(outputPath);
    if (targetAgain == nullptr)
        fail("cannot re-open target stream\n", CFBF_EXIT_VERIFY);
    if (!compareStorageTrees(sourceAgain, targetAgain))
        fail("result is broken\n", CFBF_EXIT_VERIFY);
    targetAgain->Release();
    sourceAgain->Release();
    writeOutput("OK\n", 3);
}
