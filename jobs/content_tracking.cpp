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

bool allContentFinished(const JobList* list, const Job* job)
{
    for (size_t i = 0; i < list->length; ++i) {
        const Job* content = list->entries[i];
        if (content->parent != job)
            continue;
        if (!finished(content) || !allContentFinished(list, content))
            return false;
    }
    return true;
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
