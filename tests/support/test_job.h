#pragma once
// The one way tests build a Job record: what analyzeFile makes, and what a
// worker adds before it runs the job, chosen field by field.
//
//   TestJob record;
//   record.path = file;                       // size and file times are read from it
//   record.action = ACTION_OPTIMIZE_PNG;
//   record.temporaryPath = temp.c_str();      // a fresh scratch folder below it
//   record.append = true;                     // into the global job list, the pool woken
//   Job* job = createTestJob(record);
#include <windows.h>
#include <stdint.h>
#include <string>
#include "jobs/content.h"
#include "jobs/job.h"

struct TestJob {
    std::wstring path; // empty: a job without a file
    FileKind kind = KIND_NONE; // names the scratch file; none: "x.png"
    Action action = ACTION_NONE;
    uint8_t options[4] = {};
    Job* parent = nullptr;
    HWND window = nullptr; // null: no notifications are posted
    uint64_t size = 0; // 0: the file's size
    std::wstring scratchDir; // an existing folder to work in, or
    const wchar_t* temporaryPath = nullptr; // one made below this
    bool pending = true; // pending and ready, as the adder leaves it
    bool openLog = false; // the log file a worker creates
    bool append = false; // appended to the global job list, the pool woken
};

// Null when the scratch folder, the log file or the list could not take it.
Job* createTestJob(const TestJob& record);
// A job with a log file in an existing scratch folder, as a worker holds it.
Job* createTestJob(const std::wstring& scratchDir, HWND window = nullptr);
// For a job not in the global list: closes its log and frees it (not its folder).
void destroyTestJob(Job* job);
// Closes, deletes and frees every job of the global job list and empties it.
void discardAllJobs();
