#include "jobs/containers.h"
#include "jobs/content.h"

bool isContainerAction(uint8_t action)
{
    switch (action) {
    case ACTION_OPTIMIZE_ZIP:
    case ACTION_OPTIMIZE_ZIP_LIKE:
    case ACTION_OPTIMIZE_OOXML:
    case ACTION_OPTIMIZE_ODF:
    case ACTION_OPTIMIZE_EPUB:
    case ACTION_OPTIMIZE_GZIP:
        return true;
    default:
        return false;
    }
}

bool isExtractAction(uint8_t action)
{
    switch (action) {
    case ACTION_EXTRACT_ZIP:
    case ACTION_EXTRACT_GZIP:
    case ACTION_EXTRACT_RAR:
    case ACTION_EXTRACT_7Z:
    case ACTION_EXTRACT_DMG:
        return true;
    default:
        return false;
    }
}

// A content job canceled while no worker held it (never picked, or a nested
// container waiting for its own content) is never picked again; it counts as
// finished and failed, or its container would wait for it forever.
static bool canceledUnpicked(const Job* job)
{
    return (job->state == JOB_PENDING || job->state == JOB_WAITING) && job->canceled.load() &&
           !job->ready.load();
}

static bool finished(const Job* job)
{
    return job->state == JOB_FAILED || job->state == JOB_DONE || canceledUnpicked(job);
}

static bool isContentOf(const Job* content, const Job* job)
{
    for (const Job* above = content->parent; above; above = above->parent) {
        if (above == job)
            return true;
    }
    return false;
}

// Every content job at any depth has finished: the same as asking it of the
// direct content and, recursively, of theirs. A job that has finished stays
// finished, so the scan resumes where the last one stopped, at the first
// content still running; over a container's life it passes each entry once.
bool allContentFinished(const JobList* list, const Job* job)
{
    // Content is always appended after its container.
    size_t i = job->contentScan > job->index ? job->contentScan : job->index + 1;
    for (; i < list->length; ++i) {
        const Job* content = list->entries[i];
        if (!finished(content) && isContentOf(content, job))
            break;
    }
    job->contentScan = i;
    return i >= list->length;
}

void startWaiting(JobList* list, Job* job)
{
    EnterCriticalSection(&list->lock);
    job->state = JOB_WAITING;
    job->ready.exchange(1);
    if (!job->listedWaiting) {
        Job** link = &list->waiting;
        while (*link && (*link)->index < job->index)
            link = &(*link)->nextWaiting;
        job->nextWaiting = *link;
        *link = job;
        job->listedWaiting = 1;
    }
    // Its content may all have finished during the walk, while it could not be
    // taken yet; whoever finished it is asleep by now.
    WakeConditionVariable(&list->work);
    LeaveCriticalSection(&list->lock);
}

Job* firstFinishedContainer(JobList* list)
{
    Job** link = &list->waiting;
    while (*link) {
        Job* job = *link;
        // Taken or canceled: it is ready again only by waiting anew, which lists it again.
        if (!job->ready.load() || job->state != JOB_WAITING) {
            *link = job->nextWaiting;
            job->nextWaiting = nullptr;
            job->listedWaiting = 0;
            continue;
        }
        if (allContentFinished(list, job))
            return job;
        link = &job->nextWaiting;
    }
    return nullptr;
}

bool anyContentFailed(const JobList* list, const Job* job)
{
    for (size_t i = 0; i < list->length; ++i) {
        const Job* content = list->entries[i];
        if (content->parent == job && (content->state == JOB_FAILED || canceledUnpicked(content)))
            return true;
    }
    return false;
}
