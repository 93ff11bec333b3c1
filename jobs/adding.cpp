#include "jobs/adding.h"
#include "base/file_util.h"
#include "optimizers/replace.h"
#include "runner/tool_watch.h"
#include <string.h>
#include <wchar.h>

// Folders on the walk from its start down to the folder being listed, by file
// identity: a link back to one of them would otherwise add the same files forever.
struct WalkStep {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
    bool known;
    const WalkStep* up;
};

static bool identifyFolder(const wchar_t* path, WalkStep* step)
{
    HANDLE folder = CreateFileW(path, FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(folder, &info) != 0;
    CloseHandle(folder);
    if (known) {
        step->volume = info.dwVolumeSerialNumber;
        step->indexHigh = info.nFileIndexHigh;
        step->indexLow = info.nFileIndexLow;
    }
    return known;
}

static bool onWalk(const WalkStep* step)
{
    for (const WalkStep* other = step->up; other; other = other->up) {
        if (other->known && other->volume == step->volume && other->indexHigh == step->indexHigh &&
            other->indexLow == step->indexLow)
            return true;
    }
    return false;
}

// folder + name + extra as one heap string; null when memory runs out.
static wchar_t* joinPath(const wchar_t* folder, const wchar_t* name, const wchar_t* extra)
{
    const wchar_t* pieces[] = {folder, name, extra};
    return joinStrings(pieces, 3, nullptr);
}

// Like joinPath, in the "\\?\" form when the plain form would drop the end of the
// name; everything below such a folder then has that form too.
static wchar_t* childPath(const wchar_t* folder, const wchar_t* name, const wchar_t* extra)
{
    if (!nameNeedsLongForm(name))
        return joinPath(folder, name, extra);
    wchar_t* plain = joinPath(folder, name, L"");
    wchar_t* reachable = plain ? longPathOf(plain, nullptr) : nullptr;
    release(plain);
    wchar_t* path = reachable ? joinPath(reachable, extra, L"") : nullptr;
    release(reachable);
    return path;
}

static bool skippedFolderName(const wchar_t* name)
{
    if (name[0] == L'$')
        return true;
    if (name[0] == L'.' && name[1] == 0)
        return true;
    return name[0] == L'.' && name[1] == L'.';
}

struct Walk {
    AddingRun* adder;
    const wchar_t* temporaryPath;
    JobList* list;
    HWND window;
    const Settings* settings;
    const std::atomic<uint8_t>* stop;
    Job* parent;
    ContentContext context;
};

// Returns false when the stop flag ended the walk.
static bool walkFolder(const Walk* walk, const wchar_t* folderPath, const WIN32_FIND_DATAW* entry,
                       const WalkStep* up)
{
    wchar_t* folder = childPath(folderPath, entry->cFileName, L"\\");
    if (!folder)
        return true;
    WalkStep step = {};
    step.up = up;
    step.known = identifyFolder(folder, &step);
    if (step.known && onWalk(&step)) {
        release(folder);
        return true;
    }
    wchar_t* pattern = joinPath(folder, L"*.*", L"");
    WIN32_FIND_DATAW found;
    HANDLE listing = pattern ? FindFirstFileW(pattern, &found) : INVALID_HANDLE_VALUE;
    release(pattern);
    if (listing == INVALID_HANDLE_VALUE) {
        release(folder);
        return true;
    }
    bool goOn = true;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!skippedFolderName(found.cFileName))
                goOn = walkFolder(walk, folder, &found, &step);
        } else {
            wchar_t* path = childPath(folder, found.cFileName, L"");
            // A copy left by an interrupted replacement is cleared away, never added.
            if (path && removeReplacementLeftover(path)) {
                release(path);
            } else if (path) {
                analyzeFile(walk->adder, path, walk->temporaryPath, fileTimeValue(found.ftLastWriteTime),
                            walk->settings, walk->list, walk->parent, walk->context, walk->window);
            }
        }
        if (walk->stop && walk->stop->load())
            goOn = false;
    } while (goOn && FindNextFileW(listing, &found));
    FindClose(listing);
    release(folder);
    return goOn;
}

void addFolder(AddingRun* adder, const wchar_t* folderPath, const wchar_t* temporaryPath, JobList* list,
               const WIN32_FIND_DATAW* entry, HWND window, const Settings* settings,
               const std::atomic<uint8_t>* stop, Job* parent, ContentContext context)
{
    Walk walk = {adder, temporaryPath, list, window, settings, stop, parent, context};
    WIN32_FIND_DATAW empty = {};
    walkFolder(&walk, folderPath, entry ? entry : &empty, nullptr);
}

