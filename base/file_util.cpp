#include "base/file_util.h"
#include <string.h>
#include <wchar.h>

static void reportLastError(const ErrorSink* sink)
{
    report(sink, SINK_SYSTEM_ERROR, GetLastError());
}

HANDLE openForReading(const wchar_t* path, DWORD access, DWORD share, const ErrorSink* sink)
{
    HANDLE file = CreateFileW(path, access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reportLastError(sink);
        return nullptr;
    }
    return file;
}

HANDLE createForWriting(const wchar_t* path, DWORD access, DWORD share, DWORD attributes,
                        const ErrorSink* sink)
{
    HANDLE file = CreateFileW(path, access, share, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reportLastError(sink);
        return nullptr;
    }
    return file;
}

uint64_t readFully(HANDLE file, void* buffer, uint64_t count, const ErrorSink* sink)
{
    uint64_t done = 0;
    while (done < count) {
        uint64_t left = count - done;
        DWORD chunk = left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!ReadFile(file, static_cast<char*>(buffer) + done, chunk, &read, nullptr)) {
            reportLastError(sink);
            break;
        }
        if (read == 0)
            break;
        done += read;
    }
    return done;
}

uint64_t readAtOffset(HANDLE file, uint64_t offset, void* buffer, uint64_t count,
                      const ErrorSink* sink)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) {
        reportLastError(sink);
        return 0;
    }
    return readFully(file, buffer, count, sink);
}

const void* mapForReading(HANDLE file, HANDLE* mapping, const ErrorSink* sink)
{
    *mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!*mapping) {
        reportLastError(sink);
        return nullptr;
    }
    const void* view = MapViewOfFile(*mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        reportLastError(sink);
        CloseHandle(*mapping);
        *mapping = nullptr;
    }
    return view;
}

