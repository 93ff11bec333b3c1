#include "optimizers/replace.h"
#include "base/file_util.h"
#include <windows.h>
#include <aclapi.h>
#include <stdio.h>
#include <wchar.h>

// "<name>.vell~PPPPPPPPSSSSSSSS-CCCCCCCC": the maker's process id, a sequence
// number, and a check over the name before it, so that a file the program did not
// make is never taken for one of its copies.
static const wchar_t SIBLING_TAG[] = L".vell~";
static const size_t TAG_LENGTH = 6;
static const size_t CHECK_DIGITS = 8;
static const size_t SUFFIX_LENGTH = TAG_LENGTH + 16 + 1 + CHECK_DIGITS;
static const size_t NAME_LIMIT = 255; // units in one name of a path
static const uint32_t SIBLING_CHOICES = 64;
// "\\?\UNC\" in front of a full path of PATH_ROOM units, and the suffix.
static const size_t LONG_PATH_ROOM = 8 + PATH_ROOM + SUFFIX_LENGTH;

static uint32_t checkOf(const wchar_t* text, size_t length)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<uint16_t>(text[i]);
        hash *= 16777619u;
    }
    return hash;
}

// A name too long for the suffix is cut (never inside a surrogate pair); the copy
// then cannot be matched to its file later, but the replacement still works.
bool replacementSiblingName(const wchar_t* target, uint32_t processId, uint32_t sequence,
                            wchar_t* sibling, size_t room)
{
    size_t length = wcslen(target);
    size_t nameLength = wcslen(fileNameOfPath(target));
    size_t nameStart = length - nameLength;
    size_t kept = length;
    if (nameLength + SUFFIX_LENGTH > NAME_LIMIT) {
        kept = nameStart + NAME_LIMIT - SUFFIX_LENGTH;
        if (IS_HIGH_SURROGATE(target[kept - 1]))
            --kept;
    }
    if (kept + SUFFIX_LENGTH + 1 > room)
        return false;
    wmemcpy(sibling, target, kept);
    swprintf(sibling + kept, room - kept, L"%ls%08X%08X-", SIBLING_TAG, processId, sequence);
    size_t checked = kept + SUFFIX_LENGTH - CHECK_DIGITS;
    swprintf(sibling + checked, room - checked, L"%08X", checkOf(sibling + nameStart, checked - nameStart));
    return true;
}

static bool parseHex(const wchar_t* digits, size_t count, uint32_t* value)
{
    uint32_t parsed = 0;
    for (size_t i = 0; i < count; ++i) {
        wchar_t c = digits[i];
        uint32_t digit;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        else
            return false;
        parsed = parsed * 16 + digit;
    }
    *value = parsed;
    return true;
}

static bool parseSiblingName(const wchar_t* name, uint32_t* processId)
{
    size_t length = wcslen(name);
    if (length <= SUFFIX_LENGTH)
        return false;
    const wchar_t* suffix = name + length - SUFFIX_LENGTH;
    uint32_t sequence = 0;
    uint32_t check = 0;
    return wcsncmp(suffix, SIBLING_TAG, TAG_LENGTH) == 0 &&
           parseHex(suffix + TAG_LENGTH, 8, processId) && parseHex(suffix + TAG_LENGTH + 8, 8, &sequence) &&
           suffix[TAG_LENGTH + 16] == L'-' && parseHex(suffix + TAG_LENGTH + 17, CHECK_DIGITS, &check) &&
           check == checkOf(name, length - CHECK_DIGITS);
}

// A running maker may be about to swap its copy in; a process this one may not
// look at counts as running.
static bool processMayRun(uint32_t processId)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (!process)
        return GetLastError() != ERROR_INVALID_PARAMETER;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

static bool longFormOf(const wchar_t* path, wchar_t* longPath, size_t room);

