#include "jobs/workers.h"
#include "jobs/containers.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "optimizers/archive.h"
#include "optimizers/gif.h"
#include "optimizers/jpeg.h"
#include "optimizers/media.h"
#include "optimizers/png.h"
#include "runner/job_log.h"
#include "settings/settings.h"

const uint64_t MARK_STEP = 1000000;
const uint64_t MARK_OFFSET = 1337;
const char LAUNCHING_TEXT[] = "launching \xE2\x80\xA6\n";

static int activeWorkerCount = 0;

static bool lowPriority()
{
    return settings.general_backgroundPriority != 0;
}

uint64_t markedTime(uint64_t t)
{
    // Times this close to the end of the range never occur; keep them from wrapping.
    if (t > UINT64_MAX - MARK_STEP)
        return t;
    return (t + (MARK_STEP - MARK_OFFSET - 1)) / MARK_STEP * MARK_STEP + MARK_OFFSET;
}

int defaultWorkerCount()
{
    int count = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS)) - 1;
    if (count < 0)
        return 0;
    return count > MAX_WORKERS ? MAX_WORKERS : count;
}

void setWorkerCount(int n)
{
    if (n < 0)
        n = 0;
    if (n > MAX_WORKERS)
        n = MAX_WORKERS;
    EnterCriticalSection(&jobList.lock);
    for (int i = 0; i < MAX_WORKERS; ++i) {
        WorkerSlot* slot = &workerSlots[i];
        acquireSpinLock(&slot->slotLock);
        if (i < n) {
            if (!slot->thread) {
                jobList.busy.fetch_add(1);
                // The new worker waits for the list lock, so it sees the stop flag cleared below.
                slot->thread = CreateThread(nullptr, 0, workerThread, slot, 0, nullptr);
                if (!slot->thread)
                    jobList.busy.fetch_sub(1);
            }
            slot->stop.exchange(0);
        } else {
            slot->stop.exchange(1);
        }
        releaseSpinLock(&slot->slotLock);
    }
    activeWorkerCount = n;
    LeaveCriticalSection(&jobList.lock);
    WakeAllConditionVariable(&jobList.work);
}

void stopAllWorkers()
{
    // Under the list lock: a worker either looks at its flag after this or is
    // already asleep when the wake comes. A worker still choosing would
    // otherwise miss both and sleep for ever.
    EnterCriticalSection(&jobList.lock);
    for (WorkerSlot& slot : workerSlots)
        slot.stop.exchange(1);
    WakeAllConditionVariable(&jobList.work);
    LeaveCriticalSection(&jobList.lock);
    HANDLE threads[MAX_WORKERS];
    DWORD count = 0;
    for (WorkerSlot& slot : workerSlots) {
        acquireSpinLock(&slot.slotLock);
        if (slot.thread) {
            if (slot.current) {
                slot.current->canceled.exchange(1);
                terminateJobTool(slot.current);
            }
            if (DuplicateHandle(GetCurrentProcess(), slot.thread, GetCurrentProcess(), &threads[count],
                                SYNCHRONIZE, FALSE, 0))
                ++count;
        }
        releaseSpinLock(&slot.slotLock);
    }
    if (count)
        WaitForMultipleObjects(count, threads, TRUE, INFINITE);
    for (DWORD i = 0; i < count; ++i)
        CloseHandle(threads[i]);
}

// The attribute was only lifted so the job could replace or delete the file; the
// user's choice stays. A file that became a folder (extraction) or is gone (delete)
// has nothing to put back.
void restoreReadOnly(Job* job)
{
    if (!job->readOnlyLifted.exchange(0))
        return;
    DWORD attributes = GetFileAttributesW(job->path);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        SetFileAttributesW(job->path, attributes | FILE_ATTRIBUTE_READONLY);
}

