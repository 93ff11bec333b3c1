#include "kit_unix.h"

#include "kit_args.h"

#include <windows.h>

#include <cstdio>

namespace vkit {

namespace {

typedef char*(CDECL* UnixFileNameFn)(const WCHAR* dosPath);
typedef LONG(CDECL* UnixSpawnFn)(char* const argv[], int wait);

UnixFileNameFn unixFileNameFn()
{
    static UnixFileNameFn fn = reinterpret_cast<UnixFileNameFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    return fn;
}

UnixSpawnFn unixSpawnFn()
{
    static UnixSpawnFn fn = reinterpret_cast<UnixSpawnFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    return fn;
}

bool writeAll(HANDLE h, const char* data, std::size_t size)
{
    while (size > 0) {
        DWORD chunk = size > 0x100000 ? 0x100000 : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool usableHandle(HANDLE h)
{
    return h != nullptr && h != INVALID_HANDLE_VALUE;
}

// A private folder for the files that carry the child's standard streams.
std::wstring makeRunFolder()
{
    wchar_t base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH, base);
    if (n == 0 || n > MAX_PATH)
        return std::wstring();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        wchar_t name[64];
        swprintf(name, 64, L"vkit-%lu-%lu-%u", GetCurrentProcessId(), GetTickCount(), attempt);
        std::wstring folder = std::wstring(base) + name;
        if (CreateDirectoryW(folder.c_str(), nullptr))
            return folder;
    }
    return std::wstring();
}

bool createEmpty(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!usableHandle(h))
        return false;
    CloseHandle(h);
    return true;
}

HANDLE openGrowingFile(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Copies the shim's standard input into a file the child can read. Only
// files and pipes are read: a console would wait for a person.
bool copyStandardInput(const std::wstring& target, bool& copied)
{
    copied = false;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!usableHandle(in))
        return true;
    DWORD type = GetFileType(in);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE)
        return true;
    HANDLE out = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!usableHandle(out))
        return false;
    static char buffer[65536];
    bool ok = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0)
            break; // end of data, or a pipe whose writer has gone
        if (!writeAll(out, buffer, got)) {
            ok = false;
            break;
        }
    }
    CloseHandle(out);
    copied = ok;
    return ok;
}

struct SpawnJob {
    std::vector<std::string> argv;
    LONG result = -1;
};

DWORD WINAPI spawnThread(void* param)
{
    SpawnJob* job = static_cast<SpawnJob*>(param);
    std::vector<char*> argv;
    for (std::string& a : job->argv)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    job->result = unixSpawnFn()(argv.data(), 1);
    return 0;
}

// Moves whatever the child has added to a stream file on to a standard handle.
void relayNew(HANDLE from, DWORD which, bool crlf)
{
    if (!usableHandle(from))
        return;
    static char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(from, buffer, sizeof buffer, &got, nullptr) || got == 0)
            return;
        std::string chunk(buffer, got);
        writeStd(which, crlf ? lfToCrlf(chunk) : chunk);
    }
}

// Run by /bin/sh with the positional parameters: working folder, the three
// stream files, then the program and its arguments. Passing everything as
// parameters keeps the shell from splitting or globbing any of it. setpriv
// makes the kernel kill the tool when the shim's process goes away, so a
// cancelled job does not leave the tool running.
const char kLauncher[] =
    "[ -n \"$1\" ] && cd \"$1\" 2>/dev/null; i=$2; o=$3; e=$4; shift 4; "
    "PATH=/usr/local/bin:/usr/bin:/bin:$PATH; export PATH; "
    "if command -v \"$1\" >/dev/null 2>&1; then :; else "
    "echo \"vell tools kit: the Linux program '$1' is not installed\" >\"$e\"; exit 127; fi; "
    "if command -v setpriv >/dev/null 2>&1; then "
    "exec setpriv --pdeathsig KILL -- \"$@\" <\"$i\" >\"$o\" 2>\"$e\"; "
    "else exec \"$@\" <\"$i\" >\"$o\" 2>\"$e\"; fi";

} // namespace

