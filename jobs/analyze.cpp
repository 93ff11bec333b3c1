#include "jobs/adding.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include "runner/tool_watch.h"
#include <wchar.h>

const uint64_t MARK_MODULUS = 1000000;
const uint64_t MARK_REMAINDER = 1337;
const uint32_t HEAD_ROOM = 512;

void reportProgress(AddingRun* run, const wchar_t* path)
{
    path = withoutLongPrefix(path);
    acquireSpinLock(&run->lock);
    size_t length = wcslen(path);
    if (length <= PATH_ROOM - 1) {
        wmemcpy(run->currentPath, path, length + 1);
    } else {
        wmemcpy(run->currentPath, path, PATH_ROOM - 3);
        run->currentPath[PATH_ROOM - 3] = L'\u2026';
        run->currentPath[PATH_ROOM - 2] = 0;
    }
    releaseSpinLock(&run->lock);
    PostMessageW(run->window, WM_ADDER_PROGRESS, 0, 0);
}

static Job* createJob(wchar_t* path, FileKind kind, Action action, const uint8_t options[4],
                      Job* parent, HWND window)
{
    Job* job = static_cast<Job*>(allocate(1, sizeof(Job), nullptr));
    if (!job)
        return nullptr;
    job->sink.context = job;
    job->sink.callback = jobReport;
    job->path = path;
    job->state = JOB_PENDING;
    job->kind = kind;
    job->action = action;
    job->ready.exchange(1);
    job->canceled.exchange(0);
    job->parent = parent;
    for (int i = 0; i < 4; ++i)
        job->options[i] = options[i];
    job->window = window;
    InitializeSRWLock(&job->toolLock);
    return job;
}

void analyzeFile(AddingRun* adder, wchar_t* path, const wchar_t* temporaryPath,
                 uint64_t lastWriteTime, const Settings* settings, JobList* list, Job* parent,
                 ContentContext context, HWND window)
{
    if (!settings->general_forceIfAlreadyOptimized &&
        lastWriteTime % MARK_MODULUS == MARK_REMAINDER) {
        release(path);
        return;
    }
    if (adder)
        reportProgress(adder, path);

    HANDLE file = openForReading(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, &defaultSink);
    if (!file) {
        release(path);
        return;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(file, &size);
    uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);
    uint8_t head[HEAD_ROOM];
    uint32_t wanted = fileSize < HEAD_ROOM ? static_cast<uint32_t>(fileSize) : HEAD_ROOM;
    uint32_t got = static_cast<uint32_t>(readFully(file, head, wanted, &defaultSink));
    uint8_t options[4] = {};
    FileKind kind = KIND_NONE;
    Action action = ACTION_NONE;
    if (got == wanted) {
        // A probe's tool is recorded where a stop finds it: with the adder, or as
        // the tool of the container whose content this is.
        ToolWatch watch = {};
        ErrorSink probeSink = defaultSink;
        if (adder)
            watch = {&adder->probeLock, &adder->probeProcess, &adder->stop};
        else if (parent)
            watch = {&parent->toolLock, &parent->toolProcess, &parent->canceled};
        if (watch.lock)
            probeSink = {&watch, watchReport};
        kind = sniffContent(path, temporaryPath, head, fileSize, got,
                            settings->general_backgroundPriority != 0, &probeSink);
        if (kind != KIND_NONE)
            action = chooseAction(path, kind, settings, context, options);
    }
    Job* job = action != ACTION_NONE ? createJob(path, kind, action, options, parent, window) : nullptr;
    if (!job) {
        CloseHandle(file);
        release(path);
        return;
    }
    job->size = fileSize;
    FILETIME created, written;
    if (GetFileTime(file, &created, nullptr, &written)) {
        job->creationTime = fileTimeValue(created);
        job->lastWriteTime = fileTimeValue(written);
    }

    // A file whose scratch folder cannot be made still gets its row, already
    // failed and saying why, so the user is not left wondering why nothing happens.
    bool scratchReady = createScratchDir(job->scratchDir, temporaryPath);
    if (!scratchReady) {
        job->scratchDir[0] = 0;
        job->ready.exchange(0);
        job->state = JOB_FAILED;
    }

    size_t index = 0;
    if (!appendJob(list, job, &index)) {
        CloseHandle(file);
        if (scratchReady)
            deleteTree(job->scratchDir);
        release(path);
        release(job);
        return;
    }
    CloseHandle(file);
    WakeConditionVariable(&list->work);
    PostMessageW(window, WM_JOB_ADDED, index, 0);
    if (!scratchReady) {
        appendTextToLog(job, "ERROR: cannot create the scratch folder under the temporary path\n");
        PostMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
    }
}
