#include "support/test_job.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include <wchar.h>

// Allocated as analyzeFile allocates, so that the program's own teardown may free it.
Job* createTestJob(const TestJob& spec)
{
    Job* job = static_cast<Job*>(allocate(1, sizeof(Job), nullptr));
    if (!job)
        return nullptr;
    job->sink.context = job;
    job->sink.callback = jobReport;
    job->kind = spec.kind;
    job->action = spec.action;
    memcpy(job->options, spec.options, sizeof(job->options));
    job->parent = spec.parent;
    job->window = spec.window;
    job->state = JOB_PENDING;
    job->ready.exchange(spec.pending ? 1 : 0);
    InitializeSRWLock(&job->toolLock);
    job->size = spec.size;
    if (!spec.path.empty()) {
        job->path = duplicateString(spec.path.c_str(), nullptr);
        HANDLE file = CreateFileW(spec.path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  0, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER size = {};
            if (!spec.size && GetFileSizeEx(file, &size))
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
    if (!spec.scratchDir.empty())
        wcsncpy(job->scratchDir, spec.scratchDir.c_str(), PATH_ROOM - 1);
    else if (spec.temporaryPath)
        ready = createScratchDir(job->scratchDir, spec.temporaryPath);
    if (ready && spec.openLog)
        ready = createLogFile(job);
    size_t index = 0;
    if (ready && spec.append)
        ready = appendJob(&jobList, job, &index);
    if (!ready) {
        if (job->scratchDir[0] && spec.scratchDir.empty())
            deleteTree(job->scratchDir);
        destroyTestJob(job);
        return nullptr;
    }
    if (spec.append)
        WakeConditionVariable(&jobList.work);
    return job;
}

Job* createTestJob(const std::wstring& scratchDir, HWND window)
{
    TestJob spec;
    spec.scratchDir = scratchDir;
    spec.window = window;
    spec.pending = false;
    spec.openLog = true;
    return createTestJob(spec);
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
    for (size_t i = 0; i < jobList.length; ++i) {
        Job* job = jobList.entries[i];
        release(job->logData);
        release(job->path);
        release(job);
    }
    LeaveCriticalSection(&jobList.lock);
    clearJobList(&jobList);
}
