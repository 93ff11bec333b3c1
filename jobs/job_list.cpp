#include "jobs/job.h"
#include "base/file_util.h"

JobList jobList;
WorkerSlot workerSlots[MAX_WORKERS];

void initJobList(JobList* list)
{
    InitializeCriticalSection(&list->lock);
    InitializeConditionVariable(&list->work);
    list->entries = nullptr;
    list->length = 0;
    list->capacity = 0;
    list->busy.store(0);
    list->choosingTicks = 0;
    list->choices = 0;
    list->firstPending = 0;
    list->firstPendingContent = 0;
    list->waiting = nullptr;
}

void clearJobList(JobList* list)
{
    EnterCriticalSection(&list->lock);
    release(list->entries);
    list->entries = nullptr;
    list->length = 0;
    list->capacity = 0;
    list->firstPending = 0;
    list->firstPendingContent = 0;
    list->waiting = nullptr;
    LeaveCriticalSection(&list->lock);
}

void releaseJobs(JobList* list)
{
    EnterCriticalSection(&list->lock);
    for (size_t i = 0; i < list->length; ++i) {
        Job* job = list->entries[i];
        release(job->logData);
        release(job->path);
        release(job);
    }
    LeaveCriticalSection(&list->lock);
    clearJobList(list);
}

bool appendJob(JobList* list, Job* job, size_t* index)
{
    bool appended = false;
    EnterCriticalSection(&list->lock);
    if (list->length == list->capacity) {
        // Twice the length plus one; pointers only, jobs never move.
        size_t capacity = list->capacity * 2 + 1;
        Job** grown = capacity > list->capacity
                          ? static_cast<Job**>(reallocate(list->entries, capacity, sizeof(Job*), nullptr))
                          : nullptr;
        if (grown) {
            list->entries = grown;
            list->capacity = capacity;
        }
    }
    if (list->length < list->capacity) {
        *index = list->length;
        job->index = list->length;
        list->entries[list->length++] = job;
        appended = true;
    }
    LeaveCriticalSection(&list->lock);
    return appended;
}

void resetWorkerSlots(HWND window)
{
    for (WorkerSlot& slot : workerSlots) {
        slot.thread = nullptr;
        slot.stop.store(0);
        slot.current = nullptr;
        slot.window = window;
        slot.slotLock.store(0);
    }
}
