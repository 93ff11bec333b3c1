#include "jobs/repack_check.h"
#include "jobs/containers.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "optimizers/verify.h"
#include "settings/settings.h"
#include <wchar.h>

namespace {

// Names of the content a container's finished jobs changed, relative to its folder.
struct ContentNames {
    wchar_t** names;
    size_t count;
};

void freeNames(ContentNames* names)
{
    for (size_t i = 0; i < names->count; ++i)
        release(names->names[i]);
    release(names->names);
    names->names = nullptr;
    names->count = 0;
}

bool addName(ContentNames* names, const wchar_t* name)
{
    wchar_t** grown = static_cast<wchar_t**>(reallocate(names->names, names->count + 1, sizeof(wchar_t*), nullptr));
    if (!grown)
        return false;
    names->names = grown;
    names->names[names->count] = duplicateString(name, nullptr);
    return names->names[names->count++] != nullptr;
}

// Only direct content counts: a nested container vouches for its own content.
bool collectChanges(const Job* job, const wchar_t* folder, ContentNames* changed, ContentNames* extracted)
{
    size_t folderLength = wcslen(folder);
    bool collected = true;
    EnterCriticalSection(&jobList.lock);
    for (size_t i = 0; collected && i < jobList.length; ++i) {
        const Job* content = jobList.entries[i];
        // A name ending in a blank or a dot gives its content path the "\\?\" form.
        const wchar_t* path = withoutLongPrefix(content->path);
        if (content->parent != job || content->state != JOB_DONE || wcslen(path) <= folderLength + 1 ||
            _wcsnicmp(path, folder, folderLength) != 0 || path[folderLength] != L'\\')
            continue;
        const wchar_t* relative = path + folderLength + 1;
        // An extracted file became a folder and a deleted one is gone: either way its entry may be missing.
        bool gone = isExtractAction(content->action) || content->action == ACTION_DELETE;
        collected = addName(gone ? extracted : changed, relative);
    }
    LeaveCriticalSection(&jobList.lock);
    return collected;
}

} // namespace

bool verifyRepackedArchive(Job* job, const wchar_t* archive)
{
    if (!verificationEnabled())
        return true;
    // The content folder of the pass that made the archive.
    wchar_t folder[PATH_ROOM + 16];
    if (!joinPath(folder, PATH_ROOM + 16, job->scratchDir, job->options[0] ? L"x" : L"xtr4ct3d")) {
        reportText(&job->sink, "ERROR: cannot verify the result (path too long)\n");
        return false;
    }
    ContentNames changed = {};
    ContentNames extracted = {};
    bool answer;
    bool lowPriority = settings.general_backgroundPriority != 0;
    if (!collectChanges(job, folder, &changed, &extracted)) {
        reportText(&job->sink, "ERROR: cannot verify the result (out of memory)\n");
        answer = false;
    } else if (job->action == ACTION_OPTIMIZE_GZIP) {
        wchar_t content[PATH_ROOM + 16];
        bool replaced = changed.count > 0 && joinPath(content, PATH_ROOM + 16, folder, changed.names[0]);
        answer = verifyGzipResult(job->path, archive, replaced ? content : nullptr, job->scratchDir, lowPriority,
                                  &job->sink);
    } else {
        ArchiveChanges changes = {changed.names, changed.count, extracted.names, extracted.count};
        answer = verifyZipEntries(job->path, archive, &changes, &job->sink);
    }
    freeNames(&changed);
    freeNames(&extracted);
    return answer;
}
