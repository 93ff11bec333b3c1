#include "bench/bench_support.h"
#include <psapi.h>
#include "settings/settings.h"

uint64_t benchTicks()
{
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    return static_cast<uint64_t>(ticks.QuadPart);
}

double ticksToSeconds(uint64_t ticks)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}

double benchSeconds()
{
    return ticksToSeconds(benchTicks());
}

bool writeWholeFile(const std::wstring& path, const void* bytes, DWORD length)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = length == 0 || (WriteFile(file, bytes, length, &written, nullptr) && written == length);
    CloseHandle(file);
    return ok;
}

void removeTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    RemoveDirectoryW(folder.c_str());
}

DWORD runQuietly(std::wstring command, DWORD flags)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, OPEN_EXISTING,
                             0, nullptr);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    PROCESS_INFORMATION process = {};
    DWORD code = ~0u;
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, flags, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(nul);
    return code;
}

void pumpMessagesFor(DWORD milliseconds)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageW(&message);
    Sleep(milliseconds);
}

bool storeBenchSettings(const BenchSetting* values, size_t count, const std::wstring& temporaryPath)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    bool stored = true;
    for (size_t i = 0; i < count; ++i)
        stored = RegSetValueExW(key, values[i].name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&values[i].value),
                                sizeof(values[i].value)) == ERROR_SUCCESS && stored;
    stored = RegSetValueExW(key, L"general_tempPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(temporaryPath.c_str()),
                            static_cast<DWORD>((temporaryPath.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
             stored;
    RegCloseKey(key);
    return stored;
}

MemoryFigures memoryOf(HANDLE process)
{
    MemoryFigures figures = {};
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters)))
        figures.privateUsage = counters.PrivateUsage;
    MEMORY_BASIC_INFORMATION region;
    const char* address = nullptr;
    while (VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region)) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            figures.privateCommitted += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return figures;
}
