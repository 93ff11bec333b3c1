#pragma once
// The worker pool: up to 64 threads taking jobs from the job list.
#include <windows.h>
#include "jobs/job.h"

// Makes the first n slots active (0 = paused; more than 64 counts as 64).
void setWorkerCount(int n);
// A worker clears and closes its slot's handle under the slot lock as it
// ends; whoever wants to wait for it duplicates the handle under that lock.
DWORD WINAPI workerThread(LPVOID slot);
// Shutdown's first four steps: every slot stopped, the slots' current jobs
// canceled with their tools terminated, the workers woken and waited for.
void stopAllWorkers();
// Whether a worker would find a job to take now; called under the list lock.
bool anyJobChoosable(JobList* list);
// Stamps the job's file with the "already optimized" mark and records its size.
bool markOptimized(Job* job);
// Read-only attribute put back, final state, log closed, WM_JOB_STATE posted.
void finishJob(Job* job, bool success);
// Puts back the read-only attribute the job lifted at its start, once.
void restoreReadOnly(Job* job);
// The least marked time not below t.
uint64_t markedTime(uint64_t t);
// Number of active processors over all groups minus one, between 0 and 64.
int defaultWorkerCount();
