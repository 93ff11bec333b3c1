#include "jobs/mimetype_fixups.h"
#include "jobs/content.h"
#include "optimizers/archive.h"
#include "optimizers/mimetype_entry.h"
#include "runner/job_log.h"

const wchar_t MIMETYPE_TEMPORARY_NAME[] = L"!!!!!!!!";
// Room for a scratch folder, a backslash, the folder of the unpacked content and a name.
const size_t MIMETYPE_PATH_ROOM = PATH_ROOM + 32;

// An EPUB always gets its "mimetype" entry back first and stored; any other ZIP package
// does when it began that way (OpenDocument files; an EPUB whose mimetype text sniffing
// did not take), since readers tell such packages by that first entry alone. The job's
// file is only replaced after repacking, so the original is still there to look at.
bool keepsMimetypeFirst(const Job* job)
{
    return job->action == ACTION_OPTIMIZE_EPUB ||
           (job->action != ACTION_OPTIMIZE_GZIP && archiveStartsWithStoredMimetype(job->path));
}

// Under its temporary name the file is neither analysed as content nor packed as
// "mimetype"; after packing the entry comes back stored and under its own name.
bool setMimetypeAside(Job* job, const wchar_t* folder)
{
    wchar_t mimetype[MIMETYPE_PATH_ROOM];
    wchar_t temporary[MIMETYPE_PATH_ROOM];
    if (!joinPath(mimetype, MIMETYPE_PATH_ROOM, folder, L"mimetype") ||
        !joinPath(temporary, MIMETYPE_PATH_ROOM, folder, MIMETYPE_TEMPORARY_NAME) ||
        !MoveFileExW(mimetype, temporary, 0)) {
        appendTextToLog(job, "ERROR: cannot rename \"mimetype\" to \"!!!!!!!!\"!");
        return false;
    }
    return true;
}

bool restoreMimetypeEntry(Job* job, const wchar_t* folder, const wchar_t* archive, bool lowPriority)
{
    wchar_t mimetype[MIMETYPE_PATH_ROOM];
    if (!joinPath(mimetype, MIMETYPE_PATH_ROOM, folder, MIMETYPE_TEMPORARY_NAME) ||
        !addStoredEntry(archive, mimetype, job->scratchDir, lowPriority, &job->sink)) {
        appendTextToLog(job, "ERROR: cannot replace \"!!!!!!!!\" with uncompressed version!");
        return false;
    }
    if (!renameMimetypeEntry(archive, job->scratchDir, lowPriority, &job->sink)) {
        appendTextToLog(job, "ERROR: cannot rename \"!!!!!!!!\" to \"mimetype\"!");
        return false;
    }
    return true;
}
