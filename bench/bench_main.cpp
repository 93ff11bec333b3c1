// P2 scheduling: jobs per second through VellBatch with a no-op tool double, at
// one, two and four workers, beside the rate of starting that same tool in a bare
// loop, so the gap between the pipeline and the physical limit shows, and where
// it goes:
//   bare, plain       the tool started with the parent's console (the limit)
//   bare, hidden      started as the runner must start a tool, without a window;
//                     under Wine each such start makes a console host of its own
//   runner            the job's three tool calls through runTool, nothing else
//   VellBatch -j N    whole jobs: scratch folder, log, copies, content check
// Measurements are interleaved in rounds, so that a machine whose load drifts
// weighs on all of them alike. Figures only: nothing here judges them.
//
//   vell_bench.exe VELLBATCH.EXE TOOL_DOUBLE.EXE [FILES [ROUNDS]]
//
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>
#include "base/error_sink.h"
#include "bench/bench_support.h"
#include "runner/tool_runner.h"
#include "runner/tool_names.h"

namespace {

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
    const BenchSetting values[] = {{L"png_strategy", 1}};
    return storeBenchSettings(values, 1, temp);
}

bool discard(void*, uint32_t, uintptr_t)
{
    return true;
}

// The tool calls of one job of the PNG pipeline, as it makes them: ECT on the
// file, defluff from file to file, DeflOpt with its report into a file.
void runPipelineTools(const std::wstring& work, const std::wstring& png)
{
    const ErrorSink quiet = {nullptr, discard};
    std::wstring arguments = L"\"" + png + L"\"";
    runTool(TOOL_ECT, arguments.c_str(), work.c_str(), nullptr, nullptr, false, &quiet);
    std::wstring temporary = work + L"\\defluff.png";
    HANDLE input = CreateFileW(png.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE output = CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    runTool(TOOL_DEFLUFF, nullptr, work.c_str(), input, output, false, &quiet);
    CloseHandle(input);
    CloseHandle(output);
    std::wstring reportPath = work + L"\\deflopt.txt";
    HANDLE report = CreateFileW(reportPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0, nullptr);
    arguments = L"/bk " + arguments;
    runTool(TOOL_DEFLOPT, arguments.c_str(), work.c_str(), nullptr, report, false, &quiet);
    CloseHandle(report);
}

// Seconds and units of work summed over the rounds of one measurement.
struct Tally {
    double seconds;
    double units;
    double toolStarts;
};

} // namespace

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) {
        fprintf(stderr, "usage: vell_bench VELLBATCH.EXE TOOL_DOUBLE.EXE [FILES [ROUNDS]]\n");
        return 2;
    }
    std::wstring batch = argv[1];
    std::wstring toolDouble = argv[2];
    int files = argc > 3 ? _wtoi(argv[3]) : 300;
    if (files < 1)
        files = 300;
    int rounds = argc > 4 ? _wtoi(argv[4]) : 3;
    if (rounds < 1 || rounds > files)
        rounds = 1;
    int block = files / rounds;

    wchar_t base[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, base);
    std::wstring root = std::wstring(base) + L"vell-bench-" + std::to_wstring(GetCurrentProcessId());
    std::wstring tools = root + L"\\tools";
    std::wstring temp = root + L"\\temp\\";
    std::wstring work = root + L"\\work";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(tools.c_str(), nullptr);
    CreateDirectoryW(temp.c_str(), nullptr);
    CreateDirectoryW(work.c_str(), nullptr);
    for (const Tool& tool : PIPELINE_TOOLS) {
        std::wstring stem = tools + L"\\" + tool.name;
        if (!CopyFileW(toolDouble.c_str(), (stem + L".exe").c_str(), FALSE) ||
            (tool.behavior[0] &&
             !writeWholeFile(stem + L".behavior", tool.behavior, static_cast<DWORD>(strlen(tool.behavior))))) {
            fprintf(stderr, "cannot set up the tools folder %ls\n", tools.c_str());
            return 1;
        }
    }
    std::wstring bare = tools + L"\\noop.exe";
    CopyFileW(toolDouble.c_str(), bare.c_str(), FALSE);
    std::wstring workPng = work + L"\\p.png";
    writeWholeFile(workPng, TINY_PNG, TINY_PNG_LENGTH);
    if (!setSettings(temp)) {
        fprintf(stderr, "cannot write the settings\n");
        return 1;
    }
    setToolsDirectory((tools + L"\\").c_str());

    printf("P2 scheduling: %d tiny PNG files in %d round(s), the PNG pipeline with no-op tools (%d processor(s))\n",
           block * rounds, rounds, static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)));
    fflush(stdout);

    const int workerCounts[] = {1, 2, 4};
    const int WORKER_RUNS = sizeof(workerCounts) / sizeof(workerCounts[0]);
    Tally plain = {}, hidden = {}, runner = {};
    Tally pipeline[WORKER_RUNS] = {};
    std::wstring quotedBare = L"\"" + bare + L"\"";
    for (int round = 0; round < rounds; ++round) {
        double start = benchSeconds();
        for (int i = 0; i < block; ++i)
            runQuietly(quotedBare);
        plain.seconds += benchSeconds() - start;
        plain.units += block;

        start = benchSeconds();
        for (int i = 0; i < block; ++i)
            runQuietly(quotedBare, CREATE_NO_WINDOW);
        hidden.seconds += benchSeconds() - start;
        hidden.units += block;

        start = benchSeconds();
        for (int i = 0; i < block; ++i)
            runPipelineTools(work, workPng);
        runner.seconds += benchSeconds() - start;
        runner.units += block;
        runner.toolStarts += 3.0 * block;

        for (int w = 0; w < WORKER_RUNS; ++w) {
            int workers = workerCounts[w];
            std::wstring input = root + L"\\in" + std::to_wstring(workers);
            CreateDirectoryW(input.c_str(), nullptr);
            for (int i = 0; i < block; ++i)
                writeWholeFile(input + L"\\p" + std::to_wstring(i) + L".png", TINY_PNG, TINY_PNG_LENGTH);
            // Counted as a difference: a record that could not be deleted still counts right.
            for (const Tool& tool : PIPELINE_TOOLS) {
                std::wstring record = tools + L"\\" + tool.name + L".record";
                DeleteFileW(record.c_str());
                pipeline[w].toolStarts -= static_cast<double>(countRuns(record));
            }
            std::wstring command = L"\"" + batch + L"\" --tools \"" + tools + L"\" -j " +
                                   std::to_wstring(workers) + L" \"" + input + L"\"";
            start = benchSeconds();
            DWORD code = runQuietly(command);
            pipeline[w].seconds += benchSeconds() - start;
            pipeline[w].units += block;
            if (code != 0)
                printf("  (VellBatch -j %d exited with %lu)\n", workers, static_cast<unsigned long>(code));
            for (const Tool& tool : PIPELINE_TOOLS)
                pipeline[w].toolStarts += static_cast<double>(countRuns(tools + L"\\" + tool.name + L".record"));
            removeTree(input);
        }
        printf("  round %d of %d done\n", round + 1, rounds);
        fflush(stdout);
    }

    double plainRate = plain.units / plain.seconds;
    double hiddenRate = hidden.units / hidden.seconds;
    printf("  %-34s %7.2f tool starts/s\n", "bare starts, plain:", plainRate);
    printf("  %-34s %7.2f tool starts/s   %.3f of plain\n", "bare starts, hidden (no window):", hiddenRate,
           hiddenRate / plainRate);
    double runnerStarts = runner.toolStarts / runner.seconds;
    printf("  %-34s %7.2f tool starts/s   %.3f of plain, %.3f of hidden\n", "runTool, the job's 3 calls:",
           runnerStarts, runnerStarts / plainRate, runnerStarts / hiddenRate);
    for (int w = 0; w < WORKER_RUNS; ++w) {
        double jobs = pipeline[w].units / pipeline[w].seconds;
        double starts = pipeline[w].toolStarts / pipeline[w].seconds;
        printf("  VellBatch -j %d: %7.2f jobs/s, %.2f starts/job, %7.2f tool starts/s   %.3f of plain, %.3f of hidden\n",
               workerCounts[w], jobs, pipeline[w].toolStarts / pipeline[w].units, starts, starts / plainRate,
               starts / hiddenRate);
    }
    removeTree(root);
    LocalFree(argv);
    return 0;
}
