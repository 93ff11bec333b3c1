// VellBatch: the optimizer's job pipeline without its window, for scripts,
// benchmarks and end-to-end tests. The pipeline's notifications arrive on a
// hidden window, so the core runs exactly as under the main window.
#include <windows.h>
#include <shellapi.h>
#include <objbase.h>
#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>
#include "console/batch_files.h"
#include "console/batch_format.h"
#include "jobs/adding.h"
#include "jobs/containers.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/tool_needs.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"

namespace {

const UINT WM_BATCH_CANCEL = WM_APP + 20;
const UINT_PTR PROGRESS_TIMER = 1;
const UINT PROGRESS_INTERVAL_MS = 250;
const DWORD CLOSE_GRACE_MS = 4500;
const uint32_t HEAD_LENGTH = 512;
const uint64_t MARK_MODULUS = 1000000;
const uint64_t MARK_REMAINDER = 1337;

struct Batch {
    HWND window;
    AddingRun run;
    bool adderDone;
    bool canceling;
    bool progressOnConsole; // standard error is a console, not redirected
    bool progressShown;
    bool missingToolsTold;
    MissingTools missingTools;
    std::vector<GivenFile> givenFiles;
    bool missingPath;
    bool ended; // the report is printed and the scratch folders are gone
    int exitCode;
    size_t jobsAdded;
    size_t jobsPrinted;
    std::unordered_set<const Job*> printed;
    // Finished jobs whose line waits until everything found inside them has finished too.
    std::vector<Job*> finished;
};

Batch batch;
volatile LONG cancelRequests = 0;
HANDLE cleanupDone = nullptr;

void writeText(DWORD which, const std::wstring& text)
{
    HANDLE handle = GetStdHandle(which);
    if (!handle || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    if (length <= 0)
        return;
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr,
                        nullptr);
    WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

size_t consoleWidth()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 80;
    int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? static_cast<size_t>(width) : 80;
}

void clearProgress()
{
    if (!batch.progressShown)
        return;
    writeText(STD_ERROR_HANDLE, L"\r" + std::wstring(consoleWidth() - 1, L' ') + L"\r");
    batch.progressShown = false;
}

std::vector<BatchEntry> batchEntries(std::unordered_map<const Job*, size_t>* indexes);

void showProgress()
{
    if (!batch.progressOnConsole)
        return;
    wchar_t adding[PATH_ROOM];
    acquireSpinLock(&batch.run.lock);
    wcscpy(adding, batch.run.currentPath);
    releaseSpinLock(&batch.run.lock);
    int busy = jobList.busy.load();
    EnterCriticalSection(&jobList.lock);
    std::unordered_map<const Job*, size_t> indexes;
    BatchTotals totals = batchTotals(batchEntries(&indexes));
    LeaveCriticalSection(&jobList.lock);
    int64_t saved = static_cast<int64_t>(totals.before) - static_cast<int64_t>(totals.after);
    std::wstring line = formatProgressLine(batch.jobsPrinted, batch.jobsAdded, saved,
                                           busy > 0 ? static_cast<size_t>(busy) : 0, adding, consoleWidth());
    clearProgress();
    writeText(STD_ERROR_HANDLE, line);
    batch.progressShown = true;
}

// Once per run, as soon as a file needs a tool that is not there.
void tellMissingTools(Action action, uint8_t pngStrategy)
{
    if (batch.missingToolsTold || !needsMissingTool(batch.missingTools, action, pngStrategy))
        return;
    batch.missingToolsTold = true;
    clearProgress();
    writeText(STD_ERROR_HANDLE, L"VellBatch: " + missingToolsNotice(batch.missingTools) +
                                    L" (VellBatch --check-tools lists them)\n");
}

bool isFinal(const Job* job)
{
    return job->state == JOB_DONE || job->state == JOB_FAILED;
}

size_t depthOf(const Job* job)
{
    size_t depth = 0;
    for (const Job* up = job->parent; up; up = up->parent)
        ++depth;
    return depth;
}

// A file found inside an archive is shown below the archive's own shown path.
std::wstring displayPathOf(const Job* job)
{
    const Job* archive = job->parent;
    if (!archive)
        return withoutLongPrefix(job->path);
    // An extraction unpacks into a folder at its own path, a container into "x" in its scratch folder.
    std::wstring folder = isExtractAction(archive->action) ? std::wstring(withoutLongPrefix(archive->path))
                                                           : std::wstring(archive->scratchDir) + L"\\x";
    return contentDisplayPath(displayPathOf(archive), folder.c_str(), withoutLongPrefix(job->path));
}

// Under the list lock: every job as the totals see it; parents come before their content.
std::vector<BatchEntry> batchEntries(std::unordered_map<const Job*, size_t>* indexes)
{
    std::vector<BatchEntry> entries;
    entries.reserve(jobList.length);
    for (size_t i = 0; i < jobList.length; ++i) {
        const Job* job = jobList.entries[i];
        (*indexes)[job] = i;
        BatchEntry entry = {};
        auto parent = job->parent ? indexes->find(job->parent) : indexes->end();
        entry.parent = parent != indexes->end() ? parent->second : NO_PARENT;
        entry.role = isExtractAction(job->action)     ? ROLE_EXTRACTION
                     : isContainerAction(job->action) ? ROLE_CONTAINER
                                                      : ROLE_FILE;
        entry.done = job->state == JOB_DONE;
        entry.size = job->size;
        entry.optimizedSize = job->optimizedSize;
        entries.push_back(entry);
    }
    return entries;
}

// Under the list lock.
std::wstring resultOf(const Job* job)
{
    if (job->state != JOB_DONE)
        return L"-";
    if (job->action == ACTION_DELETE)
        return L"deleted";
    if (!isExtractAction(job->action))
        return formatOptimizedSize(job->size, job->optimizedSize);
    std::unordered_map<const Job*, size_t> indexes;
    std::vector<BatchEntry> entries = batchEntries(&indexes);
    auto found = indexes.find(job);
    return formatFolderResult(found != indexes.end() ? savedByContent(entries, found->second) : 0);
}

// Under the list lock.
std::wstring statusOf(Job* job)
{
    if (job->state == JOB_DONE) {
        // What the job's own check of its result found, as its log says.
        if (logHasLine(job, "not verified: "))
            return L"OK (not verified)";
        return logHasLine(job, "verified: ") ? L"OK (verified)" : L"OK";
    }
    wchar_t* line = copyStatusLine(job);
    std::wstring status = line && line[0] ? line : L"";
    release(line);
    if (status.empty())
        status = job->canceled.load() ? L"canceled" : L"failed";
    return status;
}

void printJob(Job* job)
{
    if (!batch.printed.insert(job).second)
        return;
    ++batch.jobsPrinted;
    EnterCriticalSection(&jobList.lock);
    std::wstring line = formatJobLine(displayPathOf(job).c_str(), job->size, resultOf(job),
                                      actionDisplayText(static_cast<Action>(job->action)), statusOf(job).c_str());
    LeaveCriticalSection(&jobList.lock);
    clearProgress();
    writeText(STD_OUTPUT_HANDLE, line + L"\n");
}

// Prints every finished job whose content has finished too, deepest first, so
// that an archive's line follows the lines of what was inside it and shows
// what that saved.
void printFinishedJobs()
{
    for (;;) {
        size_t chosen = batch.finished.size();
        EnterCriticalSection(&jobList.lock);
        for (size_t i = 0; i < batch.finished.size(); ++i) {
            const Job* job = batch.finished[i];
            if (allContentFinished(&jobList, job) &&
                (chosen == batch.finished.size() || depthOf(job) > depthOf(batch.finished[chosen])))
                chosen = i;
        }
        LeaveCriticalSection(&jobList.lock);
        if (chosen == batch.finished.size())
            return;
        Job* job = batch.finished[chosen];
        batch.finished.erase(batch.finished.begin() + static_cast<std::ptrdiff_t>(chosen));
        printJob(job);
    }
}

// A job a worker could still take, found as the workers find it.
bool anyPickable()
{
    return anyJobChoosable(&jobList);
}

void checkFinished()
{
    if (batch.canceling || !batch.adderDone)
        return;
    EnterCriticalSection(&jobList.lock);
    bool finished = jobList.busy.load() == 0 && !anyPickable();
    LeaveCriticalSection(&jobList.lock);
    if (finished)
        PostQuitMessage(0);
}

// A waiting container has not finished; its line comes with its second notice.
void onJobState(Job* job)
{
    if (batch.ended)
        return;
    EnterCriticalSection(&jobList.lock);
    bool finished = isFinal(job);
    LeaveCriticalSection(&jobList.lock);
    if (finished && !batch.printed.count(job) &&
        std::find(batch.finished.begin(), batch.finished.end(), job) == batch.finished.end())
        batch.finished.push_back(job);
    printFinishedJobs();
    checkFinished();
}

// Everything is canceled and every worker stopped before the scratch folders go.
void onCancel()
{
    if (batch.canceling)
        return;
    batch.canceling = true;
    clearProgress();
    writeText(STD_ERROR_HANDLE, L"VellBatch: canceling\n");
    stopAdding(&batch.run);
    EnterCriticalSection(&jobList.lock);
    for (size_t i = 0; i < jobList.length; ++i) {
        Job* job = jobList.entries[i];
        job->ready.exchange(0);
        job->canceled.exchange(1);
        terminateJobTool(job);
    }
    LeaveCriticalSection(&jobList.lock);
    stopAllWorkers();
    if (batch.adderDone)
        PostQuitMessage(0);
}

void onEndSession();

void onJobAdded(size_t index)
{
    ++batch.jobsAdded;
    EnterCriticalSection(&jobList.lock);
    Action action = ACTION_NONE;
    uint8_t pngStrategy = 0;
    if (index < jobList.length) {
        action = static_cast<Action>(jobList.entries[index]->action);
        pngStrategy = jobList.entries[index]->options[1];
    }
    LeaveCriticalSection(&jobList.lock);
    tellMissingTools(action, pngStrategy);
}

LRESULT CALLBACK batchWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_ADDER_DONE:
        batch.adderDone = true;
        if (batch.canceling)
            PostQuitMessage(0);
        else
            checkFinished();
        return 0;
    case WM_JOB_ADDED:
        onJobAdded(static_cast<size_t>(wParam));
        // As the main window does once it has shown the row.
        WakeConditionVariable(&jobList.work);
        return 0;
    case WM_JOB_STATE:
        onJobState(reinterpret_cast<Job*>(lParam));
        return 0;
    case WM_WORKER_IDLE:
        checkFinished();
        return 0;
    case WM_TIMER:
        if (wParam == PROGRESS_TIMER && !batch.canceling)
            showProgress();
        return 0;
    case WM_BATCH_CANCEL:
        onCancel();
        return 0;
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            onEndSession();
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

BOOL WINAPI onConsoleControl(DWORD event)
{
    if (InterlockedIncrement(&cancelRequests) > 1 && (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT))
        return FALSE; // asked twice: the default handler ends the process at once
    PostMessageW(batch.window, WM_BATCH_CANCEL, 0, 0);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        // The system ends the process when this returns; give the cleanup its time.
        WaitForSingleObject(cleanupDone, CLOSE_GRACE_MS);
    }
    return TRUE;
}

