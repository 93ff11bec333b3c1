#include "runner/tool_watch.h"
#include "base/error_sink.h"
#include "runner/tool_runner.h"

bool watchReport(void* context, uint32_t code, uintptr_t value)
{
    ToolWatch* watch = static_cast<ToolWatch*>(context);
    if (code == SINK_TOOL_STARTED) {
        AcquireSRWLockExclusive(watch->lock);
        *watch->process = reinterpret_cast<HANDLE>(value);
        // A stop that came before the handle was recorded found nothing to end.
        if (watch->stop->load()) {
            TerminateProcess(*watch->process, ToolKilledExitCode);
            WaitForSingleObject(*watch->process, INFINITE);
        }
        ReleaseSRWLockExclusive(watch->lock);
    } else if (code == SINK_TOOL_EXITED) {
        AcquireSRWLockExclusive(watch->lock);
        *watch->process = nullptr;
        ReleaseSRWLockExclusive(watch->lock);
    }
    return watch->stop->load() == 0;
}

void terminateWatchedTool(SRWLOCK* lock, HANDLE* process)
{
    AcquireSRWLockExclusive(lock);
    if (*process) {
        TerminateProcess(*process, ToolKilledExitCode);
        WaitForSingleObject(*process, INFINITE);
        *process = nullptr;
    }
    ReleaseSRWLockExclusive(lock);
}
