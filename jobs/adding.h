#pragma once
// The adding run: paths queued by the window, analysed on one adder thread.
#include <windows.h>
#include "jobs/job.h"
#include "jobs/content.h"
#include "settings/settings.h"

struct AddingRun {
    HANDLE thread;        // null while no adder runs; the adder clears it as it ends
    SpinLock lock;        // guards thread, the queue and currentPath
    wchar_t** queue;      // owned paths, taken from the front
    size_t queueBytes;    // used bytes
    size_t queueCapacity; // capacity in bytes
    wchar_t currentPath[PATH_ROOM];
    wchar_t temporaryPath[TEMP_PATH_ROOM];
    std::atomic<uint8_t> stop; // set (through stopAdding) to make the adder drop its queue and end soon
    // The probe tool the adder waits for, so that a stop can end it.
    HANDLE probeProcess;
    SRWLOCK probeLock;
    // Where the run's notifications go and what it reads; set by the owner.
    HWND window;
    JobList* jobs;
    const Settings* settings;
};

// Publishes the path being analysed (shortened past 260 units) and posts WM_ADDER_PROGRESS.
void reportProgress(AddingRun* run, const wchar_t* path);

// Turns one file into one job, or into nothing. path is a heap string whose
// ownership passes to the call.
void analyzeFile(AddingRun* adder, wchar_t* path, const wchar_t* temporaryPath,
                 uint64_t lastWriteTime, const Settings* settings, JobList* list, Job* parent,
                 ContentContext context, HWND window);

// Queues a heap copy of path and starts the adder thread when none runs.
// The caller holds nothing; false when the path could not be queued.
bool queuePath(AddingRun* run, const wchar_t* path);
// Like queuePath for many paths under one lock (a drop).
void queuePaths(AddingRun* run, const wchar_t* const* paths, size_t count);
DWORD WINAPI adderThread(LPVOID run);
// Raises the run's stop flag and ends the probe tool the adder may be waiting for;
// the adder then ends soon. Does not wait for it.
void stopAdding(AddingRun* run);
// Walks folderPath + the entry's name; entry may be zeroed for a walk that starts at a folder.
void addFolder(AddingRun* adder, const wchar_t* folderPath, const wchar_t* temporaryPath, JobList* list,
               const WIN32_FIND_DATAW* entry, HWND window, const Settings* settings,
               const std::atomic<uint8_t>* stop, Job* parent, ContentContext context);
