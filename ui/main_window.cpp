#include "ui/main_window.h"
#include "ui/commands.h"
#include "ui/dialog_template.h"
#include "ui/main_window_internal.h"
#include "jobs/content.h"
#include "jobs/tool_needs.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "settings/settings.h"
#include "ui/settings_pages.h"
#include <commctrl.h>
#include <shellapi.h>
#include <uxtheme.h>
#include <wchar.h>

const wchar_t MAIN_WINDOW_CAPTION[] = L"Zarn\u2019s Vell Optimizer";
const wchar_t BUILT_TEXT[] = L" Built 2022-09-09 00:00. Drag and drop files to optimize.";

const WORD ICON_ID = 101;
// A dialog template's x of 0x8000 lets the system place the window.
const short DEFAULT_POSITION = static_cast<short>(0x8000);
// Templates cannot ask for a default size; this one shows the columns nearly whole.
const short INITIAL_WIDTH = 690;
const short INITIAL_HEIGHT = 320;

struct ColumnSpec {
    const wchar_t* text;
    int width;
    int format;
};

const ColumnSpec COLUMNS[JOB_LIST_COLUMN_COUNT] = {
    {L"Name", 384, LVCFMT_LEFT},
    {L"Size", 64, LVCFMT_RIGHT},
    {L"Optimized Size", 160, LVCFMT_RIGHT},
    {L"Action", 160, LVCFMT_RIGHT},
    {L"Status", 256, LVCFMT_RIGHT},
};

HWND createMainWindow(MainWindow* main)
{
    DialogTemplate t;
    beginDialogTemplate(&t, WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN | DS_SETFONT, WS_EX_ACCEPTFILES,
                        DEFAULT_POSITION, DEFAULT_POSITION, INITIAL_WIDTH, INITIAL_HEIGHT,
                        MAIN_WINDOW_CAPTION, 8, L"MS Shell Dlg 2");
    const DWORD child = WS_CHILD | WS_VISIBLE;
    addDialogControlByName(&t, ID_JOB_LIST, WC_LISTVIEWW, L"",
                           child | LVS_REPORT | WS_BORDER | WS_TABSTOP | LVS_NOLABELWRAP, 0, 0, 0, 0, 0);
    // No prefix: a path being analysed may hold an ampersand.
    addDialogControl(&t, ID_STATUS_LINE, DIALOG_CLASS_STATIC, BUILT_TEXT, child | SS_LEFT | SS_NOPREFIX, 0, 0,
                     0, 0, 0);
    addDialogControl(&t, ID_ADD_FOLDER, DIALOG_CLASS_BUTTON, L"Add Folder \u2026",
                     child | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, 0, 0, 0, 0);
    addDialogControl(&t, ID_ADD_FILE, DIALOG_CLASS_BUTTON, L"Add File \u2026",
                     child | WS_TABSTOP | BS_PUSHBUTTON, 0, 0, 0, 0, 0);
    addDialogControl(&t, ID_WORKER_COUNT, DIALOG_CLASS_COMBOBOX, L"",
                     child | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, 0, 0, 0, 0);
    addDialogControlByName(&t, ID_TABS, WC_TABCONTROLW, L"", child | WS_TABSTOP | WS_CLIPSIBLINGS, 0, 0, 0, 0,
                           0);
    const DLGTEMPLATE* data = dialogTemplateData(&t);
    HWND window = data ? CreateDialogIndirectParamW(GetModuleHandleW(nullptr), data, nullptr, mainWindowProc,
                                                    reinterpret_cast<LPARAM>(main))
                       : nullptr;
    freeDialogTemplate(&t);
    return window;
}

int runMessageLoop(HWND window)
{
    MSG message;
    for (;;) {
        BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0)
            return static_cast<int>(message.wParam);
        if (got == -1)
            return 0;
        // Characters reach the controls untranslated, as the dialog manager expects.
        if (!IsWindow(window) || !IsDialogMessageW(window, &message))
            DispatchMessageW(&message);
    }
}

