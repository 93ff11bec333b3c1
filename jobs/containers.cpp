#include "jobs/containers.h"
#include "jobs/adding.h"
#include "jobs/mimetype_fixups.h"
#include "jobs/content.h"
#include "jobs/repack_check.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "optimizers/archive.h"
#include "optimizers/replace.h"
#include "runner/job_log.h"
#include "settings/settings.h"
#include <stdio.h>
#include <string.h>
#include <wchar.h>

const char LAUNCHING_TEXT[] = "launching \xE2\x80\xA6\n";
const char ANALYZING_TEXT[] = "analyzing content \xE2\x80\xA6\n";
const char WAITING_TEXT[] = "waiting for content to complete \xE2\x80\xA6\n";
const char COMPRESSING_TEXT[] = "compressing \xE2\x80\xA6\n";
const wchar_t ASIDE_SUFFIX[] = L".0r1g1n4l";

// Room for a scratch folder, a backslash and the longest fixed name ("x\!!!!!!!!").
const size_t SCRATCH_PATH_ROOM = PATH_ROOM + 32;
// A job path and the aside suffix.
const size_t ASIDE_PATH_ROOM = PATH_ROOM + 16;

static ContentContext contextOfContainer(uint8_t action)
{
    switch (action) {
    case ACTION_OPTIMIZE_ZIP_LIKE:
        return CONTEXT_ZIP_LIKE;
    case ACTION_OPTIMIZE_OOXML:
        return CONTEXT_OOXML;
    case ACTION_OPTIMIZE_ODF:
        return CONTEXT_ODF;
    case ACTION_OPTIMIZE_EPUB:
        return CONTEXT_EPUB;
    default:
        return CONTEXT_TOP;
    }
}

static bool lowPriority()
{
    return settings.general_backgroundPriority != 0;
}

// The temporary path may change on the window thread meanwhile; the walk uses one copy.
static void addContent(Job* job, JobList* list, const wchar_t* folder, ContentContext context)
{
    wchar_t temporaryPath[TEMP_PATH_ROOM];
    wmemcpy(temporaryPath, settings.general_tempPath, TEMP_PATH_ROOM);
    temporaryPath[TEMP_PATH_ROOM - 1] = 0;
    WIN32_FIND_DATAW entry;
    memset(&entry, 0, sizeof(entry));
    addFolder(nullptr, folder, temporaryPath, list, &entry, job->window, &settings, &job->canceled, job,
              context);
}

// Content added after a cancel of the container reached the window would run for
// nothing; it is cancelled here as well, so nothing of this container stays queued.
static void cancelPendingContent(Job* job, JobList* list)
{
    EnterCriticalSection(&list->lock);
    for (size_t i = 0; i < list->length; ++i) {
        Job* content = list->entries[i];
        if (content->parent == job && content->state == JOB_PENDING) {
            content->canceled.exchange(1);
            content->ready.exchange(0);
        }
    }
    LeaveCriticalSection(&list->lock);
}

// Strictly smaller and not empty: a size of 0 is also what an unreadable file gives.
static bool acceptArchive(Job* job, const wchar_t* archive)
{
    uint64_t newSize = sizeOfPath(archive);
    uint64_t oldSize = sizeOfPath(job->path);
    if (newSize == 0 || newSize >= oldSize)
        return true;
    if (!verifyRepackedArchive(job, archive))
        return false;
    return replaceFileWith(job->path, archive, &job->sink);
}

static void finishAccepted(Job* job, const wchar_t* archive)
{
    if (!acceptArchive(job, archive)) {
        finishJob(job, false);
        return;
    }
    markOptimized(job);
    finishJob(job, true);
}