static HANDLE openForAttributes(const wchar_t* path)
{
    return CreateFileW(path, FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

uint64_t sizeOfPath(const wchar_t* path)
{
    HANDLE file = openForAttributes(path);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size;
    uint64_t result = GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
    CloseHandle(file);
    return result;
}

uint64_t lastWriteTimeOfPath(const wchar_t* path)
{
    HANDLE file = openForAttributes(path);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME written;
    uint64_t result = GetFileTime(file, nullptr, nullptr, &written) ? fileTimeValue(written) : 0;
    CloseHandle(file);
    return result;
}

HANDLE openFolderForTimeStamping(const wchar_t* path)
{
    HANDLE folder = CreateFileW(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    return folder == INVALID_HANDLE_VALUE ? nullptr : folder;
}

// A copy keeps the source's attributes; a hidden or system copy could then not be
// overwritten by the passes that copy over it (CREATE_ALWAYS refuses such files),
// and a read-only one not be rewritten by the tools.
bool copyToScratch(const wchar_t* source, const wchar_t* copy)
{
    if (!CopyFileW(source, copy, TRUE))
        return false;
    if (SetFileAttributesW(copy, FILE_ATTRIBUTE_NORMAL))
        return true;
    DeleteFileW(copy);
    return false;
}

void clearReadOnly(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

const wchar_t* fileNameOfPath(const wchar_t* path)
{
    const wchar_t* name = nullptr;
    for (const wchar_t* p = path; *p; ++p) {
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    }
    return name ? name : L"";
}

bool nameNeedsLongForm(const wchar_t* name)
{
    size_t length = wcslen(name);
    if (length == 0 || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
        return false;
    return name[length - 1] == L' ' || name[length - 1] == L'.';
}

static bool hasLongPrefix(const wchar_t* path)
{
    return wcsncmp(path, L"\\\\?\\", 4) == 0 || wcsncmp(path, L"\\\\.\\", 4) == 0;
}

static wchar_t* fullPathOf(const wchar_t* path, const ErrorSink* sink)
{
    DWORD room = GetFullPathNameW(path, 0, nullptr, nullptr);
    wchar_t* full = room ? static_cast<wchar_t*>(allocate(room, sizeof(wchar_t), sink)) : nullptr;
    if (!full) {
        if (!room)
            reportLastError(sink);
        return nullptr;
    }
    DWORD length = GetFullPathNameW(path, room, full, nullptr);
    if (length == 0 || length >= room) {
        reportLastError(sink);
        release(full);
        return nullptr;
    }
    return full;
}

// Behind "\\?\" nothing is normalised any more, so the folder part is made full
// first; the name is appended as it is, because making it full would drop what
// the long form is there to keep.
wchar_t* longPathOf(const wchar_t* path, const ErrorSink* sink)
{
    if (hasLongPrefix(path))
        return duplicateString(path, sink);
    const wchar_t* name = fileNameOfPath(path);
    bool keepName = name != path && wcschr(name, L':') == nullptr && wcscmp(name, L".") != 0 &&
                    wcscmp(name, L"..") != 0;
    wchar_t* full;
    if (keepName) {
        wchar_t* folder = duplicateString(path, sink);
        if (!folder)
            return nullptr;
        folder[name - path] = 0;
        full = fullPathOf(folder, sink);
        release(folder);
    } else {
        full = fullPathOf(path, sink);
    }
    if (!full)
        return nullptr;
    bool unc = full[0] == L'\\' && full[1] == L'\\';
    const wchar_t* pieces[] = {unc ? L"\\\\?\\UNC" : L"\\\\?\\", unc ? full + 1 : full, keepName ? name : L""};
    wchar_t* result = joinStrings(pieces, 3, sink);
    release(full);
    return result;
}

wchar_t* reachablePath(const wchar_t* path, const ErrorSink* sink)
{
    if (!hasLongPrefix(path) && nameNeedsLongForm(fileNameOfPath(path)))
        return longPathOf(path, sink);
    return duplicateString(path, sink);
}

const wchar_t* withoutLongPrefix(const wchar_t* path)
{
    bool drive = wcsncmp(path, L"\\\\?\\", 4) == 0 && path[4] != 0 && path[5] == L':';
    return drive ? path + 4 : path;
}

const wchar_t* extensionOfPath(const wchar_t* path)
{
    const wchar_t* dot = wcsrchr(path, L'.');
    return dot ? dot + 1 : L"";
}

bool equalsNoCase(const wchar_t* name, const char* literal)
{
    for (;; ++name, ++literal) {
        wchar_t c = *name;
        char l = *literal;
        if (c == 0 || l == 0)
            return c == 0 && l == 0;
        if (c > 0x7F)
            continue;
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(static_cast<unsigned char>(l)))
            return false;
    }
}

void* allocate(size_t count, size_t size, const ErrorSink* sink)
{
    void* block = nullptr;
    if (size == 0 || count <= SIZE_MAX / size) {
        size_t bytes = count * size;
        block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes != 0 ? bytes : 1);
    }
    if (!block)
        report(sink, SINK_OUT_OF_MEMORY, 0);
    return block;
}

void* reallocate(void* block, size_t count, size_t size, const ErrorSink* sink)
{
    if (!block)
        return allocate(count, size, sink);
    void* grown = nullptr;
    if (size == 0 || count <= SIZE_MAX / size) {
        size_t bytes = count * size;
        grown = HeapReAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, block, bytes != 0 ? bytes : 1);
    }
    if (!grown)
        report(sink, SINK_OUT_OF_MEMORY, 0);
    return grown;
}

void release(void* block)
{
    if (block)
        HeapFree(GetProcessHeap(), 0, block);
}

wchar_t* duplicateString(const wchar_t* text, const ErrorSink* sink)
{
    size_t length = wcslen(text);
    wchar_t* copy = static_cast<wchar_t*>(allocate(length + 1, sizeof(wchar_t), sink));
    if (copy)
        memcpy(copy, text, (length + 1) * sizeof(wchar_t));
    return copy;
}

wchar_t* joinStrings(const wchar_t* const* pieces, size_t count, const ErrorSink* sink)
{
    size_t length = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t pieceLength = wcslen(pieces[i]);
        if (pieceLength > SIZE_MAX / sizeof(wchar_t) - 1 - length) {
            report(sink, SINK_OUT_OF_MEMORY, 0);
            return nullptr;
        }
        length += pieceLength;
    }
    wchar_t* text = static_cast<wchar_t*>(allocate(length + 1, sizeof(wchar_t), sink));
    if (!text)
        return nullptr;
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t pieceLength = wcslen(pieces[i]);
        wmemcpy(text + at, pieces[i], pieceLength);
        at += pieceLength;
    }
    text[at] = 0;
    return text;
}

bool joinPath(wchar_t* buffer, size_t room, const wchar_t* folder, const wchar_t* name)
{
    size_t folderLength = wcslen(folder);
    size_t nameLength = wcslen(name);
    if (room == 0 || folderLength + 1 + nameLength >= room)
        return false;
    wmemcpy(buffer, folder, folderLength);
    buffer[folderLength] = L'\\';
    wmemcpy(buffer + folderLength + 1, name, nameLength + 1);
    return true;
}

uint64_t fileTimeValue(const FILETIME& time)
{
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME fileTimeOf(uint64_t value)
{
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}