// A hidden top-level window: only those hear of the end of the session, as a
// program that loads user32 gets no console logoff or shutdown events. Without
// a display (Wine without X) only a message-only window can be had.
bool createBatchWindow()
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = batchWindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VellBatchNotifications";
    if (!RegisterClassW(&windowClass))
        return false;
    batch.window = CreateWindowExW(WS_EX_TOOLWINDOW, windowClass.lpszClassName, L"VellBatch", WS_POPUP, 0, 0, 0,
                                   0, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (!batch.window)
        batch.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       windowClass.hInstance, nullptr);
    return batch.window != nullptr;
}

std::wstring fullPathOf(const std::wstring& path)
{
    // The full path name would drop a trailing blank or dot of the name.
    if (nameNeedsLongForm(fileNameOfPath(path.c_str()))) {
        wchar_t* reachable = longPathOf(path.c_str(), nullptr);
        if (reachable) {
            std::wstring full = reachable;
            release(reachable);
            return full;
        }
    }
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return path;
    std::wstring full(length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    full.resize(length);
    return full;
}

bool useToolsFolder(const std::wstring& folder)
{
    std::wstring full = fullPathOf(folder);
    if (full.empty() || (full.back() != L'\\' && full.back() != L'/'))
        full += L'\\';
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    setToolsDirectory(full.c_str());
    return wcscmp(toolsDirectory, full.c_str()) == 0;
}

// Shutdown's last steps: every log closed and every scratch folder removed.
void removeScratchData()
{
    EnterCriticalSection(&jobList.lock);
    for (size_t i = 0; i < jobList.length; ++i)
        settleJobAtShutdown(jobList.entries[i]);
    removeScratchFolders(&jobList);
    LeaveCriticalSection(&jobList.lock);
}

// Stopped and waited for, so that no job appears after the scratch folders are gone.
void stopAdder()
{
    stopAdding(&batch.run);
    HANDLE thread = nullptr;
    acquireSpinLock(&batch.run.lock);
    // The adder closes its own handle as it ends; a copy stays valid for the wait.
    if (batch.run.thread)
        DuplicateHandle(GetCurrentProcess(), batch.run.thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
    releaseSpinLock(&batch.run.lock);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

bool isMarked(const GivenFile& file)
{
    return !settings.general_forceIfAlreadyOptimized && file.lastWriteTime % MARK_MODULUS == MARK_REMAINDER;
}

// Why the adder made no job of a file, as far as can be told from outside.
SkipReason skipReasonOf(const GivenFile& file)
{
    if (isMarked(file))
        return SKIP_ALREADY_OPTIMIZED;
    HANDLE handle = CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return SKIP_UNREADABLE;
    CloseHandle(handle);
    return SKIP_NO_ACTION;
}

// Prints the jobs still without a line (never finished, or finished with their
// notice still queued), deepest first, and the total; the exit code.
int printReport()
{
    std::vector<Job*> left;
    EnterCriticalSection(&jobList.lock);
    bool allDone = true;
    for (size_t i = 0; i < jobList.length; ++i) {
        Job* job = jobList.entries[i];
        if (job->state != JOB_DONE)
            allDone = false;
        if (!batch.printed.count(job))
            left.push_back(job);
    }
    std::stable_sort(left.begin(), left.end(),
                     [](const Job* a, const Job* b) { return depthOf(a) > depthOf(b); });
    LeaveCriticalSection(&jobList.lock);
    for (Job* job : left)
        printJob(job);
    EnterCriticalSection(&jobList.lock);
    std::unordered_map<const Job*, size_t> indexes;
    BatchTotals totals = batchTotals(batchEntries(&indexes));
    std::unordered_set<std::wstring> withJob;
    for (size_t i = 0; i < jobList.length; ++i) {
        if (!jobList.entries[i]->parent)
            withJob.insert(comparablePath(jobList.entries[i]->path));
    }
    LeaveCriticalSection(&jobList.lock);
    // Files that got no job are on the disk as they were, and count so.
    if (!batch.canceling) {
        for (const GivenFile& file : batch.givenFiles) {
            if (withJob.count(comparablePath(file.path)))
                continue;
            writeText(STD_OUTPUT_HANDLE,
                      formatSkippedLine(withoutLongPrefix(file.path.c_str()), file.size, skipReasonOf(file)) + L"\n");
            ++totals.files;
            totals.before += file.size;
            totals.after += file.size;
        }
    }
    writeText(STD_OUTPUT_HANDLE, formatTotalLine(totals) + L"\n");
    return allDone && !batch.canceling && !batch.missingPath ? 0 : 1;
}

// Runs once, after the message loop or while the session ends: workers and
// adder stopped, every line and the total printed, the scratch folders removed.
int finishBatch()
{
    if (batch.ended)
        return batch.exitCode;
    batch.ended = true;
    if (batch.progressOnConsole)
        KillTimer(batch.window, PROGRESS_TIMER);
    clearProgress();
    stopAllWorkers();
    stopAdder();
    batch.exitCode = printReport();
    removeScratchData();
    SetEvent(cleanupDone);
    return batch.exitCode;
}

// The process may be ended as soon as this returns, so everything is done here.
void onEndSession()
{
    onCancel();
    finishBatch();
    PostQuitMessage(0);
}

// The full paths to add, wildcards expanded; each file in them listed in batch.givenFiles.
std::vector<std::wstring> givenPaths(const std::vector<std::wstring>& arguments)
{
    std::vector<std::wstring> expanded;
    std::vector<std::wstring> unmatched;
    expandWildcards(arguments, &expanded, &unmatched);
    for (const std::wstring& pattern : unmatched) {
        writeText(STD_ERROR_HANDLE, L"VellBatch: nothing matches " + pattern + L"\n");
        batch.missingPath = true;
    }
    std::vector<std::wstring> paths;
    for (const std::wstring& path : expanded) {
        std::wstring full = fullPathOf(path);
        if (GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) {
            writeText(STD_ERROR_HANDLE, L"VellBatch: cannot find " + path + L"\n");
            batch.missingPath = true;
        }
        listGivenFiles(full, &batch.givenFiles);
        paths.push_back(full);
    }
    return paths;
}

// The action each file would get, found as the adder finds it; nothing is changed.
Action dryRunAction(const GivenFile& file, uint8_t options[4], SkipReason* reason)
{
    *reason = SKIP_NO_ACTION;
    if (isMarked(file)) {
        *reason = SKIP_ALREADY_OPTIMIZED;
        return ACTION_NONE;
    }
    HANDLE handle = CreateFileW(file.path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *reason = SKIP_UNREADABLE;
        return ACTION_NONE;
    }
    uint8_t head[HEAD_LENGTH];
    uint32_t wanted = file.size < HEAD_LENGTH ? static_cast<uint32_t>(file.size) : HEAD_LENGTH;
    uint32_t got = static_cast<uint32_t>(readFully(handle, head, wanted, &defaultSink));
    CloseHandle(handle);
    if (got != wanted) {
        *reason = SKIP_UNREADABLE;
        return ACTION_NONE;
    }
    FileKind kind = sniffContent(file.path.c_str(), settings.general_tempPath, head, file.size, got,
                                 settings.general_backgroundPriority != 0, &defaultSink);
    return kind == KIND_NONE ? ACTION_NONE : chooseAction(file.path.c_str(), kind, &settings, CONTEXT_TOP, options);
}

int dryRun()
{
    size_t withAction = 0;
    for (const GivenFile& file : batch.givenFiles) {
        SkipReason reason;
        uint8_t options[4] = {};
        Action action = dryRunAction(file, options, &reason);
        if (action == ACTION_NONE) {
            writeText(STD_OUTPUT_HANDLE, formatSkippedLine(withoutLongPrefix(file.path.c_str()), file.size, reason) + L"\n");
            continue;
        }
        ++withAction;
        tellMissingTools(action, options[1]);
        writeText(STD_OUTPUT_HANDLE,
                  formatJobLine(withoutLongPrefix(file.path.c_str()), file.size, L"-", actionDisplayText(action), L"dry run") + L"\n");
    }
    writeText(STD_OUTPUT_HANDLE, formatDryRunTotal(batch.givenFiles.size(), withAction) + L"\n");
    return batch.missingPath ? 1 : 0;
}

// Every tool file with the actions that need it; 0 only when all are there.
int checkTools()
{
    MissingTools missing;
    findMissingTools(1, &missing); // which files are missing does not depend on the PNG strategy
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i)
        writeText(STD_OUTPUT_HANDLE, formatToolLine(TOOL_FILES[i], !missing.missing[i], actionsNeedingText(i)) + L"\n");
    writeText(STD_OUTPUT_HANDLE, formatToolSummary(missing.count, TOOL_FILE_COUNT, toolsDirectory) + L"\n");
    return missing.count == 0 ? 0 : 1;
}

// The tools folder of the command line, or the one beside the program; false after telling why not.
bool chooseToolsFolder(const BatchOptions& options)
{
    if (options.toolsDir.empty()) {
        initToolsDirectory();
        return true;
    }
    if (useToolsFolder(options.toolsDir))
        return true;
    writeText(STD_ERROR_HANDLE, L"VellBatch: cannot use the tools folder " + options.toolsDir + L"\n");
    return false;
}

int runBatch(const BatchOptions& options)
{
    loadSettings(&settings);
    // Left by instances that were killed or crashed; those still running keep theirs.
    removeStaleScratchDirs(settings.general_tempPath);
    if (!chooseToolsFolder(options))
        return 2;
    findMissingTools(settings.png_strategy, &batch.missingTools);
    initJobList(&jobList);
    if (!createBatchWindow()) {
        writeText(STD_ERROR_HANDLE, L"VellBatch: cannot create its notification window\n");
        return 1;
    }
    resetWorkerSlots(batch.window);
    batch.run.window = batch.window;
    batch.run.jobs = &jobList;
    batch.run.settings = &settings;
    DWORD mode = 0;
    batch.progressOnConsole = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
    cleanupDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Started in a new process group, Ctrl+C arrives only when it is switched back on.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);

    std::vector<std::wstring> paths = givenPaths(options.paths);
    if (options.dryRun)
        return dryRun();
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& path : paths)
        pointers.push_back(path.c_str());
    queuePaths(&batch.run, pointers.data(), pointers.size());
    acquireSpinLock(&batch.run.lock);
    bool stuck = batch.run.queueBytes != 0 && !batch.run.thread;
    releaseSpinLock(&batch.run.lock);
    if (stuck) {
        writeText(STD_ERROR_HANDLE, L"VellBatch: cannot start adding\n");
        return 1;
    }

    int threads = options.threads ? options.threads : batchDefaultThreads(defaultWorkerCount());
    setWorkerCount(threads);
    if (batch.progressOnConsole)
        SetTimer(batch.window, PROGRESS_TIMER, PROGRESS_INTERVAL_MS, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return finishBatch();
}

} // namespace

int main()
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) {
        writeText(STD_ERROR_HANDLE, L"VellBatch: cannot read the command line\n");
        return 2;
    }
    BatchOptions options;
    std::wstring error;
    BatchParse parse = parseBatchArguments(argc, argv, &options, &error);
    LocalFree(argv);
    if (parse == BATCH_HELP) {
        writeText(STD_OUTPUT_HANDLE, BATCH_USAGE);
        return 0;
    }
    if (parse == BATCH_VERSION) {
        writeText(STD_OUTPUT_HANDLE, std::wstring(L"VellBatch ") + VELL_VERSION + L"\n");
        return 0;
    }
    if (parse == BATCH_CHECK_TOOLS)
        return chooseToolsFolder(options) ? checkTools() : 2;
    if (parse == BATCH_USAGE_ERROR) {
        writeText(STD_ERROR_HANDLE, L"VellBatch: " + error + L"\nTry \"VellBatch --help\".\n");
        return 2;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int exitCode = runBatch(options);
    CoUninitialize();
    return exitCode;
}
