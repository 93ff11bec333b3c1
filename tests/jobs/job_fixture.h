#pragma once
// Shared by the worker and adding tests: the program's one job list and worker
// table, a message-only window for the notifications, and test jobs.
#include <windows.h>
#include <functional>
#include <string>
#include <vector>
#include "jobs/content.h"
#include "jobs/job.h"
#include "support/tool_double_setup.h"

extern const std::string tinyPng;

// The global list initialised once; workers stopped and jobs freed between tests.
void prepareGlobalJobList();
// Pauses the pool and waits until every worker thread has ended; false if they did not.
bool stopTestWorkers();
// Closes logs, deletes scratch folders, frees every job and empties the list.

HWND createNotificationWindow();
// Polls until the condition holds, pumping this thread's messages; false after limitMs.
bool waitUntil(const std::function<bool()>& condition, DWORD limitMs = 120000);
// Removes every posted notification from the queue, oldest first.
std::vector<MSG> takeNotifications(HWND window);

// A job as analyzeFile makes it (own sink, fresh scratch folder under temporaryPath),
// appended to the global list; the pool is woken.
Job* addTestJob(const std::wstring& path, Action action, const wchar_t* temporaryPath,
                Job* parent = nullptr, HWND window = nullptr);
bool jobFinished(const Job* job);
std::vector<Job*> globalJobs();
// The thread id of a slot's worker, 0 when none runs.
DWORD slotThreadId(int slot);
bool toolRunning(Job* job);
