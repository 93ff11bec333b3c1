#include "jobs/scratch.h"
#include "base/file_util.h"
#include "jobs/job.h"
#include "runner/job_log.h"
#include <intrin.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

const size_t SCRATCH_NAME_LENGTH = 12; // "zarn" and eight hex digits
const size_t LONG_PATH_ROOM = 32768;
const wchar_t OWNER_MARKER_NAME[] = L"owner.vell";
// A scratch folder, a backslash and the marker's name.
const size_t MARKER_PATH_ROOM = PATH_ROOM + 16;
const size_t MARKER_ROOM = 48; // two decimal numbers of at most 20 digits

static uint64_t processCreationTime(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return fileTimeValue(created);
}

// The process id alone would be reused; with the process's creation time it
// names this instance and no other, before or after.
static void writeOwnerMarker(const wchar_t* folder)
{
    wchar_t path[MARKER_PATH_ROOM];
    if (!joinPath(path, MARKER_PATH_ROOM, folder, OWNER_MARKER_NAME))
        return;
    char text[MARKER_ROOM];
    int length = snprintf(text, sizeof(text), "%lu %llu", static_cast<unsigned long>(GetCurrentProcessId()),
                          static_cast<unsigned long long>(processCreationTime(GetCurrentProcess())));
    HANDLE file = createForWriting(path, GENERIC_WRITE, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!file)
        return;
    DWORD written = 0;
    bool whole = length > 0 && WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                 written == static_cast<DWORD>(length);
    CloseHandle(file);
    // A half-written marker names nobody; the folder then counts as not ours.
    if (!whole)
        DeleteFileW(path);
}