// Under the run's lock: appends an owned path, growing the queue to twice its
// used size plus one entry.
static bool appendToQueue(AddingRun* run, wchar_t* path)
{
    const size_t entry = sizeof(wchar_t*);
    if (run->queueBytes + entry > run->queueCapacity) {
        if (run->queueBytes > (SIZE_MAX - entry) / 2)
            return false;
        size_t capacity = run->queueBytes * 2 + entry;
        wchar_t** grown = static_cast<wchar_t**>(reallocate(run->queue, capacity / entry, entry, nullptr));
        if (!grown)
            return false;
        run->queue = grown;
        run->queueCapacity = capacity;
    }
    run->queue[run->queueBytes / entry] = path;
    run->queueBytes += entry;
    return true;
}

// Under the run's lock: starts the adder unless one runs. The new thread waits
// for the lock before it looks at the queue.
static bool startAdder(AddingRun* run)
{
    if (run->thread)
        return true;
    wcsncpy(run->temporaryPath, run->settings->general_tempPath, TEMP_PATH_ROOM - 1);
    run->temporaryPath[TEMP_PATH_ROOM - 1] = 0;
    run->thread = CreateThread(nullptr, 0, adderThread, run, 0, nullptr);
    return run->thread != nullptr;
}

bool queuePath(AddingRun* run, const wchar_t* path)
{
    wchar_t* copy = duplicateString(path, nullptr);
    if (!copy)
        return false;
    acquireSpinLock(&run->lock);
    if (!appendToQueue(run, copy)) {
        release(copy);
        releaseSpinLock(&run->lock);
        return false;
    }
    bool started = startAdder(run);
    releaseSpinLock(&run->lock);
    return started;
}

void queuePaths(AddingRun* run, const wchar_t* const* paths, size_t count)
{
    if (count == 0)
        return;
    acquireSpinLock(&run->lock);
    for (size_t i = 0; i < count; ++i) {
        if (!paths[i] || paths[i][0] == 0)
            continue;
        wchar_t* copy = duplicateString(paths[i], nullptr);
        if (copy && !appendToQueue(run, copy))
            release(copy);
    }
    if (run->queueBytes)
        startAdder(run);
    releaseSpinLock(&run->lock);
}

// Under the run's lock: the first queued path, or null when the queue is empty.
static wchar_t* takeFirst(AddingRun* run)
{
    const size_t entry = sizeof(wchar_t*);
    if (run->queueBytes == 0)
        return nullptr;
    wchar_t* first = run->queue[0];
    run->queueBytes -= entry;
    memmove(run->queue, run->queue + 1, run->queueBytes);
    return first;
}

static void addPath(AddingRun* run, wchar_t* path)
{
    size_t length = wcslen(path);
    while (length && path[length - 1] == L'\\')
        --length;
    wchar_t end = path[length];
    path[length] = 0;
    if (nameNeedsLongForm(fileNameOfPath(path))) {
        // Without its trailing backslashes, as any folder is walked; a file has none.
        wchar_t* reachable = longPathOf(path, nullptr);
        if (reachable) {
            release(path);
            path = reachable;
        }
    } else {
        path[length] = end;
    }
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        length = wcslen(path);
        while (length && path[length - 1] == L'\\')
            path[--length] = 0;
        addFolder(run, path, run->temporaryPath, run->jobs, nullptr, run->window, run->settings, &run->stop,
                  nullptr, CONTEXT_TOP);
        release(path);
        return;
    }
    analyzeFile(run, path, run->temporaryPath, lastWriteTimeOfPath(path), run->settings, run->jobs, nullptr,
                CONTEXT_TOP, run->window);
}

void stopAdding(AddingRun* run)
{
    run->stop.exchange(1);
    terminateWatchedTool(&run->probeLock, &run->probeProcess);
}

DWORD WINAPI adderThread(LPVOID parameter)
{
    AddingRun* run = static_cast<AddingRun*>(parameter);
    for (;;) {
        acquireSpinLock(&run->lock);
        wchar_t* path = takeFirst(run);
        if (path && run->stop.load()) {
            // Stopping: the rest of the queue is dropped unread.
            do {
                release(path);
                path = takeFirst(run);
            } while (path);
        }
        if (!path)
            break;
        releaseSpinLock(&run->lock);
        addPath(run, path);
    }
    // Still under the lock, so a path queued from now on starts a new adder.
    run->currentPath[0] = 0;
    CloseHandle(run->thread);
    run->thread = nullptr;
    releaseSpinLock(&run->lock);
    if (run->window)
        PostMessageW(run->window, WM_ADDER_DONE, 0, 0);
    return 0;
}