static void startContainer(Job* job, JobList* list)
{
    job->state = JOB_RUNNING;
    wchar_t folder[SCRATCH_PATH_ROOM];
    if (!joinPath(folder, SCRATCH_PATH_ROOM, job->scratchDir, L"x") ||
        !extractArchive(job->path, folder, job->scratchDir, lowPriority(), &job->sink)) {
        finishJob(job, false);
        return;
    }
    appendTextToLog(job, ANALYZING_TEXT);
    if (keepsMimetypeFirst(job) && !setMimetypeAside(job, folder)) {
        finishJob(job, false);
        return;
    }
    addContent(job, list, folder, contextOfContainer(job->action));
    appendTextToLog(job, WAITING_TEXT);

    // A cancel during the walk ends the container here: made ready again it would
    // be picked for a second run that can only fail.
    if (job->canceled.load()) {
        cancelPendingContent(job, list);
        finishJob(job, false);
        return;
    }
    startWaiting(list, job);
    if (job->window)
        PostMessageW(job->window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
}

static void completeContainer(Job* job, JobList* list)
{
    EnterCriticalSection(&list->lock);
    bool contentFailed = anyContentFailed(list, job);
    LeaveCriticalSection(&list->lock);
    if (contentFailed) {
        appendTextToLog(job, "failed (content failure)\n");
        finishJob(job, false);
        return;
    }
    appendTextToLog(job, COMPRESSING_TEXT);
    bool gzip = job->action == ACTION_OPTIMIZE_GZIP;
    wchar_t folder[SCRATCH_PATH_ROOM];
    wchar_t archive[SCRATCH_PATH_ROOM];
    if (!joinPath(folder, SCRATCH_PATH_ROOM, job->scratchDir, L"x") ||
        !joinPath(archive, SCRATCH_PATH_ROOM, job->scratchDir, gzip ? L"x.gz" : L"x.zip")) {
        finishJob(job, false);
        return;
    }
    bool packed = gzip ? recompressGzip(folder, archive, job->scratchDir, lowPriority(), &job->sink)
                       : recompressZip(folder, archive, job->scratchDir, lowPriority(), &job->sink);
    if (!packed) {
        finishJob(job, false);
        return;
    }
    if (keepsMimetypeFirst(job) && !restoreMimetypeEntry(job, folder, archive, lowPriority())) {
        finishJob(job, false);
        return;
    }
    finishAccepted(job, archive);
}

static void repackAtOnce(Job* job)
{
    job->state = JOB_RUNNING;
    appendTextToLog(job, LAUNCHING_TEXT);
    wchar_t folder[SCRATCH_PATH_ROOM];
    if (!joinPath(folder, SCRATCH_PATH_ROOM, job->scratchDir, L"xtr4ct3d") ||
        !extractArchive(job->path, folder, job->scratchDir, lowPriority(), &job->sink)) {
        finishJob(job, false);
        return;
    }
    wchar_t archive[SCRATCH_FILE_ROOM];
    if (!jobScratchFile(job, archive)) {
        finishJob(job, false);
        return;
    }
    bool mimetypeFirst = keepsMimetypeFirst(job);
    if (mimetypeFirst && !setMimetypeAside(job, folder)) {
        finishJob(job, false);
        return;
    }
    bool packed = job->action == ACTION_OPTIMIZE_GZIP
                      ? recompressGzip(folder, archive, job->scratchDir, lowPriority(), &job->sink)
                      : recompressZip(folder, archive, job->scratchDir, lowPriority(), &job->sink);
    if (!packed || (mimetypeFirst && !restoreMimetypeEntry(job, folder, archive, lowPriority()))) {
        finishJob(job, false);
        return;
    }
    finishAccepted(job, archive);
}

static void reportFileFailure(Job* job, const char* what, const wchar_t* path)
{
    char line[160];
    snprintf(line, sizeof(line), "ERROR: cannot %s (system error %lu): ", what,
             static_cast<unsigned long>(GetLastError()));
    appendTextToLog(job, line);
    report(&job->sink, SINK_WIDE_TEXT, reinterpret_cast<uintptr_t>(path));
    appendTextToLog(job, "\n");
}

static void stampExtractedFolder(const Job* job)
{
    HANDLE folder = openFolderForTimeStamping(job->path);
    if (!folder)
        return;
    // A time of 0 (unreadable) leaves the folder's own time as it is.
    FILETIME stamp = fileTimeOf(job->folderTime);
    SetFileTime(folder, nullptr, nullptr, &stamp);
    CloseHandle(folder);
}

// Content jobs replace files inside the extracted folder, which moves its
// last-write time; the archive's time goes on once all of it has finished.
// Armed only after the whole content has been added, so content finishing
// while the walk still lists more cannot stamp too early.
static void armFolderStamp(Job* job, JobList* list)
{
    EnterCriticalSection(&list->lock);
    job->folderStampPending.exchange(1);
    if (allContentFinished(list, job) && job->folderStampPending.exchange(0))
        stampExtractedFolder(job);
    LeaveCriticalSection(&list->lock);
}

static bool insideExtraction(const Job* job)
{
    for (const Job* above = job->parent; above; above = above->parent) {
        if (isExtractAction(above->action))
            return true;
    }
    return false;
}

// Content of an extraction becomes final under the list lock, together with
// the stamp of every extracted folder above it that it completes: a container
// holding such a folder is chosen under that lock and must not be packed
// before the folder has its time back.
void setFinalState(Job* job, uint8_t state, JobList* list)
{
    if (!insideExtraction(job)) {
        job->state = state;
        return;
    }
    EnterCriticalSection(&list->lock);
    job->state = state;
    for (Job* above = job->parent; above; above = above->parent) {
        if (above->folderStampPending.load() && allContentFinished(list, above) &&
            above->folderStampPending.exchange(0))
            stampExtractedFolder(above);
    }
    LeaveCriticalSection(&list->lock);
}

void settleJobAtShutdown(Job* job)
{
    restoreReadOnly(job);
    if (job->folderStampPending.exchange(0))
        stampExtractedFolder(job);
}

// Moves the archive back in place of the folder made for it; when it cannot, the log says where it is.
static void putArchiveBack(Job* job, const wchar_t* aside, bool folderCreated)
{
    if (folderCreated)
        deleteTree(job->path);
    if (!MoveFileExW(aside, job->path, 0))
        reportFileFailure(job, "move the archive back; it is kept as", aside);
}

// The archive is moved aside, never copied: the folder takes its name, and the
// archive goes back under that name whenever the folder cannot be completed.
static void runExtraction(Job* job, JobList* list)
{
    job->state = JOB_RUNNING;
    appendTextToLog(job, LAUNCHING_TEXT);
    job->folderTime = lastWriteTimeOfPath(job->path);

    wchar_t aside[ASIDE_PATH_ROOM];
    int written = swprintf(aside, ASIDE_PATH_ROOM, L"%ls%ls", job->path, ASIDE_SUFFIX);
    if (written <= 0 || static_cast<size_t>(written) >= ASIDE_PATH_ROOM) {
        appendTextToLog(job, "ERROR: cannot move the archive aside (path too long)\n");
        finishJob(job, false);
        return;
    }
    // Without replacing: a file that already has the aside name is the user's.
    if (!MoveFileExW(job->path, aside, 0)) {
        reportFileFailure(job, "move the archive aside to", aside);
        finishJob(job, false);
        return;
    }
    bool created = CreateDirectoryW(job->path, nullptr) != 0;
    if (!created)
        reportFileFailure(job, "create the folder", job->path);
    // A cancel that came while 7-Zip ran undoes the extraction like a failure.
    if (!created || !extractArchive(aside, job->path, job->scratchDir, lowPriority(), &job->sink) ||
        job->canceled.load()) {
        putArchiveBack(job, aside, created);
        finishJob(job, false);
        return;
    }
    // A left-over archive beside the folder would also be packed with it when
    // this folder lies inside a container; the job does not end as a success.
    bool asideDeleted = DeleteFileW(aside) != 0;
    if (!asideDeleted)
        reportFileFailure(job, "delete the archive moved aside", aside);
    if (job->options[0]) {
        appendTextToLog(job, ANALYZING_TEXT);
        addContent(job, list, job->path, CONTEXT_TOP);
    }
    // From here the archive is gone; a cancel can only keep its content from running.
    bool canceled = job->canceled.load() != 0;
    if (canceled)
        cancelPendingContent(job, list);
    armFolderStamp(job, list);
    if (canceled || !asideDeleted) {
        finishJob(job, false);
        return;
    }
    appendTextToLog(job, "OK\n");
    finishJob(job, true);
}

void runContainerJob(Job* job, JobList* list)
{
    if (isExtractAction(job->action))
        runExtraction(job, list);
    else if (job->state == JOB_RUNNING)
        completeContainer(job, list);
    else if (job->options[0])
        startContainer(job, list);
    else
        repackAtOnce(job);
}
