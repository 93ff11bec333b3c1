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
        if (CreateDirectoryW(buffer, nullptr))
            return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return false;
}

static bool isDotName(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// buffer holds the folder's path in its first length units.
static bool deleteFolderContent(wchar_t* buffer, size_t length)
{
    if (length + 2 >= LONG_PATH_ROOM)
        return false;
    buffer[length] = L'\\';
    buffer[length + 1] = L'*';
    buffer[length + 2] = 0;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(buffer, &entry);
    buffer[length] = 0;
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    bool ok = true;
    do {
        if (isDotName(entry.cFileName))
            continue;
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
                ok = deleteFolderContent(buffer, length + 1 + nameLength) &&
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
            ok = deleteFolderContent(buffer, end) && RemoveDirectoryW(buffer);
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
