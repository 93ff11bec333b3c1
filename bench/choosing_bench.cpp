// Time the workers spend choosing under the job list lock while the content of
// one container runs, for a container of 2,000 and one of 20,000 tiny entries
// (BENCH_QUICK=1: 500 and 5,000). The entries are Thumbs.db files, which become
// "delete" jobs and start no tool; 7-Zip is the no-op tool double. Wine's own
// cost of making a folder is timed apart: every content job makes its scratch
// folder, and under Wine that, not choosing, is most of the wall time.
// Figures only: the machine and Wine decide the numbers.
//
//   vell_bench_choosing.exe TOOL_DOUBLE.EXE
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include "base/file_util.h"
#include "bench/bench_support.h"
#include "jobs/content.h"
#include "jobs/job.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"

namespace {

const int WORKERS = 4;
const DWORD ENTRY_LENGTH = 512;
HWND notifications = nullptr;

bool workersEnded()
{
    for (WorkerSlot& slot : workerSlots) {
        acquireSpinLock(&slot.slotLock);
        bool running = slot.thread != nullptr;
        releaseSpinLock(&slot.slotLock);
        if (running)
            return false;
    }
    return jobList.busy.load() == 0;
}

bool finalState(const Job* job)
{
    EnterCriticalSection(&jobList.lock);
    bool final = job->state == JOB_DONE || job->state == JOB_FAILED;
    LeaveCriticalSection(&jobList.lock);
    return final;
}

Job* createContainer(const std::wstring& path)
{
    Job* job = static_cast<Job*>(allocate(1, sizeof(Job), nullptr));
    if (!job)
        return nullptr;
    job->sink.context = job;
    job->sink.callback = jobReport;
    job->path = duplicateString(path.c_str(), nullptr);
    job->kind = KIND_ZIP;
    job->action = ACTION_OPTIMIZE_ZIP;
    job->options[0] = 1;
    job->ready.store(1);
    job->window = notifications;
    InitializeSRWLock(&job->toolLock);
    if (!job->path || !createScratchDir(job->scratchDir, settings.general_tempPath)) {
        release(job->path);
        release(job);
        return nullptr;
    }
    return job;
}

void discardJobs()
{
    EnterCriticalSection(&jobList.lock);
    removeScratchFolders(&jobList);
    LeaveCriticalSection(&jobList.lock);
    releaseJobs(&jobList);
}

// One container whose unpacked folder already holds `entries` Thumbs.db files,
// each in a folder of its own; the no-op 7-Zip leaves it as it is.
bool runContainer(const std::wstring& root, int entries)
{
    std::wstring archive = root + L"\\box" + std::to_wstring(entries) + L".zip";
    if (!writeWholeFile(archive, "PK\x03\x04", 4))
        return false;
    Job* container = createContainer(archive);
    if (!container)
        return false;
    std::wstring content = std::wstring(container->scratchDir) + L"\\x";
    char entry[ENTRY_LENGTH] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    uint64_t folderTicks = 0;
    bool made = CreateDirectoryW(content.c_str(), nullptr) != 0;
    for (int i = 0; made && i < entries; ++i) {
        std::wstring folder = content + L"\\d" + std::to_wstring(i);
        uint64_t start = benchTicks();
        made = CreateDirectoryW(folder.c_str(), nullptr) != 0;
        folderTicks += benchTicks() - start;
        made = made && writeWholeFile(folder + L"\\Thumbs.db", entry, ENTRY_LENGTH);
    }
    size_t index = 0;
    if (!made || !appendJob(&jobList, container, &index)) {
        fprintf(stderr, "cannot prepare the container of %d entries\n", entries);
        return false;
    }

    EnterCriticalSection(&jobList.lock);
    jobList.choosingTicks = 0;
    jobList.choices = 0;
    LeaveCriticalSection(&jobList.lock);
    uint64_t start = benchTicks();
    setWorkerCount(WORKERS);
    while (!finalState(container))
        pumpMessagesFor(5);
    uint64_t wall = benchTicks() - start;
    setWorkerCount(0);
    while (!workersEnded())
        pumpMessagesFor(5);

    EnterCriticalSection(&jobList.lock);
    uint64_t choosing = jobList.choosingTicks;
    uint64_t choices = jobList.choices;
    size_t done = 0;
    for (size_t i = 0; i < jobList.length; ++i)
        done += jobList.entries[i]->parent == container && jobList.entries[i]->state == JOB_DONE;
    LeaveCriticalSection(&jobList.lock);
    printf("%6d entries: choosing %8.3f s in %7llu choices (%6.2f us each); wall %7.2f s;"
           " Wine made %d folders in %6.2f s (%5.0f us each)\n",
           entries, ticksToSeconds(choosing), static_cast<unsigned long long>(choices),
           choices ? ticksToSeconds(choosing) * 1e6 / static_cast<double>(choices) : 0.0, ticksToSeconds(wall), entries,
           ticksToSeconds(folderTicks), entries ? ticksToSeconds(folderTicks) * 1e6 / entries : 0.0);
    if (done != static_cast<size_t>(entries))
        printf("        only %zu of %d content jobs ended done\n", done, entries);
    fflush(stdout);
    discardJobs();
    DeleteFileW(archive.c_str());
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: vell_bench_choosing TOOL_DOUBLE.EXE\n");
        return 2;
    }
    const char* quick = getenv("BENCH_QUICK");
    bool small = quick && quick[0] == '1';
    int counts[2] = {small ? 500 : 2000, small ? 5000 : 20000};

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"vell-bench-choosing-" + std::to_wstring(GetCurrentProcessId());
    std::wstring tools = root + L"\\tools\\";
    std::wstring scratch = root + L"\\scratch\\";
    if (!CreateDirectoryW(root.c_str(), nullptr) || !CreateDirectoryW(tools.c_str(), nullptr) ||
        !CreateDirectoryW(scratch.c_str(), nullptr) ||
        !CopyFileW(argv[1], (tools + L"7z.exe").c_str(), TRUE)) {
        fprintf(stderr, "cannot prepare %ls\n", root.c_str());
        return 1;
    }
    setToolsDirectory(tools.c_str());
    setDefaultSettings(&settings);
    settings.general_backgroundPriority = 0;
    settings.deleteThumbsDb = 1;
    wcsncpy(settings.general_tempPath, scratch.c_str(), TEMP_PATH_ROOM - 1);

    notifications = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    initJobList(&jobList);
    resetWorkerSlots(notifications);
    printf("Choosing under the job list lock, %d workers, one container of tiny entries:\n", WORKERS);
    int status = 0;
    for (int count : counts) {
        if (!runContainer(root, count))
            status = 1;
    }
    deleteTree(root.c_str());
    DestroyWindow(notifications);
    return status;
}
