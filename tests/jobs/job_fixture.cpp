#include "job_fixture.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include <wchar.h>

const std::string tinyPng("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1F\x15\xC4\x89", 33);

void prepareGlobalJobList()
{
    static bool initialised = false;
    if (!initialised) {
        initJobList(&jobList);
        initialised = true;
    }
}

bool stopTestWorkers()
{
    setWorkerCount(0);
    return waitUntil([] {
        for (int i = 0; i < MAX_WORKERS; ++i) {
            if (slotThreadId(i) != 0)
                return false;
        }
        return jobList.busy.load() == 0;
    });
}

HWND createNotificationWindow()
{
    return CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
}

bool waitUntil(const std::function<bool()>& condition, DWORD limitMs)
{
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start > limitMs)
            return false;
        Sleep(2);
    }
    return true;
}

std::vector<MSG> takeNotifications(HWND window)
{
    std::vector<MSG> taken;
    MSG message;
    while (PeekMessageW(&message, window, WM_APP, WM_APP + 100, PM_REMOVE))
        taken.push_back(message);
    return taken;
}

Job* addTestJob(const std::wstring& path, Action action, const wchar_t* temporaryPath, Job* parent,
                HWND window)
{
    TestJob record;
    record.path = path;
    record.action = action;
    record.temporaryPath = temporaryPath;
    record.parent = parent;
    record.window = window;
    record.append = true;
    return createTestJob(record);
}

bool jobFinished(const Job* job)
{
    EnterCriticalSection(&jobList.lock);
    bool finished = job->state == JOB_DONE || job->state == JOB_FAILED;
    LeaveCriticalSection(&jobList.lock);
    return finished;
}

std::vector<Job*> globalJobs()
{
    EnterCriticalSection(&jobList.lock);
    std::vector<Job*> jobs(jobList.entries, jobList.entries + jobList.length);
    LeaveCriticalSection(&jobList.lock);
    return jobs;
}

DWORD slotThreadId(int slot)
{
    WorkerSlot* worker = &workerSlots[slot];
    acquireSpinLock(&worker->slotLock);
    DWORD id = worker->thread ? GetThreadId(worker->thread) : 0;
    releaseSpinLock(&worker->slotLock);
    return id;
}

bool toolRunning(Job* job)
{
    AcquireSRWLockShared(&job->toolLock);
    bool running = job->toolProcess != nullptr;
    ReleaseSRWLockShared(&job->toolLock);
    return running;
}
