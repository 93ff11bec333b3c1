#include "ui/main_window.h"
#include "jobs/containers.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "settings/settings.h"

// Stops the adder and waits for it, so that no job (and no scratch folder)
// appears after the scratch folders have been deleted.
static void stopAdder(AddingRun* run)
{
    stopAdding(run);
    HANDLE thread = nullptr;
    acquireSpinLock(&run->lock);
    // The adder closes its own handle as it ends; a copy stays valid for the wait.
    if (run->thread)
        DuplicateHandle(GetCurrentProcess(), run->thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
    releaseSpinLock(&run->lock);
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

void shutdown(MainWindow* main)
{
    // Stop flags, current jobs canceled with their tools terminated under the
    // slot locks, workers woken, then one wait for all of them.
    stopAllWorkers();
    stopAdder(&main->adding);

    EnterCriticalSection(&jobList.lock);
    for (size_t i = 0; i < jobList.length; ++i)
        settleJobAtShutdown(jobList.entries[i]);
    removeScratchFolders(&jobList);
    clearJobList(&jobList);
    LeaveCriticalSection(&jobList.lock);

    saveSettings(&settings);
    main->window = nullptr;
    PostQuitMessage(0);
}

void endSession(MainWindow* main)
{
    // Detached first, so that nothing reaches the torn-down window and its
    // destruction, if it ever comes, runs no second teardown.
    SetWindowLongPtrW(main->window, DWLP_USER, 0);
    shutdown(main);
}