bool wineBridgeAvailable()
{
    return unixFileNameFn() != nullptr && unixSpawnFn() != nullptr;
}

bool wineUnixPath(const std::wstring& windowsPath, std::string& linuxPath)
{
    UnixFileNameFn fn = unixFileNameFn();
    if (!fn || windowsPath.empty())
        return false;
    char* unixName = fn(windowsPath.c_str());
    if (!unixName)
        return false;
    linuxPath = unixName;
    // Wine allocates the answer on the process heap and leaves it to us.
    HeapFree(GetProcessHeap(), 0, unixName);
    return true;
}

void writeStd(unsigned long which, const std::string& bytes)
{
    HANDLE h = GetStdHandle(which);
    if (usableHandle(h) && !bytes.empty())
        writeAll(h, bytes.data(), bytes.size());
}

std::string currentLinuxDirectory()
{
    wchar_t buffer[32768];
    DWORD n = GetCurrentDirectoryW(32768, buffer);
    if (n == 0 || n >= 32768)
        return std::string();
    std::string out;
    return wineUnixPath(buffer, out) ? out : std::string();
}

int runLinux(const LinuxCommand& command)
{
    if (!wineBridgeAvailable()) {
        writeStd(STD_ERROR_HANDLE, "vell tools kit: this program only works under Wine\r\n");
        return 9009;
    }
    std::wstring folder = makeRunFolder();
    std::string folderLinux;
    if (folder.empty() || !wineUnixPath(folder, folderLinux)) {
        writeStd(STD_ERROR_HANDLE, "vell tools kit: cannot create a temporary folder\r\n");
        if (!folder.empty())
            RemoveDirectoryW(folder.c_str());
        return 9009;
    }
    const std::wstring inPath = folder + L"\\in", outPath = folder + L"\\out", errPath = folder + L"\\err";
    bool haveInput = false;
    if (command.relayStandardInput && !copyStandardInput(inPath, haveInput))
        haveInput = false;
    createEmpty(outPath);
    createEmpty(errPath);
    HANDLE outReader = openGrowingFile(outPath);
    HANDLE errReader = openGrowingFile(errPath);

    SpawnJob job;
    job.argv = {"/bin/sh", "-c", kLauncher, "vell-kit", command.workingDirectory,
                haveInput ? folderLinux + "/in" : std::string("/dev/null"), folderLinux + "/out",
                folderLinux + "/err"};
    job.argv.insert(job.argv.end(), command.argv.begin(), command.argv.end());

    int exitCode = 9009;
    HANDLE thread = CreateThread(nullptr, 0, spawnThread, &job, 0, nullptr);
    if (thread) {
        // Pass output on while the tool runs, so a log shows progress.
        while (WaitForSingleObject(thread, 50) == WAIT_TIMEOUT) {
            relayNew(outReader, STD_OUTPUT_HANDLE, command.crlfStandardOutput);
            relayNew(errReader, STD_ERROR_HANDLE, false);
        }
        CloseHandle(thread);
        relayNew(outReader, STD_OUTPUT_HANDLE, command.crlfStandardOutput);
        relayNew(errReader, STD_ERROR_HANDLE, false);
        if (job.result >= 0 && job.result <= 255) {
            exitCode = int(job.result);
        } else {
            char text[160];
            snprintf(text, sizeof text, "vell tools kit: cannot start %s (status %08lX)\r\n",
                     command.argv.empty() ? "?" : command.argv[0].c_str(), static_cast<unsigned long>(job.result));
            writeStd(STD_ERROR_HANDLE, text);
        }
    } else {
        writeStd(STD_ERROR_HANDLE, "vell tools kit: cannot create a thread\r\n");
    }
    if (usableHandle(outReader))
        CloseHandle(outReader);
    if (usableHandle(errReader))
        CloseHandle(errReader);
    DeleteFileW(inPath.c_str());
    DeleteFileW(outPath.c_str());
    DeleteFileW(errPath.c_str());
    RemoveDirectoryW(folder.c_str());
    return exitCode;
}

} // namespace vkit
