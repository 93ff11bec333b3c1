#pragma once
// A tool run on behalf of a thread that another thread may have to stop (the
// sniffing probes): the running tool is recorded so that a stop can end it.
#include <windows.h>
#include <atomic>
#include <stdint.h>

struct ToolWatch {
    SRWLOCK* lock;                     // held while the record changes and while a stopper ends the tool
    HANDLE* process;                   // the running tool, null when none
    const std::atomic<uint8_t>* stop;  // raised by whoever wants the tool ended
};

// The callback of a probe's ErrorSink (context = a ToolWatch): records the tool
// while it runs, discards all text, answers stop once the stop flag is raised.
bool watchReport(void* context, uint32_t code, uintptr_t value);
// Ends the recorded tool, if any, and waits until it has ended.
void terminateWatchedTool(SRWLOCK* lock, HANDLE* process);
