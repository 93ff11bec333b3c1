// Files per second through the adder (the code the window and VellBatch use)
// for a tree of files that give no job and for one of files that all become
// jobs, each beside a bare walk of the same tree that does the least the adder
// must: list, open, read 512 bytes. The job case is also compared with the walk
// plus one folder creation per file, in one flat folder and in the scratch
// layout the program uses, because under Wine making a folder costs time in
// proportion to the entries already beside it. No worker runs: this is analysis only.
// Figures only: the machine and Wine decide the numbers.
//
//   vell_bench_analysis.exe [FILES]
//
// FILES defaults to 10,000 (BENCH_QUICK=1: 2,000), in folders of 100 files.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include "base/file_util.h"
#include "bench/bench_support.h"
#include "jobs/adding.h"
#include "jobs/job.h"
#include "jobs/scratch.h"
#include "settings/settings.h"

namespace {

const int FILES_PER_FOLDER = 100;
const DWORD FILE_LENGTH = 600;
const DWORD HEAD_LENGTH = 512;
const int GROWTH_SLICES = 5;
// A PNG signature and IHDR chunk: "optimize PNG" under the default settings, without a probe.
const char PNG_HEAD[] = "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0";
const size_t PNG_HEAD_LENGTH = sizeof(PNG_HEAD) - 1;

AddingRun adding;
bool adderDone = false;
size_t jobsAdded = 0;

// folder\dNNN\fNNNNN.bin, FILES_PER_FOLDER to a folder, each FILE_LENGTH bytes
// starting with head (the rest is filler no sniffing recognises).
bool makeTree(const std::wstring& folder, int files, const char* head, size_t headLength)
{
    char bytes[FILE_LENGTH];
    memset(bytes, 'a', sizeof(bytes));
    memcpy(bytes, head, headLength);
    if (!CreateDirectoryW(folder.c_str(), nullptr))
        return false;
    std::wstring sub;
    for (int i = 0; i < files; ++i) {
        if (i % FILES_PER_FOLDER == 0) {
            sub = folder + L"\\d" + std::to_wstring(i / FILES_PER_FOLDER);
            if (!CreateDirectoryW(sub.c_str(), nullptr))
                return false;
        }
        if (!writeWholeFile(sub + L"\\f" + std::to_wstring(i) + L".bin", bytes, FILE_LENGTH))
            return false;
    }
    return true;
}

// What each file costs beside the walk itself.
enum Extra { EXTRA_NONE, EXTRA_FLAT_FOLDER, EXTRA_SCRATCH_FOLDER };

struct BareWalk {
    Extra extra;
    std::wstring target; // the flat folder, or the temporary path for scratch folders
    int made;
    int failed;
    uint64_t growthTicks[GROWTH_SLICES]; // flat creations, by slice of the run
    int sliceLength;
};

double totalSeconds(const BareWalk& walk)
{
    uint64_t ticks = 0;
    for (uint64_t slice : walk.growthTicks)
        ticks += slice;
    return ticksToSeconds(ticks);
}

// The same number of folders made FILES_PER_FOLDER to a folder: what making
// them costs when no folder grows large.
double createInSmallFolders(const std::wstring& folder, int count)
{
    uint64_t ticks = 0;
    std::wstring parent;
    for (int i = 0; i < count; ++i) {
        if (i % FILES_PER_FOLDER == 0) {
            parent = folder + L"\\d" + std::to_wstring(i / FILES_PER_FOLDER);
            CreateDirectoryW(parent.c_str(), nullptr);
        }
        wchar_t name[16];
        swprintf(name, 16, L"\\zarn%08X", static_cast<unsigned>(i));
        std::wstring path = parent + name;
        uint64_t start = benchTicks();
        CreateDirectoryW(path.c_str(), nullptr);
        ticks += benchTicks() - start;
    }
    return ticksToSeconds(ticks);
}

void makeExtraFolder(BareWalk* walk)
{
    if (walk->extra == EXTRA_FLAT_FOLDER) {
        wchar_t name[16];
        swprintf(name, 16, L"\\zarn%08X", static_cast<unsigned>(walk->made));
        std::wstring path = walk->target + name;
        uint64_t start = benchTicks();
        bool made = CreateDirectoryW(path.c_str(), nullptr) != 0;
        int slice = walk->made / walk->sliceLength;
        walk->growthTicks[slice < GROWTH_SLICES ? slice : GROWTH_SLICES - 1] += benchTicks() - start;
        walk->failed += !made;
    } else {
        wchar_t scratch[PATH_ROOM];
        walk->failed += !createScratchDir(scratch, walk->target.c_str());
    }
    ++walk->made;
}

// List, open, read the head, close: the least any adding must do per file.
int walkTree(const std::wstring& folder, BareWalk* walk)
{
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((folder + L"\\*.*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return 0;
    int files = 0;
    do {
        std::wstring path = folder + L"\\" + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (found.cFileName[0] != L'.')
                files += walkTree(path, walk);
            continue;
        }
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            continue;
        char head[HEAD_LENGTH];
        DWORD got = 0;
        LARGE_INTEGER size;
        GetFileSizeEx(file, &size);
        if (ReadFile(file, head, HEAD_LENGTH, &got, nullptr) && got == HEAD_LENGTH)
            ++files;
        CloseHandle(file);
        if (walk && walk->extra != EXTRA_NONE)
            makeExtraFolder(walk);
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return files;
}

LRESULT CALLBACK notificationProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ADDER_DONE) {
        adderDone = true;
        return 0;
    }
    if (message == WM_JOB_ADDED) {
        ++jobsAdded;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Queues the folder as a drop does and pumps the notifications until the adder ends.
double addThroughAdder(const std::wstring& folder)
{
    adderDone = false;
    jobsAdded = 0;
    uint64_t start = benchTicks();
    if (!queuePath(&adding, folder.c_str()))
        return -1;
    MSG message;
    while (!adderDone && GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return ticksToSeconds(benchTicks() - start);
}

// As teardown does; timed, because the scratch layout decides its cost too.
double discardJobs()
{
    uint64_t start = benchTicks();
    EnterCriticalSection(&jobList.lock);
    removeScratchFolders(&jobList);
    LeaveCriticalSection(&jobList.lock);
    releaseJobs(&jobList);
    return ticksToSeconds(benchTicks() - start);
}

double timedWalk(const std::wstring& tree, BareWalk* walk, int* files)
{
    uint64_t start = benchTicks();
    *files = walkTree(tree, walk);
    return ticksToSeconds(benchTicks() - start);
}

void printRate(const char* what, double elapsed, int files, double floor)
{
    printf("  %-58s %7.2f s %8.0f files/s", what, elapsed, elapsed > 0 ? files / elapsed : 0.0);
    if (floor > 0)
        printf("  (walk time / this: %.2f)", floor / elapsed);
    printf("\n");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const char* quick = getenv("BENCH_QUICK");
    int files = quick && quick[0] == '1' ? 2000 : 10000;
    if (argc > 1 && _wtoi(argv[1]) > 0)
        files = _wtoi(argv[1]);

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + L"vell-bench-analysis-" + std::to_wstring(GetCurrentProcessId());
    std::wstring noJobTree = root + L"\\nojob";
    std::wstring jobTree = root + L"\\jobs";
    std::wstring flat = root + L"\\flat";
    std::wstring small = root + L"\\small";
    std::wstring layout = root + L"\\layout\\";
    std::wstring scratch = root + L"\\scratch\\";
    if (!CreateDirectoryW(root.c_str(), nullptr) || !CreateDirectoryW(flat.c_str(), nullptr) ||
        !CreateDirectoryW(small.c_str(), nullptr) ||
        !CreateDirectoryW(layout.c_str(), nullptr) || !CreateDirectoryW(scratch.c_str(), nullptr) ||
        !makeTree(noJobTree, files, "", 0) || !makeTree(jobTree, files, PNG_HEAD, PNG_HEAD_LENGTH)) {
        fprintf(stderr, "cannot prepare %ls\n", root.c_str());
        deleteTree(root.c_str());
        return 1;
    }

    setDefaultSettings(&settings);
    settings.general_backgroundPriority = 0;
    wcsncpy(settings.general_tempPath, scratch.c_str(), TEMP_PATH_ROOM - 1);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = notificationProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VellBenchAnalysis";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
    initJobList(&jobList);
    resetWorkerSlots(window);
    adding.window = window;
    adding.jobs = &jobList;
    adding.settings = &settings;

    printf("Analysis: adding a tree of %d files (folders of %d), no worker running\n", files,
           FILES_PER_FOLDER);
    int status = 0;
    int walked = 0;

    // Files that give no job.
    double walk = timedWalk(noJobTree, nullptr, &walked);
    printRate("bare walk (list, open, read 512 bytes)", walk, walked, 0);
    double added = addThroughAdder(noJobTree);
    printRate("adder, files that give no job", added, files, walk);
    if (jobsAdded != 0 || walked != files) {
        printf("  unexpected: %zu jobs from files that should give none, %d of %d files walked\n", jobsAdded,
               walked, files);
        status = 1;
    }
    discardJobs();

    // Files that all become jobs.
    walk = timedWalk(jobTree, nullptr, &walked);
    printRate("bare walk (list, open, read 512 bytes)", walk, walked, 0);
    BareWalk flatWalk = {EXTRA_FLAT_FOLDER, flat, 0, 0, {}, (files + GROWTH_SLICES - 1) / GROWTH_SLICES};
    double walkFlat = timedWalk(jobTree, &flatWalk, &walked);
    printRate("bare walk + one folder each, all in one folder", walkFlat, walked, walk);
    printf("     folders made per second as that folder grows:");
    for (int i = 0; i < GROWTH_SLICES; ++i) {
        double slice = ticksToSeconds(flatWalk.growthTicks[i]);
        printf(" %d-%d: %.0f%s", i * flatWalk.sliceLength, (i + 1) * flatWalk.sliceLength,
               slice > 0 ? flatWalk.sliceLength / slice : 0.0, i + 1 < GROWTH_SLICES ? "," : "\n");
    }
    BareWalk layoutWalk = {EXTRA_SCRATCH_FOLDER, layout, 0, 0, {}, 1};
    double walkLayout = timedWalk(jobTree, &layoutWalk, &walked);
    printRate("bare walk + one scratch folder each (createScratchDir)", walkLayout, walked, walk);
    added = addThroughAdder(jobTree);
    printRate("adder, files that all become jobs", added, files, walk);
    printf("     against the walk + one folder each: flat %.2f, scratch layout %.2f\n", walkFlat / added,
           walkLayout / added);
    // The part of one-folder-per-file that is due to the folder's growth alone.
    double inSmall = createInSmallFolders(small, files);
    double growth = totalSeconds(flatWalk) - inSmall;
    printf("     %d folder creations: %.2f s in one folder, %.2f s in folders of %d; the growth, %.2f s,"
           " is %.0f%% of the adder's time\n",
           files, totalSeconds(flatWalk), inSmall, FILES_PER_FOLDER, growth, added > 0 ? 100 * growth / added : 0.0);
    double discarded = discardJobs();
    printf("  %-58s %7.2f s\n", "teardown's removal of those jobs' scratch folders", discarded);
    if (jobsAdded != static_cast<size_t>(files) || flatWalk.failed || layoutWalk.failed) {
        printf("  unexpected: %zu of %d files became jobs; %d flat and %d scratch folders not made\n", jobsAdded,
               files, flatWalk.failed, layoutWalk.failed);
        status = 1;
    }
    fflush(stdout);

    DestroyWindow(window);
    deleteTree(root.c_str());
    return status;
}