int fillWorkerCountList(HWND list, DWORD processors)
{
    // "paused" and "1 thread" are always offered, even with a single processor.
    wchar_t text[WORKER_COUNT_TEXT_ROOM];
    for (DWORD count = 0; count <= 1 || (count <= processors && count <= static_cast<DWORD>(MAX_WORKERS));
         ++count) {
        workerCountText(static_cast<int>(count), text);
        SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    int selected = processors == 0 ? 0 : static_cast<int>(processors - 1);
    if (selected > MAX_WORKERS)
        selected = MAX_WORKERS;
    SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
    return selected;
}

void showSettingsPage(MainWindow* main, int index)
{
    if (index < 0 || index >= SETTINGS_PAGE_ROOM)
        return;
    for (int i = 0; i < SETTINGS_PAGE_ROOM; ++i) {
        if (main->pages[i])
            ShowWindow(main->pages[i], i == index ? SW_SHOW : SW_HIDE);
    }
}

static void setWindowIcons(HWND window)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HANDLE big = LoadImageW(instance, MAKEINTRESOURCEW(ICON_ID), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE);
    if (!big)
        return;
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    HANDLE small = LoadImageW(instance, MAKEINTRESOURCEW(ICON_ID), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                              GetSystemMetrics(SM_CYSMICON), 0);
    if (small)
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
}

static void insertColumns(HWND list)
{
    for (int i = 0; i < JOB_LIST_COLUMN_COUNT; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.fmt = COLUMNS[i].format;
        column.cx = COLUMNS[i].width;
        column.pszText = const_cast<wchar_t*>(COLUMNS[i].text);
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
}

static void createSettingsPages(MainWindow* main)
{
    HWND tabs = GetDlgItem(main->window, ID_TABS);
    // Pages sit directly above the tab control, so they paint over its display
    // area and follow the other controls in keyboard order.
    HWND above = GetWindow(tabs, GW_HWNDPREV);
    int count = settingsPageCount();
    if (count > SETTINGS_PAGE_ROOM)
        count = SETTINGS_PAGE_ROOM;
    for (int i = 0; i < count; ++i) {
        HWND page = createSettingsPage(main->window, i);
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = const_cast<wchar_t*>(settingsPageCaption(i));
        SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&item));
        main->pages[i] = page;
        if (!page)
            continue;
        EnableThemeDialogTexture(page, ETDT_ENABLETAB);
        SetWindowPos(page, above ? above : HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        above = page;
    }
    showSettingsPage(main, 0);
}

// Told in the status line rather than a dialog: the window stays usable for the
// kinds of file whose tools are there.
void initIdleText(MainWindow* main)
{
    MissingTools missing;
    findMissingTools(settings.png_strategy, &missing);
    std::wstring notice = missingToolsNotice(missing);
    if (notice.empty()) {
        wcscpy_s(main->idleText, IDLE_TEXT_ROOM, BUILT_TEXT);
        return;
    }
    notice = L" " + notice + L". Drag and drop files to optimize.";
    if (notice.size() >= IDLE_TEXT_ROOM)
        notice.resize(IDLE_TEXT_ROOM - 1);
    wcscpy_s(main->idleText, IDLE_TEXT_ROOM, notice.c_str());
}

