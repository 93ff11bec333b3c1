// Jobs per second through VellBatch with a no-op tool double, at one and two
// workers, beside the rate of starting that same tool in a bare loop. Figures
// only: the machine and Wine decide the numbers, nothing here judges them.
//
//   vell_bench.exe VELLBATCH.EXE TOOL_DOUBLE.EXE [FILES]
//
// "make bench" runs it with 1,000 files; BENCH_FILES=N make bench for a quicker look.
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

const wchar_t SETTINGS_KEY[] = L"Software\\Zarn\u2019s Vell\\Optimizer";
// A PNG signature and IHDR chunk: enough for the content check, and the no-op tools never decode it.
const char TINY_PNG[] = "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1F\x15\xC4\x89";
const DWORD TINY_PNG_LENGTH = sizeof(TINY_PNG) - 1;

struct Tool {
    const wchar_t* name;
    const char* behavior;
};
// What the PNG pipeline starts for each job; each gains nothing and succeeds.
const Tool PIPELINE_TOOLS[] = {
    {L"ECT_x64", ""},
    {L"defluff", "stdin-to-stdout\n"},
    {L"DeflOpt", "deflopt-report 0\n"},
};

double seconds()
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool writeFile(const std::wstring& path, const char* bytes, DWORD length)
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
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    RemoveDirectoryW(folder.c_str());
}

// Runs a command line to its end with its output discarded; the exit code, or ~0 when it did not start.
DWORD runQuietly(std::wstring command)
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
    if (CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(nul);
    return code;
}

size_t countRuns(const std::wstring& record)
{
    HANDLE file = CreateFileW(record.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got)
        bytes.append(buffer, got);
    CloseHandle(file);
    size_t runs = 0;
    for (size_t at = 0; (at = bytes.find("call ", at)) != std::string::npos; at += 5) {
        if (at == 0 || bytes[at - 1] == '\n')
            ++runs;
    }
    return runs;
}

bool setSettings(const std::wstring& temp)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD one = 1;
    RegSetValueExW(key, L"png_strategy", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one));
    RegSetValueExW(key, L"general_tempPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(temp.c_str()),
                   static_cast<DWORD>((temp.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return true;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) {
        fprintf(stderr, "usage: vell_bench VELLBATCH.EXE TOOL_DOUBLE.EXE [FILES]\n");
        return 2;
    }
    std::wstring batch = argv[1];
    std::wstring toolDouble = argv[2];
    int files = argc > 3 ? _wtoi(argv[3]) : 1000;
    if (files < 1)
        files = 1000;

    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    std::wstring root = std::wstring(base) + L"vell-bench-" + std::to_wstring(GetCurrentProcessId());
    std::wstring tools = root + L"\\tools";
    std::wstring temp = root + L"\\temp\\";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(tools.c_str(), nullptr);
    CreateDirectoryW(temp.c_str(), nullptr);
    for (const Tool& tool : PIPELINE_TOOLS) {
        std::wstring stem = tools + L"\\" + tool.name;
        if (!CopyFileW(toolDouble.c_str(), (stem + L".exe").c_str(), FALSE) ||
            (tool.behavior[0] &&
             !writeFile(stem + L".behavior", tool.behavior, static_cast<DWORD>(strlen(tool.behavior))))) {
            fprintf(stderr, "cannot set up the tools folder %ls\n", tools.c_str());
            return 1;
        }
    }
    std::wstring bare = tools + L"\\noop.exe";
    CopyFileW(toolDouble.c_str(), bare.c_str(), FALSE);
    if (!setSettings(temp)) {
        fprintf(stderr, "cannot write the settings\n");
        return 1;
    }

    printf("VellBatch benchmark: %d tiny PNG files, the PNG pipeline with no-op tools (%d processor(s))\n", files,
           static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)));

    // The bare cost of one tool start, measured in the same run.
    double start = seconds();
    for (int i = 0; i < files; ++i)
        runQuietly(L"\"" + bare + L"\"");
    double bareRate = files / (seconds() - start);
    printf("  bare tool starts, one after another:  %8.1f per second\n", bareRate);

    const int workerCounts[] = {1, 2};
    for (int workers : workerCounts) {
        std::wstring input = root + L"\\in" + std::to_wstring(workers);
        CreateDirectoryW(input.c_str(), nullptr);
        for (int i = 0; i < files; ++i)
            writeFile(input + L"\\p" + std::to_wstring(i) + L".png", TINY_PNG, TINY_PNG_LENGTH);
        for (const Tool& tool : PIPELINE_TOOLS)
            DeleteFileW((tools + L"\\" + tool.name + L".record").c_str());
        std::wstring command = L"\"" + batch + L"\" --tools \"" + tools + L"\" -j " + std::to_wstring(workers) +
                               L" \"" + input + L"\"";
        start = seconds();
        DWORD code = runQuietly(command);
        double elapsed = seconds() - start;
        size_t runs = 0;
        for (const Tool& tool : PIPELINE_TOOLS)
            runs += countRuns(tools + L"\\" + tool.name + L".record");
        double jobRate = files / elapsed;
        printf("  VellBatch -j %d: %8.1f jobs per second (%.1f s, exit code %lu, %.2f tool starts per job)\n",
               workers, jobRate, elapsed, static_cast<unsigned long>(code), static_cast<double>(runs) / files);
        printf("     jobs per second / bare starts per second: %.3f;  tool starts per second / bare: %.3f\n",
               jobRate / bareRate, jobRate * static_cast<double>(runs) / files / bareRate);
        removeTree(input);
    }
    removeTree(root);
    LocalFree(argv);
    return 0;
}