bool markOptimized(Job* job)
{
    HANDLE file = CreateFileW(job->path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        // The result is in place but cannot be marked (the user opened it without
        // sharing, say): it is optimized again next time. Its size still shows
        // what was saved; an unknown size claims no saving at all.
        WIN32_FILE_ATTRIBUTE_DATA data;
        job->optimizedSize = GetFileAttributesExW(job->path, GetFileExInfoStandard, &data)
                                 ? (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                                 : job->size;
        return false;
    }
    FILETIME created = fileTimeOf(job->creationTime);
    FILETIME marked = fileTimeOf(markedTime(job->lastWriteTime));
    // A zero creation time (unknown at analysis) tells the system to leave it alone.
    SetFileTime(file, &created, &marked, &marked);
    LARGE_INTEGER size = {};
    if (GetFileSizeEx(file, &size))
        job->optimizedSize = static_cast<uint64_t>(size.QuadPart);
    CloseHandle(file);
    return true;
}

void finishJob(Job* job, bool success)
{
    restoreReadOnly(job);
    setFinalState(job, static_cast<uint8_t>(JOB_FAILED + (success ? 1 : 0)), &jobList);
    closeLogFile(job);
    // Posting to a null window would land in this worker's own queue, which nobody reads.
    if (job->window)
        PostMessageW(job->window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
}

// The first pending job a worker may take, from *start on (content only, if
// asked). The entries passed over can never qualify again: a job never returns
// to pending, and ready is set again only for containers that start waiting;
// so the next search starts where this one stopped.
static Job* firstPendingJob(JobList* list, size_t* start, bool contentOnly)
{
    size_t i = *start < list->length ? *start : list->length;
    for (; i < list->length; ++i) {
        Job* job = list->entries[i];
        if (job->ready.load() && job->state == JOB_PENDING && (job->parent || !contentOnly))
            break;
    }
    *start = i;
    return i < list->length ? list->entries[i] : nullptr;
}

// Chooses under the list lock: content first, then finished containers, then the rest.
static Job* chooseJob(JobList* list)
{
    Job* job = firstPendingJob(list, &list->firstPendingContent, true);
    if (!job)
        job = firstFinishedContainer(list);
    if (!job)
        job = firstPendingJob(list, &list->firstPending, false);
    return job;
}

bool anyJobChoosable(JobList* list)
{
    return chooseJob(list) != nullptr;
}

static bool runFormatPipeline(Job* job)
{
    const wchar_t* path = job->path;
    const wchar_t* work = job->scratchDir;
    const uint8_t* option = job->options;
    const ErrorSink* sink = &job->sink;
    if (job->action != ACTION_MINIFY_XML)
        appendTextToLog(job, LAUNCHING_TEXT);
    switch (job->action) {
    case ACTION_OPTIMIZE_PNG:
        if (option[1] == 2)
            return optimizePngFor7z(path, work, option[2] != 0, lowPriority(), sink);
        return optimizePng(path, work, option[2] != 0, option[3] != 0, lowPriority(), sink);
    case ACTION_CONVERT_TO_PNG:
        return convertToPng(path, work, option[1] == 2, option[2] != 0, option[3] != 0, lowPriority(), sink);
    case ACTION_OPTIMIZE_JPEG:
        return optimizeJpeg(path, work, option[1] != 0, option[2], option[3], lowPriority(), sink);
    case ACTION_OPTIMIZE_GIF:
        return optimizeGif(path, work, lowPriority(), sink);
    case ACTION_OPTIMIZE_CFBF:
        return optimizeCompoundFile(path, work, lowPriority(), sink);
    case ACTION_OPTIMIZE_MP3:
        return optimizeMp3(path, work, option[2] != 0, lowPriority(), sink);
    case ACTION_OPTIMIZE_FLAC:
        return optimizeFlac(path, work, option[2] != 0, lowPriority(), sink);
    case ACTION_MINIFY_SVG:
    case ACTION_MINIFY_XML:
        return minifyFile(path, work, lowPriority(), sink);
    default:
        reportText(sink, "ERROR: unknown action\n");
        return false;
    }
}

static bool runDeleteJob(Job* job)
{
    bool deleted = DeleteFileW(job->path) != 0;
    appendTextToLog(job, deleted ? "OK\n" : "error\n");
    return deleted;
}

// Runs a job just picked (state JOB_STARTING, or JOB_RUNNING for a container picked again).
static void runJob(Job* job)
{
    if (job->state == JOB_STARTING) {
        // A job that cannot be logged is not run: its failure would leave no trace.
        if (!createLogFile(job)) {
            appendTextToLog(job, "ERROR: cannot create the log file\n");
            finishJob(job, false);
            return;
        }
        DWORD attributes = GetFileAttributesW(job->path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            job->readOnlyLifted.exchange(1);
        clearReadOnly(job->path);
    }
    if (isContainerAction(job->action) || isExtractAction(job->action)) {
        runContainerJob(job, &jobList);
        return;
    }
    job->state = JOB_RUNNING;
    bool success = false;
    if (job->action == ACTION_DELETE) {
        success = runDeleteJob(job);
    } else {
        success = runFormatPipeline(job);
        if (success)
            markOptimized(job);
    }
    finishJob(job, success);
}

DWORD WINAPI workerThread(LPVOID parameter)
{
    WorkerSlot* slot = static_cast<WorkerSlot*>(parameter);
    EnterCriticalSection(&jobList.lock);
    for (;;) {
        if (slot->stop.load()) {
            // Cleared while the list lock is still held: a count raised again right
            // now must see an empty slot and start a new worker there.
            acquireSpinLock(&slot->slotLock);
            CloseHandle(slot->thread);
            slot->thread = nullptr;
            releaseSpinLock(&slot->slotLock);
            // This worker may have just finished the last content of a container,
            // or have been woken for work it now leaves: someone else must look.
            WakeAllConditionVariable(&jobList.work);
            LeaveCriticalSection(&jobList.lock);
            jobList.busy.fetch_sub(1);
            if (slot->window)
                PostMessageW(slot->window, WM_WORKER_IDLE, 0, 0);
            return 0;
        }
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        Job* job = chooseJob(&jobList);
        QueryPerformanceCounter(&after);
        jobList.choosingTicks += static_cast<uint64_t>(after.QuadPart - before.QuadPart);
        ++jobList.choices;
        if (!job) {
            jobList.busy.fetch_sub(1);
            if (slot->window)
                PostMessageW(slot->window, WM_WORKER_IDLE, 0, 0);
            SleepConditionVariableCS(&jobList.work, &jobList.lock, INFINITE);
            jobList.busy.fetch_add(1);
            continue;
        }
        job->state = job->state == JOB_PENDING ? JOB_STARTING : JOB_RUNNING;
        job->ready.exchange(0);
        acquireSpinLock(&slot->slotLock);
        slot->current = job;
        releaseSpinLock(&slot->slotLock);
        LeaveCriticalSection(&jobList.lock);

        runJob(job);

        EnterCriticalSection(&jobList.lock);
    }
}