bool removeReplacementLeftover(const wchar_t* path)
{
    uint32_t processId = 0;
    if (!parseSiblingName(fileNameOfPath(path), &processId))
        return false;
    if (processMayRun(processId))
        return true;
    wchar_t leftover[LONG_PATH_ROOM];
    if (!longFormOf(path, leftover, LONG_PATH_ROOM))
        return true;
    // A copy whose file has gone may be all that is left of that file; it stays.
    wchar_t target[LONG_PATH_ROOM];
    size_t targetLength = wcslen(leftover) - SUFFIX_LENGTH;
    wmemcpy(target, leftover, targetLength);
    target[targetLength] = 0;
    wchar_t* reachable = reachablePath(target, nullptr);
    DWORD attributes = reachable ? GetFileAttributesW(reachable) : INVALID_FILE_ATTRIBUTES;
    release(reachable);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    SetFileAttributesW(leftover, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(leftover);
    return true;
}

// The sibling is 31 units longer than the target; from MAX_PATH units on, a path
// works only in the "\\?\" form, as does one whose name ends in a blank or a dot.
static bool longFormOf(const wchar_t* path, wchar_t* longPath, size_t room)
{
    size_t length = wcslen(path);
    bool plain = wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0 ||
                 (length + SUFFIX_LENGTH < MAX_PATH && !nameNeedsLongForm(fileNameOfPath(path)));
    wchar_t* made = plain ? nullptr : longPathOf(path, nullptr);
    const wchar_t* form = plain ? path : made;
    bool fits = form && wcslen(form) + 1 <= room;
    if (fits)
        wmemcpy(longPath, form, wcslen(form) + 1);
    release(made);
    return fits;
}

// Takes the copy out of the result's attributes and forces it to disk.
static bool settleSibling(const wchar_t* sibling)
{
    if (!SetFileAttributesW(sibling, FILE_ATTRIBUTE_NORMAL))
        return false;
    HANDLE file = CreateFileW(sibling, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool flushed = FlushFileBuffers(file) != 0;
    CloseHandle(file);
    return flushed;
}

// Creation time, permissions and, where allowed, owner and group go onto the
// copy before it is swapped in, so the renamed copy does not take the folder's
// inherited permissions instead of the file's own.
static void copyIdentity(const wchar_t* target, const wchar_t* sibling)
{
    HANDLE from = CreateFileW(target, FILE_READ_ATTRIBUTES | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (from == INVALID_HANDLE_VALUE)
        return;
    FILETIME created;
    bool haveTime = GetFileTime(from, &created, nullptr, nullptr) != 0;
    PSID owner = nullptr;
    PSID group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool haveSecurity =
        GetSecurityInfo(from, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                        &owner, &group, &dacl, nullptr, &descriptor) == ERROR_SUCCESS;
    CloseHandle(from);
    // Setting permissions reads the present ones first, hence READ_CONTROL.
    const DWORD access = FILE_WRITE_ATTRIBUTES | READ_CONTROL | WRITE_DAC;
    HANDLE to = CreateFileW(sibling, access | WRITE_OWNER, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (to == INVALID_HANDLE_VALUE)
        to = CreateFileW(sibling, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (to != INVALID_HANDLE_VALUE) {
        if (haveTime)
            SetFileTime(to, &created, nullptr, nullptr);
        if (haveSecurity) {
            SECURITY_DESCRIPTOR_CONTROL control = 0;
            DWORD revision = 0;
            GetSecurityDescriptorControl(descriptor, &control, &revision);
            SECURITY_INFORMATION which =
                DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                           : UNPROTECTED_DACL_SECURITY_INFORMATION);
            SetSecurityInfo(to, SE_FILE_OBJECT, which, nullptr, nullptr, dacl, nullptr);
            // Giving the file another user's ownership takes a privilege most users lack.
            SetSecurityInfo(to, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION, owner,
                            group, nullptr, nullptr);
        }
        CloseHandle(to);
    }
    if (descriptor)
        LocalFree(descriptor);
}

// Alternate data streams of the target go onto the copy, stream by stream; a
// file system without them lists none. A stream that cannot be copied fails the
// replacement rather than losing what the user kept in it.
static bool copyStreams(const wchar_t* target, const wchar_t* sibling)
{
    WIN32_FIND_STREAM_DATA stream;
    HANDLE find = FindFirstStreamW(target, FindStreamInfoStandard, &stream, 0);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    bool copied = true;
    do {
        // "::$DATA" is the file's own content, already in place.
        if (wcscmp(stream.cStreamName, L"::$DATA") == 0)
            continue;
        wchar_t from[LONG_PATH_ROOM + MAX_PATH + 36];
        wchar_t to[LONG_PATH_ROOM + MAX_PATH + 36];
        swprintf(from, sizeof(from) / sizeof(from[0]), L"%ls%ls", target, stream.cStreamName);
        swprintf(to, sizeof(to) / sizeof(to[0]), L"%ls%ls", sibling, stream.cStreamName);
        HANDLE input = CreateFileW(from, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        HANDLE output = CreateFileW(to, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        bool ok = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE;
        char buffer[65536];
        DWORD length = 0;
        while (ok && ReadFile(input, buffer, sizeof(buffer), &length, nullptr) && length > 0) {
            DWORD written = 0;
            ok = WriteFile(output, buffer, length, &written, nullptr) && written == length;
        }
        if (ok)
            ok = FlushFileBuffers(output) != 0;
        if (input != INVALID_HANDLE_VALUE)
            CloseHandle(input);
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        copied = copied && ok;
    } while (copied && FindNextStreamW(find, &stream));
    FindClose(find);
    return copied;
}

static bool reportFailure(DWORD error, const ErrorSink* sink)
{
    char line[96];
    snprintf(line, sizeof(line), "ERROR: cannot replace the file (system error %lu)\n",
             static_cast<unsigned long>(error));
    reportText(sink, line);
    return false;
}

bool replaceFileWith(const wchar_t* target, const wchar_t* result, const ErrorSink* sink)
{
    wchar_t longTarget[LONG_PATH_ROOM];
    wchar_t sibling[LONG_PATH_ROOM];
    if (!longFormOf(target, longTarget, LONG_PATH_ROOM)) {
        reportText(sink, "ERROR: cannot replace the file (path too long)\n");
        return false;
    }
    DWORD attributes = GetFileAttributesW(longTarget);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return reportFailure(GetLastError(), sink);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return reportFailure(ERROR_DIRECTORY, sink);

    // Only a name that is free is taken: a file already there, even one looking
    // like a copy of this routine, belongs to someone else and is never touched.
    DWORD error = ERROR_SUCCESS;
    bool created = false;
    for (uint32_t sequence = 0; sequence < SIBLING_CHOICES && !created; ++sequence) {
        if (!replacementSiblingName(longTarget, GetCurrentProcessId(), sequence, sibling, LONG_PATH_ROOM)) {
            reportText(sink, "ERROR: cannot replace the file (path too long)\n");
            return false;
        }
        bool wasFree = GetFileAttributesW(sibling) == INVALID_FILE_ATTRIBUTES &&
                       GetLastError() == ERROR_FILE_NOT_FOUND;
        created = CopyFileW(result, sibling, TRUE) != 0;
        if (!created) {
            error = GetLastError();
            if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
                // Whatever is at a name that was free is this copy's unfinished
                // output (Wine leaves it when the disk is full).
                if (wasFree)
                    DeleteFileW(sibling);
                break;
            }
        }
    }
    if (!created)
        return reportFailure(error, sink);
    if (!settleSibling(sibling)) {
        error = GetLastError();
        DeleteFileW(sibling);
        return reportFailure(error, sink);
    }
    if (!copyStreams(longTarget, sibling)) {
        error = GetLastError();
        DeleteFileW(sibling);
        return reportFailure(error, sink);
    }
    copyIdentity(longTarget, sibling);
    // The target must be writable to be replaced; its attributes go back on after.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(longTarget, attributes & ~FILE_ATTRIBUTE_READONLY);
    // One rename: ReplaceFileW would carry the identity itself, but where it moves
    // the target aside first (Wine does) a kill in between leaves no file at all.
    bool swapped = MoveFileExW(sibling, longTarget, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!swapped)
        error = GetLastError();
    SetFileAttributesW(longTarget, attributes);
    if (swapped)
        return true;
    DeleteFileW(sibling);
    return reportFailure(error, sink);
}
