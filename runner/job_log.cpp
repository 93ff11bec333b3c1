#include "runner/job_log.h"
#include "base/file_util.h"
#include "runner/tool_runner.h"
#include "runner/tool_watch.h"
#include <stdio.h>
#include <string.h>
#include <wchar.h>

const uint64_t COMPACT_THRESHOLD = 0x3000;

static bool growLog(Job* job, uint64_t count)
{
    uint64_t needed = job->logLength + count;
    if (needed <= job->logCapacity)
        return true;
    uint64_t capacity = job->logLength * 2 > needed ? job->logLength * 2 : needed;
    if (capacity > SIZE_MAX)
        return false;
    char* grown = static_cast<char*>(reallocate(job->logData, static_cast<size_t>(capacity), 1, nullptr));
    if (!grown)
        return false;
    job->logData = grown;
    job->logCapacity = capacity;
    return true;
}

// Called at each stored line feed; true when the status line changed.
static bool endLine(Job* job)
{
    job->previousLineStart = job->currentLineStart;
    job->currentLineStart = job->logLength;
    uint64_t lineLength = job->currentLineStart - job->previousLineStart - 1;
    if (lineLength == 0)
        return false;
    const char* line = job->logData + job->previousLineStart;
    if (lineLength == job->statusLineLength &&
        memcmp(line, job->logData + job->statusLineStart, static_cast<size_t>(lineLength)) == 0)
        return false;
    job->statusLineStart = job->previousLineStart;
    job->statusLineLength = lineLength;
    return true;
}

void appendToLog(Job* job, const char* bytes, uint64_t count)
{
    if (count != 0 && job->logFile) {
        DWORD written = 0;
        if (!WriteFile(job->logFile, bytes, static_cast<DWORD>(count), &written, nullptr))
            report(&job->sink, SINK_SYSTEM_ERROR, GetLastError());
    }
    acquireSpinLock(&job->logLock);
    if (!growLog(job, count)) {
        releaseSpinLock(&job->logLock);
        return;
    }
    bool changed = false;
    for (uint64_t i = 0; i < count; ++i) {
        char c = bytes[i];
        if (c == '\r' && i + 1 < count && bytes[i + 1] == '\n')
            ++i;
        if (c == '\r' || c == '\b' || c == '\n') {
            job->logData[job->logLength++] = '\n';
            changed = endLine(job) || changed;
        } else {
            job->logData[job->logLength++] = c;
        }
    }
    // Keep memory small: everything before the status line can go.
    if (job->statusLineStart > COMPACT_THRESHOLD) {
        uint64_t cut = job->statusLineStart;
        memmove(job->logData, job->logData + cut, static_cast<size_t>(job->logLength - cut));
        job->logLength -= cut;
        job->previousLineStart -= cut;
        job->currentLineStart -= cut;
        job->statusLineStart = 0;
    }
    releaseSpinLock(&job->logLock);
    // A null window would make PostMessage queue the notice on this worker
    // thread, whose queue nobody reads.
    if (changed && job->window)
        PostMessageW(job->window, WM_JOB_LOG, 0, reinterpret_cast<LPARAM>(job));
}

void appendTextToLog(Job* job, const char* text)
{
    appendToLog(job, text, strlen(text));
}

static void appendWideText(Job* job, const wchar_t* text)
{
    size_t units = wcslen(text);
    if (units > (SIZE_MAX - 1) / 4 || units * 4 + 1 > INT32_MAX)
        return;
    char* utf8 = static_cast<char*>(allocate(units * 4 + 1, 1, nullptr));
    if (!utf8)
        return;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), utf8,
                                    static_cast<int>(units * 4 + 1), nullptr, nullptr);
    if (bytes > 0)
        appendToLog(job, utf8, static_cast<uint64_t>(bytes));
    release(utf8);
}

static void recordToolStarted(Job* job, HANDLE process)
{
    AcquireSRWLockExclusive(&job->toolLock);
    job->toolProcess = process;
    // A cancel that came before the handle was recorded found nothing to end.
    if (job->canceled.load()) {
        TerminateProcess(process, ToolKilledExitCode);
        WaitForSingleObject(process, INFINITE);
    }
    ReleaseSRWLockExclusive(&job->toolLock);
}

static void recordToolExited(Job* job, uint32_t exitCode)
{
    AcquireSRWLockExclusive(&job->toolLock);
    job->toolProcess = nullptr;
    ReleaseSRWLockExclusive(&job->toolLock);
    if (job->canceled.load()) {
        appendTextToLog(job, "\ncanceled\n");
    } else {
        char line[32];
        snprintf(line, sizeof(line), "\nexit code %08X\n", exitCode);
        appendTextToLog(job, line);
    }
}

bool jobReport(void* context, uint32_t code, uintptr_t value)
{
    Job* job = static_cast<Job*>(context);
    switch (code) {
    case SINK_TEXT:
    case SINK_TEXT_CHECKPOINT:
        appendTextToLog(job, reinterpret_cast<const char*>(value));
        break;
    case SINK_WIDE_TEXT:
        appendWideText(job, reinterpret_cast<const wchar_t*>(value));
        break;
    case SINK_TOOL_STARTED:
        recordToolStarted(job, reinterpret_cast<HANDLE>(value));
        break;
    case SINK_TOOL_EXITED:
        recordToolExited(job, static_cast<uint32_t>(value));
        break;
    default:
        break;
    }
    return job->canceled.load() == 0;
}

void terminateJobTool(Job* job)
{
    terminateWatchedTool(&job->toolLock, &job->toolProcess);
}

wchar_t* logFilePath(const Job* job)
{
    size_t length = wcslen(job->scratchDir) + 9;
    wchar_t* path = static_cast<wchar_t*>(allocate(length, sizeof(wchar_t), nullptr));
    if (path)
        swprintf(path, length, L"%ls\\log.txt", job->scratchDir);
    return path;
}

bool createLogFile(Job* job)
{
    if (job->scratchDir[0] == 0)
        return false;
    wchar_t* path = logFilePath(job);
    if (!path)
        return false;
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    release(path);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    job->logFile = file;
    return true;
}

void closeLogFile(Job* job)
{
    if (job->logFile) {
        CloseHandle(job->logFile);
        job->logFile = nullptr;
    }
}

wchar_t* copyStatusLine(Job* job)
{
    acquireSpinLock(&job->logLock);
    uint64_t length = job->statusLineLength;
    wchar_t* text = nullptr;
    if (length < INT32_MAX / 4) {
        text = static_cast<wchar_t*>(allocate(static_cast<size_t>(length) * 4 + 1, sizeof(wchar_t), nullptr));
        if (text) {
            int units = length ? MultiByteToWideChar(CP_UTF8, 0, job->logData + job->statusLineStart,
                                                     static_cast<int>(length), text,
                                                     static_cast<int>(length * 4)) : 0;
            text[units > 0 ? units : 0] = 0;
        }
    }
    releaseSpinLock(&job->logLock);
    return text;
}

// Lines before the status line may have been dropped from memory once the log
// grew large; lines written near the end of a job are always there.
bool logHasLine(Job* job, const char* start)
{
    size_t length = strlen(start);
    acquireSpinLock(&job->logLock);
    bool found = false;
    for (uint64_t at = 0; !found && at + length <= job->logLength;) {
        found = memcmp(job->logData + at, start, length) == 0;
        const void* end = memchr(job->logData + at, '\n', static_cast<size_t>(job->logLength - at));
        if (!end)
            break;
        at = static_cast<uint64_t>(static_cast<const char*>(end) - job->logData) + 1;
    }
    releaseSpinLock(&job->logLock);
    return found;
}
