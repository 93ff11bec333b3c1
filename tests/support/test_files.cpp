#include "support/test_files.h"
#include "jobs/scratch.h"
#include <stdio.h>
#include <winioctl.h>

std::wstring wineHostPath(const char* hostPath)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, hostPath, -1, nullptr, 0);
    std::wstring path(length > 0 ? length - 1 : 0, L'\0');
    if (length > 1)
        MultiByteToWideChar(CP_UTF8, 0, hostPath, -1, &path[0], length);
    if (!path.empty() && path[0] == L'/')
        path = L"Z:" + path;
    for (wchar_t& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

std::wstring makeTestFolder(const wchar_t* tag)
{
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[MAX_PATH + 64];
    swprintf(name, MAX_PATH + 64, L"%lsvelltest-%ls-%lu-%ld", base, tag, GetCurrentProcessId(),
             InterlockedIncrement(&counter));
    deleteTree(name);
    CreateDirectoryW(name, nullptr);
    return name;
}

void removeTestFolder(const std::wstring& folder)
{
    deleteTree(folder.c_str());
}

bool writeTestFile(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
              written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string readTestFile(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

bool testPathExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint64_t testFileTime(const std::wstring& path, bool creation)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME created, written;
    GetFileTime(file, &created, nullptr, &written);
    CloseHandle(file);
    const FILETIME& t = creation ? created : written;
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

bool setTestFileTime(const std::wstring& path, uint64_t creation, uint64_t lastWrite)
{
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME c = {static_cast<DWORD>(creation), static_cast<DWORD>(creation >> 32)};
    FILETIME w = {static_cast<DWORD>(lastWrite), static_cast<DWORD>(lastWrite >> 32)};
    bool ok = SetFileTime(file, creation ? &c : nullptr, nullptr, lastWrite ? &w : nullptr) != 0;
    CloseHandle(file);
    return ok;
}

bool creationTimesKept(const std::wstring& folder)
{
    const uint64_t probeTime = 125000000000000000ull;
    std::wstring probe = folder + L"\\creation-time-probe";
    bool kept = writeTestFile(probe, "probe") && setTestFileTime(probe, probeTime, 0) &&
                testFileTime(probe, true) == probeTime;
    DeleteFileW(probe.c_str());
    return kept;
}

bool writeSizedTestFile(const std::wstring& path, const std::string& head, uint64_t size)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD ignored = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
    DWORD written = 0;
    bool ok = WriteFile(file, head.data(), static_cast<DWORD>(head.size()), &written, nullptr) != 0;
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    ok = ok && SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    return ok;
}

std::string zipLocalHeader(const std::string& name, unsigned method, const std::string& extra)
{
    std::string header("PK\x03\x04", 4);
    auto put16 = [&header](unsigned value) {
        header += static_cast<char>(value & 0xFF);
        header += static_cast<char>((value >> 8) & 0xFF);
    };
    put16(20);     // version needed to extract
    put16(0);      // flags
    put16(method); // 0 stored, 8 deflated
    header.append(16, '\0'); // time, date, CRC and both sizes
    put16(static_cast<unsigned>(name.size()));
    put16(static_cast<unsigned>(extra.size()));
    return header + name + extra;
}
