#include "ui/commands.h"
#include "ui/main_window_internal.h"
#include "jobs/adding.h"
#include "base/file_util.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

const DWORD OPEN_FILE_ROOM = 32767;

bool browseForFolder(HWND owner, wchar_t* path)
{
    wchar_t displayName[MAX_PATH];
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.pszDisplayName = displayName;
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    LPITEMIDLIST folder = SHBrowseForFolderW(&browse);
    if (!folder)
        return false;
    wchar_t picked[MAX_PATH];
    bool found = SHGetPathFromIDListW(folder, picked) != 0;
    CoTaskMemFree(folder);
    if (found)
        wcscpy_s(path, MAX_PATH, picked);
    return found;
}

static void addFolderCommand(MainWindow* main)
{
    wchar_t path[MAX_PATH];
    if (browseForFolder(main->window, path))
        queuePath(&main->adding, path);
}

static void addFileCommand(MainWindow* main)
{
    wchar_t* path = static_cast<wchar_t*>(allocate(OPEN_FILE_ROOM, sizeof(wchar_t), nullptr));
    if (!path)
        return;
    path[0] = 0;
    OPENFILENAMEW open = {};
    open.lStructSize = sizeof(open);
    open.hwndOwner = main->window;
    open.lpstrFile = path;
    open.nMaxFile = OPEN_FILE_ROOM;
    open.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
    if (GetOpenFileNameW(&open))
        queuePath(&main->adding, path);
    release(path);
}

void dropFiles(MainWindow* main, HDROP drop)
{
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    wchar_t** paths = count ? static_cast<wchar_t**>(allocate(count, sizeof(wchar_t*), nullptr)) : nullptr;
    if (paths) {
        size_t taken = 0;
        for (UINT i = 0; i < count; ++i) {
            UINT length = DragQueryFileW(drop, i, nullptr, 0);
            if (length == 0 || length > OPEN_FILE_ROOM)
                continue;
            wchar_t* path = static_cast<wchar_t*>(allocate(length + 1, sizeof(wchar_t), nullptr));
            if (path && DragQueryFileW(drop, i, path, length + 1) == length)
                paths[taken++] = path;
            else
                release(path);
        }
        // Queued in drop order under one lock, so one adding run takes them all.
        queuePaths(&main->adding, paths, taken);
        for (size_t i = 0; i < taken; ++i)
            release(paths[i]);
        release(paths);
    }
    DragFinish(drop);
}

// Without a scratch folder the path would be "\log.txt" at the root of the
// current drive; a job that started may still have failed to create its log.
wchar_t* existingLogFile(const Job* job)
{
    if (!job || !job->scratchDir[0] || job->state == JOB_PENDING || job->state == JOB_STARTING)
        return nullptr;
    wchar_t* path = logFilePath(job);
    DWORD attributes = path ? GetFileAttributesW(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        release(path);
        return nullptr;
    }
    return path;
}

ContextMenuState contextMenuState(const Job* job)
{
    ContextMenuState state;
    state.openDirectory = job != nullptr;
    wchar_t* log = existingLogFile(job);
    state.openLog = log != nullptr;
    release(log);
    state.cancel = true;
    return state;
}

void showContextMenu(MainWindow* main, int row)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return;
    AppendMenuW(menu, MF_STRING, ID_OPEN_DIRECTORY, L"Open containing directory");
    AppendMenuW(menu, MF_STRING, ID_OPEN_LOG, L"Open log file");
    AppendMenuW(menu, MF_STRING, ID_CANCEL, L"Cancel");
    EnterCriticalSection(&jobList.lock);
    const Job* job = static_cast<size_t>(row) < jobList.length ? jobList.entries[row] : nullptr;
    ContextMenuState state = contextMenuState(job);
    LeaveCriticalSection(&jobList.lock);
    EnableMenuItem(menu, ID_OPEN_DIRECTORY, MF_BYCOMMAND | (state.openDirectory ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(menu, ID_OPEN_LOG, MF_BYCOMMAND | (state.openLog ? MF_ENABLED : MF_GRAYED));
    EnableMenuItem(menu, ID_CANCEL, MF_BYCOMMAND | (state.cancel ? MF_ENABLED : MF_GRAYED));
    DWORD position = GetMessagePos();
    TrackPopupMenu(menu, TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON, static_cast<short>(LOWORD(position)),
                   static_cast<short>(HIWORD(position)), 0, main->window, nullptr);
    DestroyMenu(menu);
}

static int nextSelectedRow(HWND list, int after)
{
    return static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(after), LVNI_SELECTED));
}

// Under the list lock: a heap copy of the row's path or log file path (null
// when the job has no log file).
static wchar_t* rowText(int row, bool logFile)
{
    wchar_t* text = nullptr;
    EnterCriticalSection(&jobList.lock);
    if (static_cast<size_t>(row) < jobList.length) {
        const Job* job = jobList.entries[row];
        text = logFile ? existingLogFile(job) : duplicateString(job->path, nullptr);
    }
    LeaveCriticalSection(&jobList.lock);
    return text;
}

