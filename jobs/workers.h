#pragma once
// The worker pool: up to 64 threads taking jobs from the job list.
#include <windows.h>
#include "jobs/job.h"

// Makes the first n slots active (0 = paused; more than 64 counts as 64).
void setWorkerCount(int n);
DWORD WINAPI workerThread(LPVOID slot);
// Stamps the job's file with the "already optimized" mark and records its size.
bool markOptimized(Job* job);
// Final state, log closed, WM_JOB_STATE posted.
void finishJob(Job* job, bool success);
// The least marked time not below t.
uint64_t markedTime(uint64_t t);
// Number of active processors over all groups minus one, between 0 and 64.
int defaultWorkerCount();
