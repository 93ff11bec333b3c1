#include "support/test_job.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include <wchar.h>

// Allocated as analyzeFile allocates, so that the program's own teardown may free it.
Job* createTestJob(const TestJob& record)
{
    Job* job = static_cast<Job*>(allocate(1, sizeof(Job), nullptr));
    if (!job)
        return nullptr;
    job->sink.context = job;
    job->sink.callback = jobReport;
    job->kind = record.kind;
    job->action = record.action;
    memcpy(job->options, record.options, sizeof(job->options));
    job->parent = record.parent;
    job->window = record.window;
    job->state = JOB_PENDING;
    job->ready.exchange(record.pending ? 1 : 0);
    InitializeSRWLock(&job->toolLock);
    job->size = record.size;
    if (!record.path.empty()) {
        job->path = duplicateString(record.path.c_str(), nullptr);
        HANDLE file = CreateFileW(record.path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size = {};
            if (!record.size && GetFileSizeEx(file, &size))
                job->size = static_cast<uint64_t>(size.QuadPart);
            FILETIME created, written;
            if (GetFileTime(file, &created, nullptr, &written)) {
                job->creationTime = fileTimeValue(created);
                job->lastWriteTime = fileTimeValue(written);
            }
            CloseHandle(file);
        }
    }
    bool ready = true;
    if (!record.scratchDir.empty())
        wcsncpy(job->scratchDir, record.scratchDir.c_str(), PATH_ROOM - 1);
    else if (record.temporaryPath)
        ready = createScratchDir(job->scratchDir, record.temporaryPath);
    if (ready && record.openLog)
        ready = createLogFile(job);
    size_t index = 0;
    if (ready && record.append)
        ready = appendJob(&jobList, job, &index);
    if (!ready) {
        if (job->scratchDir[0] && record.scratchDir.empty())
            deleteTree(job->scratchDir);
        destroyTestJob(job);
        return nullptr;
    }
    if (record.append)
        WakeConditionVariable(&jobList.work);
    return job;
}

Job* createTestJob(const std::wstring& scratchDir, HWND window)
{
    TestJob record;
    record.scratchDir = scratchDir;
    record.window = window;
    record.pending = false;
    record.openLog = true;
    return createTestJob(record);
}

void destroyTestJob(Job* job)
{
    if (!job)
        return;
    closeLogFile(job);
    release(job->logData);
    release(job->path);
    release(job);
}

void discardAllJobs()
{
    EnterCriticalSection(&jobList.lock);
    removeScratchFolders(&jobList);
    LeaveCriticalSection(&jobList.lock);
    releaseJobs(&jobList);
}
