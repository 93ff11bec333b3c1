#pragma once
// The job record, the job list and the worker-slot table.
#include <windows.h>
#include <atomic>
#include <stdint.h>
#include "base/error_sink.h"
#include "base/file_util.h"
#include "base/spin_lock.h"

enum JobState : uint8_t {
    JOB_PENDING = 0,
    JOB_STARTING = 1,
    JOB_RUNNING = 2,
    JOB_WAITING = 3,
    JOB_FAILED = 4,
    JOB_DONE = 5,
};

// Notifications posted (never sent) to the main window.
enum : UINT {
    WM_ADDER_DONE = WM_APP + 1,
    WM_ADDER_PROGRESS = WM_APP + 2,
    WM_JOB_ADDED = WM_APP + 3,    // wParam = index of the new job
    WM_JOB_LOG = WM_APP + 4,      // lParam = the job
    WM_JOB_STATE = WM_APP + 5,    // lParam = the job
    WM_WORKER_IDLE = WM_APP + 6,
};

const int MAX_WORKERS = 64;

struct Job {
    ErrorSink sink;
    wchar_t* path;
    uint8_t state;  // JobState
    uint8_t kind;   // FileKind
    uint8_t action; // Action
    std::atomic<uint8_t> ready;
    std::atomic<uint8_t> canceled;
    Job* parent;
    size_t index; // in the job list, set when appended
    // Kept under the list lock for choosing: every content (at any depth) of
    // this job below entry contentScan has finished; waiting containers are
    // chained in list order through nextWaiting.
    mutable size_t contentScan;
    Job* nextWaiting;
    uint8_t listedWaiting;
    // The working copy in it is scratchDir, a backslash and the kind's scratch
    // file name (jobScratchFile); not stored, it would double the record.
    wchar_t scratchDir[PATH_ROOM];
    HANDLE logFile;

    // In-memory log and status line (see runner/job_log.h).
    char* logData;
    uint64_t logLength;
    uint64_t logCapacity;
    uint64_t previousLineStart;
    uint64_t currentLineStart;
    uint64_t statusLineStart;
    uint64_t statusLineLength;
    SpinLock logLock;

    uint64_t size;
    uint64_t creationTime;
    uint64_t lastWriteTime;
    uint64_t optimizedSize;
    uint8_t options[4];
    HWND window;

    // Set while the file's read-only attribute is lifted for the job; whoever
    // clears it puts the attribute back.
    std::atomic<uint8_t> readOnlyLifted;
    // Extraction: set once the content has been added and the new folder's
    // last-write time (folderTime) still waits for that content to finish.
    std::atomic<uint8_t> folderStampPending;
    uint64_t folderTime;

    // The tool now running for this job. toolLock is held while the record
    // changes and while a canceller terminates the process, so the handle is
    // never used after the tool runner has closed it.
    HANDLE toolProcess;
    SRWLOCK toolLock;
};

struct JobList {
    Job** entries;
    size_t length;
    size_t capacity;
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE work;
    std::atomic<int32_t> busy;
    // Where choosing resumes: no entry below firstPending is a pending job a
    // worker may take, none below firstPendingContent pending content; and the
    // containers that wait for their content, first in list order.
    size_t firstPending;
    size_t firstPendingContent;
    Job* waiting;
    // Performance-counter ticks the workers spent choosing, and how many
    // choices; written under the lock, read by the benchmark.
    uint64_t choosingTicks;
    uint64_t choices;
};

struct WorkerSlot {
    HANDLE thread;
    std::atomic<uint8_t> stop;
    Job* current;
    HWND window;
    SpinLock slotLock;
};

// The one job list and worker table of the program.
extern JobList jobList;
extern WorkerSlot workerSlots[MAX_WORKERS];

void initJobList(JobList* list);
// Releases the array (not the jobs) and leaves the list empty.
void clearJobList(JobList* list);
// Frees every job of a list no thread uses any more (log buffer and path too) and
// empties the list; the logs must be closed and the scratch folders removed before.
void releaseJobs(JobList* list);
// Appends under the list lock; false when the array cannot grow.
bool appendJob(JobList* list, Job* job, size_t* index);
void resetWorkerSlots(HWND window);
