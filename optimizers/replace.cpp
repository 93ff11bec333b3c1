#include "optimizers/replace.h"
#include "base/file_util.h"
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

// "<target>.vell~XXXXXXXX": beside the target so the final rename never crosses volumes.
static bool makeSiblingName(const wchar_t* target, wchar_t* sibling, size_t room)
{
    static LONG counter = 0;
    int written = swprintf(sibling, room, L"%ls.vell~%04X%04X", target,
                           static_cast<unsigned>(GetCurrentProcessId() & 0xFFFF),
                           static_cast<unsigned>(InterlockedIncrement(&counter) & 0xFFFF));
    return written > 0 && static_cast<size_t>(written) < room;
}

// Copies result into a new file at sibling and forces it to disk.
static bool writeSibling(const wchar_t* result, const wchar_t* sibling)
{
    if (!CopyFileW(result, sibling, TRUE))
        return false;
    SetFileAttributesW(sibling, FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(sibling, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

// The swapped-in file keeps the target's attributes and creation time.
static void copyIdentity(const wchar_t* target, const wchar_t* sibling)
{
    HANDLE from = CreateFileW(target, FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (from == INVALID_HANDLE_VALUE)
        return;
    FILETIME created;
    bool haveTime = GetFileTime(from, &created, nullptr, nullptr) != 0;
    CloseHandle(from);
    HANDLE to = CreateFileW(sibling, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (to != INVALID_HANDLE_VALUE) {
        if (haveTime)
            SetFileTime(to, &created, nullptr, nullptr);
        CloseHandle(to);
    }
}

bool replaceFileWith(const wchar_t* target, const wchar_t* result, const ErrorSink* sink)
{
    wchar_t sibling[PATH_ROOM + 32];
    if (!makeSiblingName(target, sibling, PATH_ROOM + 32)) {
        reportText(sink, "ERROR: cannot replace the file (path too long)\n");
        return false;
    }
    DWORD attributes = GetFileAttributesW(target);
    bool swapped = false;
    if (attributes != INVALID_FILE_ATTRIBUTES && writeSibling(result, sibling)) {
        copyIdentity(target, sibling);
        // The target must be writable to be replaced; its attributes go back on after.
        if (attributes & FILE_ATTRIBUTE_READONLY)
            SetFileAttributesW(target, attributes & ~FILE_ATTRIBUTE_READONLY);
        swapped = MoveFileExW(sibling, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        SetFileAttributesW(target, attributes);
    }
    if (!swapped) {
        DWORD error = GetLastError();
        DeleteFileW(sibling);
        char line[96];
        snprintf(line, sizeof(line), "ERROR: cannot replace the file (system error %lu)\n",
                 static_cast<unsigned long>(error));
        reportText(sink, line);
        return false;
    }
    return true;
}
