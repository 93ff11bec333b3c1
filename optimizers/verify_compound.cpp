#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include <objbase.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

namespace {

// Streams are compared a chunk at a time, so a large stream never sits in memory whole.
const ULONG CHUNK_LENGTH = 64 * 1024;
// A result nested deeper than any real document is not walked to the bottom.
const int DEPTH_LIMIT = 64;
// An element's path: at most DEPTH_LIMIT names of at most 31 characters, with separators.
const size_t ELEMENT_PATH_ROOM = DEPTH_LIMIT * 32 + 1;

enum Answer { SAME, DIFFERENT, UNCHECKED };

struct Comparison {
    const ErrorSink* sink;
    uint8_t* before;
    uint8_t* after;
    wchar_t path[ELEMENT_PATH_ROOM];
    uint64_t streamCount;
};

// Element names may hold control characters (property-set streams start with one);
// the log shows them as '?'. The root has no name of its own.
void printablePath(const wchar_t* path, char* text, size_t room)
{
    if (path[0] == 0) {
        snprintf(text, room, "(root)");
        return;
    }
    int written = WideCharToMultiByte(CP_UTF8, 0, path, -1, text, static_cast<int>(room), nullptr, nullptr);
    if (written <= 0) {
        snprintf(text, room, "?");
        return;
    }
    for (char* c = text; *c; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20)
            *c = '?';
    }
}

Answer differs(Comparison* comparison, const char* what)
{
    char name[VERIFY_LINE_ROOM];
    printablePath(comparison->path, name, sizeof(name));
    reportDifference(comparison->sink, "%s %s", what, name);
    return DIFFERENT;
}

Answer unchecked(Comparison* comparison, const char* what)
{
    char name[VERIFY_LINE_ROOM];
    printablePath(comparison->path, name, sizeof(name));
    char why[VERIFY_LINE_ROOM];
    snprintf(why, sizeof(why), "%s %s", what, name);
    reportCannotCheck(comparison->sink, why);
    return UNCHECKED;
}

// Appends name to the element path; returns the length to cut back to afterwards.
bool enterPath(Comparison* comparison, const wchar_t* name, size_t* previousLength)
{
    size_t length = wcslen(comparison->path);
    size_t nameLength = wcslen(name);
    if (length + 1 + nameLength >= ELEMENT_PATH_ROOM)
        return false;
    *previousLength = length;
    if (length > 0)
        comparison->path[length++] = L'/';
    wmemcpy(comparison->path + length, name, nameLength + 1);
    return true;
}

Answer compareStreams(Comparison* comparison, IStream* before, IStream* after)
{
    STATSTG beforeStat = {};
    STATSTG afterStat = {};
    if (FAILED(before->Stat(&beforeStat, STATFLAG_NONAME)))
        return unchecked(comparison, "cannot read stream");
    if (FAILED(after->Stat(&afterStat, STATFLAG_NONAME)))
        return differs(comparison, "unreadable stream");
    if (beforeStat.cbSize.QuadPart != afterStat.cbSize.QuadPart)
        return differs(comparison, "length of stream");
    uint64_t left = beforeStat.cbSize.QuadPart;
    while (left > 0) {
        ULONG chunk = left < CHUNK_LENGTH ? static_cast<ULONG>(left) : CHUNK_LENGTH;
        ULONG beforeRead = 0;
        ULONG afterRead = 0;
        if (FAILED(before->Read(comparison->before, chunk, &beforeRead)) || beforeRead != chunk)
            return unchecked(comparison, "cannot read stream");
        if (FAILED(after->Read(comparison->after, chunk, &afterRead)) || afterRead != chunk)
            return differs(comparison, "unreadable stream");
        if (memcmp(comparison->before, comparison->after, chunk) != 0)
            return differs(comparison, "bytes of stream");
        left -= chunk;
    }
    ++comparison->streamCount;
    return SAME;
}

Answer compareStorages(Comparison* comparison, IStorage* before, IStorage* after, int depth);

// The element of the original named by description must be in the result with the same type.
Answer compareElement(Comparison* comparison, IStorage* before, IStorage* after, const STATSTG& description,
                      int depth)
{
    const DWORD childMode = STGM_READ | STGM_SHARE_EXCLUSIVE;
    const wchar_t* name = description.pwcsName;
    if (description.type == STGTY_STREAM) {
        IStream* beforeStream = nullptr;
        IStream* afterStream = nullptr;
        if (FAILED(before->OpenStream(name, nullptr, childMode, 0, &beforeStream)))
            return unchecked(comparison, "cannot open stream");
        Answer answer;
        if (FAILED(after->OpenStream(name, nullptr, childMode, 0, &afterStream)))
            answer = differs(comparison, "missing stream");
        else
            answer = compareStreams(comparison, beforeStream, afterStream);
        if (afterStream)
            afterStream->Release();
        beforeStream->Release();
        return answer;
    }
    if (description.type != STGTY_STORAGE)
        return unchecked(comparison, "unknown element type at");
    if (depth >= DEPTH_LIMIT)
        return unchecked(comparison, "storages nested too deeply at");
    IStorage* beforeStorage = nullptr;
    IStorage* afterStorage = nullptr;
    if (FAILED(before->OpenStorage(name, nullptr, childMode, nullptr, 0, &beforeStorage)))
        return unchecked(comparison, "cannot open storage");
    Answer answer;
    if (FAILED(after->OpenStorage(name, nullptr, childMode, nullptr, 0, &afterStorage)))
        answer = differs(comparison, "missing storage");
    else
        answer = compareStorages(comparison, beforeStorage, afterStorage, depth + 1);
    if (afterStorage)
        afterStorage->Release();
    beforeStorage->Release();
    return answer;
}