static void openContainingDirectories(MainWindow* main)
{
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    for (int row = nextSelectedRow(list, -1); row >= 0; row = nextSelectedRow(list, row)) {
        wchar_t* path = rowText(row, false);
        if (!path)
            continue;
        PIDLIST_ABSOLUTE item = ILCreateFromPathW(path);
        if (item) {
            SHOpenFolderAndSelectItems(item, 0, nullptr, 0);
            ILFree(item);
        }
        release(path);
    }
}

static void openLogFiles(MainWindow* main)
{
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    for (int row = nextSelectedRow(list, -1); row >= 0; row = nextSelectedRow(list, row)) {
        wchar_t* path = rowText(row, true);
        if (!path)
            continue;
        ShellExecuteW(main->window, L"open", path, nullptr, nullptr, SW_SHOWNORMAL);
        release(path);
    }
}

static void markCanceled(Job* job)
{
    job->ready.exchange(0);
    job->canceled.exchange(1);
    // Under the job's tool lock, so the runner cannot close the handle meanwhile.
    terminateJobTool(job);
    // A waiting container is held by no worker and is never picked again.
    if (job->state == JOB_WAITING)
        restoreReadOnly(job);
}

void cancelJob(MainWindow* main, size_t index)
{
    if (index >= jobList.length)
        return;
    Job* container = jobList.entries[index];
    markCanceled(container);
    if (index < main->rowCount && showsCanceled(container))
        setCellText(GetDlgItem(main->window, ID_JOB_LIST), index, 4, L"canceled");
    // Content is appended after its container, so one pass over the later jobs
    // finds it at every depth; a pass for each content job would make a
    // container of 20,000 entries hold the window for seconds.
    bool content = false;
    for (size_t i = index + 1; i < jobList.length; ++i) {
        Job* job = jobList.entries[i];
        const Job* above = job->parent;
        while (above && above != container)
            above = above->parent;
        if (above) {
            markCanceled(job);
            content = true;
        }
    }
    if (!content)
        return;
    // The content's rows are labelled in batches by later messages: under
    // Wine the list view takes about a millisecond a row, so 20,000 rows at
    // once would leave the window unanswered for many seconds.
    if (main->relabelNext >= main->relabelEnd || index + 1 < main->relabelNext)
        main->relabelNext = index + 1;
    if (main->relabelEnd < jobList.length)
        main->relabelEnd = jobList.length;
    PostMessageW(main->window, WM_RELABEL_CANCELED, 0, 0);
}

void relabelCanceledRows(MainWindow* main)
{
    size_t rows[RELABEL_BATCH];
    size_t count = 0;
    size_t end = main->relabelEnd < main->rowCount ? main->relabelEnd : main->rowCount;
    size_t next = main->relabelNext;
    EnterCriticalSection(&jobList.lock);
    for (; next < end && next - main->relabelNext < RELABEL_BATCH; ++next) {
        if (showsCanceled(jobList.entries[next]))
            rows[count++] = next;
    }
    LeaveCriticalSection(&jobList.lock);
    // Rows not listed yet are labelled as they are inserted.
    main->relabelNext = next < end ? next : main->relabelEnd;
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    for (size_t i = 0; i < count; ++i)
        setCellText(list, rows[i], 4, L"canceled");
    if (main->relabelNext < main->relabelEnd)
        PostMessageW(main->window, WM_RELABEL_CANCELED, 0, 0);
}

static void cancelSelectedJobs(MainWindow* main)
{
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    for (int row = nextSelectedRow(list, -1); row >= 0; row = nextSelectedRow(list, row)) {
        EnterCriticalSection(&jobList.lock);
        cancelJob(main, static_cast<size_t>(row));
        LeaveCriticalSection(&jobList.lock);
    }
    // Cancelled content counts as finished: a container waiting for it may be
    // choosable now, and the workers may all be asleep.
    WakeAllConditionVariable(&jobList.work);
}

void onCommand(MainWindow* main, WORD id, WORD code)
{
    switch (id) {
    case ID_ADD_FOLDER:
        addFolderCommand(main);
        break;
    case ID_ADD_FILE:
        addFileCommand(main);
        break;
    case ID_WORKER_COUNT:
        if (code == CBN_SELCHANGE) {
            int selected = static_cast<int>(
                SendMessageW(GetDlgItem(main->window, ID_WORKER_COUNT), CB_GETCURSEL, 0, 0));
            if (selected >= 0) {
                setWorkerCount(selected);
                refreshStatus(main);
            }
        }
        break;
    case ID_OPEN_DIRECTORY:
        openContainingDirectories(main);
        break;
    case ID_OPEN_LOG:
        openLogFiles(main);
        break;
    case ID_CANCEL:
        cancelSelectedJobs(main);
        break;
    default:
        break;
    }
}