static void initMainWindow(MainWindow* main)
{
    HWND window = main->window;
    setWindowIcons(window);
    loadSettings(&settings);
    initIdleText(main);
    SetDlgItemTextW(window, ID_STATUS_LINE, main->idleText);
    // Left by instances that were killed or crashed; those still running keep theirs.
    removeStaleScratchDirs(settings.general_tempPath);
    initJobList(&jobList);
    resetWorkerSlots(window);
    initNumberFormat(&main->numberFormat);

    AddingRun* run = &main->adding;
    run->thread = nullptr;
    run->lock.store(0);
    run->queue = nullptr;
    run->queueBytes = 0;
    run->queueCapacity = 0;
    run->currentPath[0] = 0;
    run->temporaryPath[0] = 0;
    run->stop.store(0);
    run->probeProcess = nullptr;
    InitializeSRWLock(&run->probeLock);
    run->window = window;
    run->jobs = &jobList;
    run->settings = &settings;
    main->rowCount = 0;

    int workers = fillWorkerCountList(GetDlgItem(window, ID_WORKER_COUNT),
                                      GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    setWorkerCount(workers);
    insertColumns(GetDlgItem(window, ID_JOB_LIST));
    createSettingsPages(main);
}

void refreshStatus(MainWindow* main)
{
    const size_t room = IDLE_TEXT_ROOM + PATH_ROOM + 16;
    wchar_t text[room];
    AddingRun* run = &main->adding;
    acquireSpinLock(&run->lock);
    bool adding = run->thread != nullptr;
    if (adding)
        swprintf(text, room, L" Analyzing %ls \u2026", run->currentPath);
    releaseSpinLock(&run->lock);
    if (!adding) {
        if (jobList.busy.load() != 0) {
            wcscpy_s(text, room, L" Optimizing \u2026");
        } else {
            EnterCriticalSection(&jobList.lock);
            bool any = jobList.length != 0;
            LeaveCriticalSection(&jobList.lock);
            wcscpy_s(text, room, any ? L" Paused." : main->idleText);
        }
    }
    SetDlgItemTextW(main->window, ID_STATUS_LINE, text);
}

bool showsCanceled(const Job* job)
{
    return job->canceled.load() && job->state != JOB_DONE;
}

void setCellText(HWND list, size_t row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

// The job at index, read under the job list lock, or null past the end. Jobs
// never move, and the fields a row shows do not change once a job is listed, so
// the list view is filled outside the lock: under Wine a visible list view takes
// tens of milliseconds for a row, and the adder and the workers wait for that
// lock.
static const Job* listedJob(size_t index)
{
    EnterCriticalSection(&jobList.lock);
    const Job* job = index < jobList.length ? jobList.entries[index] : nullptr;
    LeaveCriticalSection(&jobList.lock);
    return job;
}

static void insertRows(MainWindow* main, HWND list, size_t end)
{
    while (main->rowCount < end) {
        const Job* job = listedJob(main->rowCount);
        if (!job)
            return;
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = static_cast<int>(main->rowCount);
        item.pszText = const_cast<wchar_t*>(fileNameOfPath(job->path));
        int row = static_cast<int>(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
        if (row != static_cast<int>(main->rowCount)) {
            // A row in another place would shift every later job onto a wrong row.
            if (row >= 0)
                SendMessageW(list, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
            return;
        }
        wchar_t size[SIZE_TEXT_ROOM];
        formatSize(&main->numberFormat, static_cast<int64_t>(job->size), size);
        setCellText(list, main->rowCount, 1, size);
        setCellText(list, main->rowCount, 2, L"-");
        setCellText(list, main->rowCount, 3, actionDisplayText(static_cast<Action>(job->action)));
        // Content cancelled before its row existed.
        setCellText(list, main->rowCount, 4, showsCanceled(job) ? L"canceled" : L"pending");
        ++main->rowCount;
    }
}

// Rows are added for every job up to index, so row i shows job i even when
// notifications from several threads arrive out of order. A batch of rows is
// inserted with drawing off, so the list view draws itself once for the batch.
static void insertRowsUpTo(MainWindow* main, size_t index)
{
    if (index < main->rowCount)
        return;
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    bool batch = index > main->rowCount;
    if (batch)
        SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    insertRows(main, list, index + 1);
    if (batch) {
        SendMessageW(list, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(list, nullptr, FALSE);
    }
}

// Under the job list lock; false when the job is not in the list.
static bool findJob(const Job* job, size_t* index)
{
    // A job knows its place; the search is for a record that was never appended.
    if (job->index < jobList.length && jobList.entries[job->index] == job) {
        *index = job->index;
        return true;
    }
    for (size_t i = 0; i < jobList.length; ++i) {
        if (jobList.entries[i] == job) {
            *index = i;
            return true;
        }
    }
    return false;
}

void onJobAdded(MainWindow* main, size_t index)
{
    EnterCriticalSection(&jobList.lock);
    // Jobs appended since get their rows now, so their own notifications find
    // them there and cost nothing; a bounded batch, so the window stays
    // answerable when it has fallen far behind.
    bool listed = index < jobList.length;
    size_t last = listed ? jobList.length - 1 : 0;
    size_t bound = main->rowCount + ROW_BATCH_LIMIT;
    if (last > bound)
        last = bound > index ? bound : index;
    if (listed)
        WakeConditionVariable(&jobList.work);
    LeaveCriticalSection(&jobList.lock);
    if (listed)
        insertRowsUpTo(main, last);
    refreshStatus(main);
}

void onJobLog(MainWindow* main, Job* job)
{
    EnterCriticalSection(&jobList.lock);
    size_t index;
    bool listed = findJob(job, &index);
    wchar_t* status = listed ? copyStatusLine(job) : nullptr;
    LeaveCriticalSection(&jobList.lock);
    if (listed) {
        insertRowsUpTo(main, index);
        if (index < main->rowCount) {
            HWND list = GetDlgItem(main->window, ID_JOB_LIST);
            if (status)
                setCellText(list, index, 4, status);
            setCellText(list, index, 2, L"\u2026");
        }
    }
    release(status);
}

void onJobState(MainWindow* main, Job* job)
{
    EnterCriticalSection(&jobList.lock);
    size_t index;
    bool listed = findJob(job, &index);
    bool done = listed && job->state == JOB_DONE;
    bool topLevel = listed && !job->parent;
    uint64_t size = job->size;
    uint64_t optimizedSize = job->optimizedSize;
    LeaveCriticalSection(&jobList.lock);
    if (!listed)
        return;
    if (jobList.busy.load() == 0)
        refreshStatus(main);
    insertRowsUpTo(main, index);
    if (index >= main->rowCount)
        return;
    HWND list = GetDlgItem(main->window, ID_JOB_LIST);
    if (done) {
        wchar_t text[OPTIMIZED_SIZE_TEXT_ROOM];
        formatOptimizedSize(&main->numberFormat, size, optimizedSize, text);
        setCellText(list, index, 2, text);
        setCellText(list, index, 4, L"OK");
    } else {
        setCellText(list, index, 2, L"-");
    }
    if (settings.general_autoScroll && topLevel && SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0) == 0)
        SendMessageW(list, LVM_ENSUREVISIBLE, index, FALSE);
}

static void onNotify(MainWindow* main, const NMHDR* header)
{
    if (header->idFrom == ID_TABS && header->code == TCN_SELCHANGE) {
        int index = static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
        if (index >= 0 && index < SETTINGS_PAGE_ROOM)
            showSettingsPage(main, index);
        return;
    }
    if (header->idFrom != ID_JOB_LIST)
        return;
    if (header->code == NM_DBLCLK) {
        SendMessageW(main->window, WM_COMMAND, MAKEWPARAM(ID_OPEN_DIRECTORY, 0), 0);
    } else if (header->code == NM_RCLICK) {
        int row = reinterpret_cast<const NMITEMACTIVATE*>(header)->iItem;
        if (row >= 0)
            showContextMenu(main, row);
    }
}

static BOOL CALLBACK sendSysColorChange(HWND child, LPARAM message)
{
    const MSG* original = reinterpret_cast<const MSG*>(message);
    if (GetParent(child) == original->hwnd)
        SendMessageW(child, WM_SYSCOLORCHANGE, original->wParam, original->lParam);
    return TRUE;
}

static MainWindow* mainWindowOf(HWND window)
{
    return reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, DWLP_USER));
}

INT_PTR CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        MainWindow* main = reinterpret_cast<MainWindow*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        main->window = window;
        initMainWindow(main);
        return TRUE;
    }
    MainWindow* main = mainWindowOf(window);
    if (!main)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        onCommand(main, LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->code != LVN_ITEMCHANGED)
            onNotify(main, header);
        return FALSE;
    }
    case WM_DROPFILES:
        dropFiles(main, reinterpret_cast<HDROP>(wParam));
        return TRUE;
    case WM_ADDER_DONE:
    case WM_ADDER_PROGRESS:
    case WM_WORKER_IDLE:
        refreshStatus(main);
        return TRUE;
    case WM_JOB_ADDED:
        onJobAdded(main, static_cast<size_t>(wParam));
        return TRUE;
    case WM_JOB_LOG:
        onJobLog(main, reinterpret_cast<Job*>(lParam));
        return TRUE;
    case WM_RELABEL_CANCELED:
        relabelCanceledRows(main);
        return TRUE;
    case WM_JOB_STATE:
        onJobState(main, reinterpret_cast<Job*>(lParam));
        return TRUE;
    case WM_GETMINMAXINFO:
        setMinimumSize(main, reinterpret_cast<MINMAXINFO*>(lParam));
        return TRUE;
    case WM_WINDOWPOSCHANGED: {
        const WINDOWPOS* position = reinterpret_cast<const WINDOWPOS*>(lParam);
        if (!(position->flags & SWP_NOSIZE) || (position->flags & SWP_FRAMECHANGED))
            layoutWindow(main);
        return FALSE;
    }
    case WM_SETCURSOR:
        if (LOWORD(lParam) != HTCLIENT)
            return FALSE;
        SetCursor(LoadCursorW(nullptr, IDC_ARROW));
        SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_SYSCOLORCHANGE: {
        MSG original = {window, message, wParam, lParam, 0, {0, 0}};
        EnumChildWindows(window, sendSysColorChange, reinterpret_cast<LPARAM>(&original));
        return FALSE;
    }
    case WM_QUERYENDSESSION:
        // Nothing is held up: the teardown at the end of the session loses nothing.
        SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_ENDSESSION:
        if (wParam)
            endSession(main);
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(window);
        return TRUE;
    case WM_NCDESTROY:
        SetWindowLongPtrW(window, DWLP_USER, 0);
        shutdown(main);
        return FALSE;
    default:
        return FALSE;
    }
}
