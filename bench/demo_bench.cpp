// Wall time of the demo set (the bundled samples, as "make demo" runs them)
// through VellBatch and the real tools kit, with result verification on and off,
// side by side. Rounds run off-on, then on-off, and so on, so that a machine whose
// load drifts weighs on both alike. Then the checks alone, timed on the files of
// the last run: a figure that the load of the machine disturbs far less. Figures only.
//
//   vell_bench_demo.exe VELLBATCH.EXE TOOLS_DIR SAMPLES_DIR [ROUNDS]
#include <windows.h>
#include <shellapi.h>
#include <objbase.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <vector>
#include "base/error_sink.h"
#include "bench/bench_support.h"
#include "optimizers/verify.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"

namespace {

bool copyFolder(const std::wstring& from, const std::wstring& to)
{
    CreateDirectoryW(to.c_str(), nullptr);
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((from + L"\\*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    bool copied = true;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            copied = copyFolder(from + L"\\" + name, to + L"\\" + name) && copied;
        else
            copied = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), FALSE) && copied;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return copied;
}

// The demo's settings: the defaults, with ZIP and gzip files optimized.
bool setSettings(const std::wstring& temp, DWORD verify)
{
    const BenchSetting values[] = {
        {L"zip_strategy", 1}, {L"gzip_strategy", 1}, {L"png_strategy", 1}, {L"general_verifyResults", verify}};
    return storeBenchSettings(values, sizeof(values) / sizeof(values[0]), temp);
}

bool endsWith(const std::wstring& name, const wchar_t* ending)
{
    size_t length = wcslen(ending);
    return name.size() >= length && _wcsicmp(name.c_str() + name.size() - length, ending) == 0;
}

// Counts the checks that found the content the same.
bool countVerified(void* context, uint32_t code, uintptr_t value)
{
    if ((code == SINK_TEXT || code == SINK_TEXT_CHECKPOINT) &&
        strncmp(reinterpret_cast<const char*>(value), "verified: ", 10) == 0)
        ++*static_cast<int*>(context);
    return true;
}

// The check each pipeline makes of its final result, for the single files of
// the demo set (a container's own check reads two directories, and its content
// is checked as the single files are); false for the other files.
bool verifyOne(const std::wstring& name, const std::wstring& original, const std::wstring& result,
               const std::wstring& work, const ErrorSink* sink)
{
    const wchar_t* a = original.c_str();
    const wchar_t* b = result.c_str();
    if (endsWith(name, L".png"))
        verifyPngResult(a, b, false, false, sink);
    else if (endsWith(name, L".jpg"))
        verifyJpegResult(a, b, name.find(L"rotated") != std::wstring::npos, false, 0, sink);
    else if (endsWith(name, L".gif"))
        verifyGifResult(a, b, sink);
    else if (endsWith(name, L".flac"))
        verifyFlacResult(a, b, work.c_str(), false, sink);
    else if (endsWith(name, L".gz"))
        verifyGzipResult(a, b, nullptr, work.c_str(), false, sink);
    else
        return false;
    return true;
}

// Seconds the checks take on the single files of a run; how many were checked
// and how many of those found the content the same.
double timeChecks(const std::wstring& samples, const std::wstring& results, const std::wstring& work, int* checked,
                  int* verified)
{
    *checked = 0;
    *verified = 0;
    ErrorSink sink = {verified, countVerified};
    double spent = 0;
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((samples + L"\\*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::wstring name = found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        double start = benchSeconds();
        if (verifyOne(name, samples + L"\\" + name, results + L"\\" + name, work, &sink))
            ++*checked;
        spent += benchSeconds() - start;
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return spent;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 4) {
        fprintf(stderr, "usage: vell_bench_demo VELLBATCH.EXE TOOLS_DIR SAMPLES_DIR [ROUNDS]\n");
        return 2;
    }
    std::wstring batch = argv[1];
    std::wstring tools = argv[2];
    std::wstring samples = argv[3];
    int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
    if (rounds < 1)
        rounds = 3;

    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    std::wstring root = std::wstring(base) + L"vell-bench-demo-" + std::to_wstring(GetCurrentProcessId());
    std::wstring temp = root + L"\\temp\\";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(temp.c_str(), nullptr);

    printf("Demo set through VellBatch and the tools kit, result verification off and on (%d processor(s))\n",
           static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)));
    double total[2] = {0, 0};
    int failures = 0;
    std::wstring input = root + L"\\run";
    for (int round = 1; round <= rounds; ++round) {
        for (int step = 0; step < 2; ++step) {
            int verify = round % 2 ? step : 1 - step;
            removeTree(input);
            if (!copyFolder(samples, input) || !setSettings(temp, static_cast<DWORD>(verify))) {
                fprintf(stderr, "cannot prepare the run in %ls\n", root.c_str());
                return 1;
            }
            std::wstring command = L"\"" + batch + L"\" --tools \"" + tools + L"\" \"" + input + L"\"";
            double start = benchSeconds();
            DWORD code = runQuietly(command);
            double elapsed = benchSeconds() - start;
            total[verify] += elapsed;
            failures += code != 0;
            printf("  round %d, verification %-3s: %7.1f s (exit code %lu)\n", round, verify ? "on" : "off", elapsed,
                   static_cast<unsigned long>(code));
            fflush(stdout);
        }
    }
    double off = total[0] / rounds;
    double on = total[1] / rounds;
    printf("  mean of %d round(s): off %.1f s, on %.1f s; verification costs %+.1f %%%s\n", rounds, off, on,
           off > 0 ? (on - off) * 100.0 / off : 0.0, failures ? " (some runs failed, see exit codes)" : "");

    // The checks alone, in this process, on the originals and the last run's results.
    std::wstring work = root + L"\\work";
    CreateDirectoryW(work.c_str(), nullptr);
    setToolsDirectory((tools + L"\\").c_str());
    setDefaultSettings(&settings);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int checked = 0;
    int verified = 0;
    double checks = timeChecks(samples, input, work, &checked, &verified);
    CoUninitialize();
    printf("  the checks alone on the %d single files of the last run (%d verified): %.2f s, %.1f %% of a run "
           "without them\n",
           checked, verified, checks, off > 0 ? checks * 100.0 / off : 0.0);
    removeTree(root);
    LocalFree(argv);
    return 0;
}
