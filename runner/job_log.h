#pragma once
// The job's log: "log.txt" in its scratch folder plus an in-memory copy with
// normalised line ends, from which the status line is taken.
#include <stdint.h>
#include "jobs/job.h"

// The callback of every job's own ErrorSink (context = the job).
bool jobReport(void* context, uint32_t code, uintptr_t value);
void appendToLog(Job* job, const char* bytes, uint64_t count);
void appendTextToLog(Job* job, const char* text);
// A new heap string: the scratch folder followed by "\log.txt". Free with release().
wchar_t* logFilePath(const Job* job);
// Creates or truncates the job's log file; false when it cannot be created.
bool createLogFile(Job* job);
void closeLogFile(Job* job);
// A heap UTF-16 copy of the status line, taken under the log lock (null on failure).
wchar_t* copyStatusLine(Job* job);
// True when a line of the in-memory log begins with start.
bool logHasLine(Job* job, const char* start);
// Terminates the job's running tool, if any, and waits until it has ended.
void terminateJobTool(Job* job);