// Counts the result's elements; with each of the original's found there by name
// and type, equal counts mean the same set of names.
bool countElements(IStorage* storage, uint64_t* count)
{
    *count = 0;
    IEnumSTATSTG* elements = nullptr;
    if (FAILED(storage->EnumElements(0, nullptr, 0, &elements)))
        return false;
    STATSTG description;
    ULONG fetched = 0;
    while (elements->Next(1, &description, &fetched) == S_OK && fetched == 1) {
        CoTaskMemFree(description.pwcsName);
        ++*count;
    }
    elements->Release();
    return true;
}

Answer compareStorages(Comparison* comparison, IStorage* before, IStorage* after, int depth)
{
    STATSTG beforeStat = {};
    STATSTG afterStat = {};
    if (FAILED(before->Stat(&beforeStat, STATFLAG_NONAME)))
        return unchecked(comparison, "cannot read storage");
    if (FAILED(after->Stat(&afterStat, STATFLAG_NONAME)))
        return differs(comparison, "unreadable storage");
    if (!IsEqualCLSID(beforeStat.clsid, afterStat.clsid))
        return differs(comparison, "class of storage");
    IEnumSTATSTG* elements = nullptr;
    if (FAILED(before->EnumElements(0, nullptr, 0, &elements)))
        return unchecked(comparison, "cannot list storage");
    Answer answer = SAME;
    uint64_t beforeCount = 0;
    STATSTG description;
    ULONG fetched = 0;
    while (answer == SAME && elements->Next(1, &description, &fetched) == S_OK && fetched == 1) {
        ++beforeCount;
        size_t previousLength = 0;
        if (!enterPath(comparison, description.pwcsName, &previousLength)) {
            answer = unchecked(comparison, "element path too long below");
        } else {
            answer = compareElement(comparison, before, after, description, depth);
            comparison->path[previousLength] = 0;
        }
        CoTaskMemFree(description.pwcsName);
    }
    elements->Release();
    if (answer != SAME)
        return answer;
    uint64_t afterCount = 0;
    if (!countElements(after, &afterCount))
        return differs(comparison, "unreadable storage");
    if (afterCount != beforeCount)
        return differs(comparison, "elements added to storage");
    return SAME;
}

// Read-only and without letting anyone write meanwhile: what the structured
// storage of both Windows and Wine accepts for a file opened directly.
IStorage* openCompoundFile(const wchar_t* path)
{
    IStorage* root = nullptr;
    HRESULT hr = StgOpenStorageEx(path, STGM_READ | STGM_SHARE_DENY_WRITE, STGFMT_DOCFILE, 0, nullptr, nullptr,
                                  IID_IStorage, reinterpret_cast<void**>(&root));
    return SUCCEEDED(hr) ? root : nullptr;
}

} // namespace

bool verifyCompoundResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    HRESULT initialized = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(initialized) && initialized != RPC_E_CHANGED_MODE)
        return reportCannotCheck(sink, "COM cannot be initialised");
    Comparison* comparison = static_cast<Comparison*>(allocate(1, sizeof(Comparison), nullptr));
    uint8_t* buffers = static_cast<uint8_t*>(allocate(2, CHUNK_LENGTH, nullptr));
    IStorage* before = nullptr;
    IStorage* after = nullptr;
    bool answer;
    if (!comparison || !buffers) {
        answer = reportCannotCheck(sink, "out of memory");
    } else if (!(before = openCompoundFile(original))) {
        answer = reportCannotCheck(sink, "the original cannot be opened as a compound file");
    } else if (!(after = openCompoundFile(result))) {
        answer = reportDifference(sink, "the result cannot be opened as a compound file");
    } else {
        comparison->sink = sink;
        comparison->before = buffers;
        comparison->after = buffers + CHUNK_LENGTH;
        Answer compared = compareStorages(comparison, before, after, 0);
        if (compared == SAME) {
            char what[VERIFY_LINE_ROOM];
            snprintf(what, sizeof(what), "storages, classes and %llu streams equal",
                     static_cast<unsigned long long>(comparison->streamCount));
            answer = reportVerified(sink, what);
        } else {
            answer = false;
        }
    }
    if (after)
        after->Release();
    if (before)
        before->Release();
    release(buffers);
    release(comparison);
    if (SUCCEEDED(initialized))
        CoUninitialize();
    return answer;
}