bool createScratchDir(wchar_t* buffer, const wchar_t* temporaryPath)
{
    size_t baseLength = wcslen(temporaryPath);
    if (baseLength == 0 || baseLength + SCRATCH_NAME_LENGTH + 1 > PATH_ROOM)
        return false;
    // The time-stamp counter moves between two calls, so folders made a moment
    // apart differ. A name that exists already (a leftover of an earlier run, or
    // a clash) is not reused: its old content could end up inside a rebuilt archive.
    for (int attempt = 0; attempt < 16; ++attempt) {
        uint64_t ticks = __rdtsc();
        uint32_t value = GetCurrentProcessId() |
                         (static_cast<uint32_t>(ticks >> 32) ^ static_cast<uint32_t>(ticks));
        wchar_t name[SCRATCH_NAME_LENGTH + 1];
        swprintf(name, SCRATCH_NAME_LENGTH + 1, L"zarn%08X", value);
        wmemcpy(buffer, temporaryPath, baseLength);
        wmemcpy(buffer + baseLength, name, SCRATCH_NAME_LENGTH + 1);
        if (CreateDirectoryW(buffer, nullptr)) {
            writeOwnerMarker(buffer);
            return true;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

static bool isDotName(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// The first entry of the folder whose path is buffer's first length units
// (with room for two more); buffer holds that path again on return.
static HANDLE findFirstInFolder(wchar_t* buffer, size_t length, WIN32_FIND_DATAW* entry)
{
    buffer[length] = L'\\';
    buffer[length + 1] = L'*';
    buffer[length + 2] = 0;
    HANDLE find = FindFirstFileW(buffer, entry);
    buffer[length] = 0;
    return find;
}

// True when the folder (its path in buffer's first length units) lists nothing
// but the owner marker. A file deleted while another process holds it open
// with deletion shared is only marked for deletion: it stays listed, and keeps
// the folder from going, until that process lets go.
static bool onlyMarkerLeft(wchar_t* buffer, size_t length)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = findFirstInFolder(buffer, length, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool alone = true;
    do {
        if (!isDotName(entry.cFileName) && _wcsicmp(entry.cFileName, OWNER_MARKER_NAME) != 0)
            alone = false;
    } while (alone && FindNextFileW(find, &entry));
    FindClose(find);
    return alone;
}

// buffer holds the folder's path in its first length units. With keepMarker,
// an owner marker directly inside goes last, and only when all else has gone: a
// folder whose removal fails halfway still names its owner, so a later start
// removes it; without the marker it would look like someone else's folder.
static bool deleteFolderContent(wchar_t* buffer, size_t length, bool keepMarker)
{
    if (length + 2 >= LONG_PATH_ROOM)
        return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = findFirstInFolder(buffer, length, &entry);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    bool ok = true;
    bool marker = false;
    do {
        if (isDotName(entry.cFileName))
            continue;
        if (keepMarker && _wcsicmp(entry.cFileName, OWNER_MARKER_NAME) == 0 &&
            !(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            marker = true;
            continue;
        }
        size_t nameLength = wcslen(entry.cFileName);
        if (length + 1 + nameLength + 1 >= LONG_PATH_ROOM) {
            ok = false;
            continue;
        }
        buffer[length] = L'\\';
        wmemcpy(buffer + length + 1, entry.cFileName, nameLength + 1);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            // A junction or link is removed itself; what it points to is not ours.
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                ok = RemoveDirectoryW(buffer) && ok;
            else
                ok = deleteFolderContent(buffer, length + 1 + nameLength, false) &&
                     RemoveDirectoryW(buffer) && ok;
        } else {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(buffer, entry.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
            ok = DeleteFileW(buffer) && ok;
        }
        buffer[length] = 0;
    } while (FindNextFileW(find, &entry));
    ok = GetLastError() == ERROR_NO_MORE_FILES && ok;
    FindClose(find);
    if (marker && ok) {
        if (!onlyMarkerLeft(buffer, length))
            return false;
        size_t nameLength = wcslen(OWNER_MARKER_NAME);
        if (length + 1 + nameLength + 1 >= LONG_PATH_ROOM)
            return false;
        buffer[length] = L'\\';
        wmemcpy(buffer + length + 1, OWNER_MARKER_NAME, nameLength + 1);
        ok = DeleteFileW(buffer);
        buffer[length] = 0;
    }
    return ok;
}

bool deleteTree(const wchar_t* path)
{
    size_t length = wcslen(path);
    // An empty path would become the root of the current drive.
    if (length == 0)
        return false;
    wchar_t* buffer = static_cast<wchar_t*>(allocate(LONG_PATH_ROOM, sizeof(wchar_t), nullptr));
    if (!buffer)
        return false;
    size_t prefix = 0;
    if (path[0] != L'\\') {
        wmemcpy(buffer, L"\\\\?\\", 4);
        prefix = 4;
    }
    bool ok = false;
    if (prefix + length < LONG_PATH_ROOM) {
        // Behind "\\?\" nothing is normalised, so a doubled separator (a temporary
        // path picked at a drive root is stored as "C:\\") would name no folder.
        size_t end = prefix;
        for (size_t i = 0; i < length; ++i) {
            if (prefix != 0 && path[i] == L'\\' && end > prefix && buffer[end - 1] == L'\\')
                continue;
            buffer[end++] = path[i];
        }
        buffer[end] = 0;
        while (end > prefix && buffer[end - 1] == L'\\')
            buffer[--end] = 0;
        DWORD attributes = GetFileAttributesW(buffer);
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            DWORD error = GetLastError();
            ok = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
        } else {
            ok = deleteFolderContent(buffer, end, true) && RemoveDirectoryW(buffer);
        }
    }
    release(buffer);
    return ok;
}

// A tool ended a moment ago can still hold its scratch folder: under Wine the
// console host made for it, whose current folder that is, outlives it briefly.
// Folders that resist are tried again until the patience runs out.
const DWORD SCRATCH_REMOVAL_PATIENCE_MS = 5000;
const DWORD SCRATCH_REMOVAL_RETRY_MS = 100;

bool deleteTreePatiently(const wchar_t* path)
{
    ULONGLONG start = GetTickCount64();
    bool gone = deleteTree(path);
    while (!gone && GetTickCount64() - start < SCRATCH_REMOVAL_PATIENCE_MS) {
        Sleep(SCRATCH_REMOVAL_RETRY_MS);
        gone = deleteTree(path);
    }
    return gone;
}

// One shared deadline: many folders that resist for good (no rights, say) do
// not each add their own wait to the end of the program.
bool removeScratchFolders(JobList* list)
{
    bool left = false;
    for (size_t i = list->length; i-- > 0;) {
        Job* job = list->entries[i];
        closeLogFile(job);
        if (job->scratchDir[0] && !deleteTree(job->scratchDir))
            left = true;
    }
    ULONGLONG start = GetTickCount64();
    while (left && GetTickCount64() - start < SCRATCH_REMOVAL_PATIENCE_MS) {
        Sleep(SCRATCH_REMOVAL_RETRY_MS);
        left = false;
        for (size_t i = 0; i < list->length; ++i) {
            const wchar_t* folder = list->entries[i]->scratchDir;
            if (folder[0] && !deleteTree(folder))
                left = true;
        }
    }
    return !left;
}

static bool readOwnerMarker(const wchar_t* folder, DWORD* processId, uint64_t* creationTime)
{
    wchar_t path[MARKER_PATH_ROOM];
    if (!joinPath(path, MARKER_PATH_ROOM, folder, OWNER_MARKER_NAME))
        return false;
    HANDLE file = openForReading(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr);
    if (!file)
        return false;
    char text[MARKER_ROOM];
    uint64_t length = readFully(file, text, sizeof(text) - 1, nullptr);
    CloseHandle(file);
    text[length] = 0;
    unsigned long id = 0;
    unsigned long long created = 0;
    int end = 0;
    if (sscanf(text, "%lu %llu%n", &id, &created, &end) != 2 || static_cast<uint64_t>(end) != length)
        return false;
    *processId = id;
    *creationTime = created;
    return true;
}

// Only a marker whose process is known to be gone makes a folder stale: a
// process that exists but cannot be queried (another user's) still counts as
// running, and so does anything that cannot be read.
static bool ownerHasEnded(const wchar_t* folder)
{
    DWORD processId = 0;
    uint64_t creationTime = 0;
    if (!readOwnerMarker(folder, &processId, &creationTime))
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId);
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no process has that id
    bool ended = false;
    uint64_t created = processCreationTime(process);
    if (created != 0 && created != creationTime)
        ended = true; // the id now belongs to a later process
    else if (created != 0)
        ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

static bool isScratchName(const wchar_t* name)
{
    if (wcsncmp(name, L"zarn", 4) != 0 || wcslen(name) != SCRATCH_NAME_LENGTH)
        return false;
    for (size_t i = 4; i < SCRATCH_NAME_LENGTH; ++i) {
        wchar_t c = name[i];
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')))
            return false;
    }
    return true;
}

// A removal that a console host held up (under Wine it keeps a tool's folder
// for a moment after the tool) can take the content and the owner marker but
// leave the folder itself. Such an empty folder holds nothing of anyone's; one
// that has not changed for a while is no folder just made either, whose marker
// follows its creation at once.
const uint64_t EMPTY_FOLDER_AGE = 2 * 10000000ull; // 2 s in 100 ns units

static bool isOldEmptyFolder(const wchar_t* folder, FILETIME lastWrite)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (fileTimeValue(now) < fileTimeValue(lastWrite) + EMPTY_FOLDER_AGE)
        return false;
    wchar_t pattern[PATH_ROOM + 2];
    if (!joinPath(pattern, PATH_ROOM + 2, folder, L"*"))
        return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool empty = true;
    do {
        if (!isDotName(entry.cFileName))
            empty = false;
    } while (empty && FindNextFileW(find, &entry));
    FindClose(find);
    return empty;
}

struct ScratchName {
    wchar_t text[SCRATCH_NAME_LENGTH + 1];
};

// Start-up waits for held folders only briefly: a folder that resists for good
// (no rights to it) would otherwise delay every start. One held longer loses its
// marker but, empty, goes at a later start.
const DWORD STALE_REMOVAL_PATIENCE_MS = 1000;

// Folders whose removal failed, tried again with one shared patience: an ended
// instance's tool can leave a console host holding its folder for a moment, and
// a folder that lost its marker to a half-done removal would be found no more.
static void removeResisting(wchar_t* path, size_t baseLength, ScratchName* names, size_t count)
{
    ULONGLONG start = GetTickCount64();
    while (count > 0 && GetTickCount64() - start < STALE_REMOVAL_PATIENCE_MS) {
        Sleep(SCRATCH_REMOVAL_RETRY_MS);
        size_t left = 0;
        for (size_t i = 0; i < count; ++i) {
            wmemcpy(path + baseLength, names[i].text, SCRATCH_NAME_LENGTH + 1);
            if (!deleteTree(path))
                names[left++] = names[i];
        }
        count = left;
    }
}

void removeStaleScratchDirs(const wchar_t* temporaryPath)
{
    size_t baseLength = wcslen(temporaryPath);
    if (baseLength == 0 || baseLength + SCRATCH_NAME_LENGTH + 1 > PATH_ROOM)
        return;
    wchar_t path[PATH_ROOM];
    wmemcpy(path, temporaryPath, baseLength);
    wmemcpy(path + baseLength, L"zarn*", 6);
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(path, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    ScratchName* resisting = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    do {
        DWORD attributes = entry.dwFileAttributes;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
            !isScratchName(entry.cFileName))
            continue;
        wmemcpy(path + baseLength, entry.cFileName, SCRATCH_NAME_LENGTH + 1);
        if (!(ownerHasEnded(path) || isOldEmptyFolder(path, entry.ftLastWriteTime)) || deleteTree(path))
            continue;
        if (count == capacity) {
            size_t grown = capacity * 2 + 8;
            ScratchName* larger = static_cast<ScratchName*>(reallocate(resisting, grown, sizeof(ScratchName), nullptr));
            if (!larger)
                continue;
            resisting = larger;
            capacity = grown;
        }
        wmemcpy(resisting[count++].text, entry.cFileName, SCRATCH_NAME_LENGTH + 1);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    removeResisting(path, baseLength, resisting, count);
    release(resisting);
}
