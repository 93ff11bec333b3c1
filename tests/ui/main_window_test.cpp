#include "window_fixture.h"
#include <commctrl.h>
#include "base/file_util.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "ui/settings_pages.h"
#include "support/test_files.h"
#include "ui/main_window_internal.h"

namespace {

std::wstring className(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// The window stays hidden in tests, so a child's own style tells whether it shows.
bool visibleStyle(HWND window)
{
    return (GetWindowLongPtrW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

TEST_F(MainWindowTest, CaptionStylesAndControls)
{
    EXPECT_EQ(windowText(window), L"Zarn\u2019s Vell Optimizer");
    LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    const LONG_PTR wanted = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CLIPCHILDREN;
    EXPECT_EQ(style & wanted, wanted);
    EXPECT_EQ(style & (WS_POPUP | WS_CHILD), 0);
    EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);

    struct Case {
        WORD id;
        const wchar_t* className;
        const wchar_t* text;
        LONG_PTR styles;
    } cases[] = {
        {ID_JOB_LIST, L"SysListView32", L"", LVS_REPORT | WS_BORDER | WS_TABSTOP | LVS_NOLABELWRAP},
        {ID_STATUS_LINE, L"Static", L" Built 2022-09-09 00:00. Drag and drop files to optimize.", 0},
        {ID_ADD_FOLDER, L"Button", L"Add Folder \u2026", WS_TABSTOP | BS_DEFPUSHBUTTON},
        {ID_ADD_FILE, L"Button", L"Add File \u2026", WS_TABSTOP},
        {ID_WORKER_COUNT, L"ComboBox", nullptr, WS_TABSTOP | CBS_DROPDOWNLIST},
        {ID_TABS, L"SysTabControl32", L"", WS_TABSTOP},
    };
    for (const Case& c : cases) {
        HWND child = control(c.id);
        ASSERT_NE(child, nullptr) << c.id;
        EXPECT_EQ(_wcsicmp(className(child).c_str(), c.className), 0) << c.id << " " << className(child);
        if (c.text) {
            EXPECT_EQ(windowText(child), c.text) << c.id;
        }
        LONG_PTR styles = GetWindowLongPtrW(child, GWL_STYLE);
        // The dialog manager draws a control's border as a sunken client edge.
        if (GetWindowLongPtrW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE)
            styles |= WS_BORDER;
        EXPECT_EQ(styles & c.styles, c.styles) << c.id;
        EXPECT_TRUE(styles & WS_VISIBLE) << c.id;
    }
    EXPECT_EQ(GetWindowLongPtrW(control(ID_ADD_FILE), GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
    EXPECT_EQ(GetWindowLongPtrW(list(), GWL_STYLE) & LVS_TYPEMASK, LVS_REPORT);
    EXPECT_EQ(SendMessageW(list(), LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0), 0);
    EXPECT_EQ(LOWORD(SendMessageW(window, DM_GETDEFID, 0, 0)), ID_ADD_FOLDER);
}

TEST_F(MainWindowTest, Columns)
{
    struct Case {
        const wchar_t* text;
        int width;
        int format;
    } cases[] = {
        {L"Name", 384, LVCFMT_LEFT},
        {L"Size", 64, LVCFMT_RIGHT},
        {L"Optimized Size", 160, LVCFMT_RIGHT},
        {L"Action", 160, LVCFMT_RIGHT},
        {L"Status", 256, LVCFMT_RIGHT},
    };
    for (int i = 0; i < 5; ++i) {
        wchar_t text[64] = {};
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.pszText = text;
        column.cchTextMax = 64;
        ASSERT_TRUE(SendMessageW(list(), LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column))) << i;
        EXPECT_EQ(std::wstring(text), cases[i].text);
        EXPECT_EQ(column.cx, cases[i].width) << i;
        EXPECT_EQ(column.fmt & LVCFMT_JUSTIFYMASK, cases[i].format) << i;
    }
    LVCOLUMNW beyond = {};
    beyond.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageW(list(), LVM_GETCOLUMNW, 5, reinterpret_cast<LPARAM>(&beyond)));
}

TEST_F(MainWindowTest, TabsShowOnePageAtATime)
{
    const wchar_t* captions[] = {L"General", L"BMP",   L"GIF",     L"JPG",  L"Office", L"EPUB",
                                 L"Compound", L"PNG",  L"SVG",     L"TIFF", L"MP3",    L"FLAC",
                                 L"Windows",  L"ZIP",  L"7-Zip",   L"gzip", L"RAR",    L"DMG"};
    HWND tabs = control(ID_TABS);
    ASSERT_EQ(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0), 18);
    for (int i = 0; i < 18; ++i) {
        wchar_t text[32] = {};
        TCITEMW item = {};
        item.mask = TCIF_TEXT;
        item.pszText = text;
        item.cchTextMax = 32;
        SendMessageW(tabs, TCM_GETITEMW, i, reinterpret_cast<LPARAM>(&item));
        EXPECT_EQ(std::wstring(text), captions[i]);
        ASSERT_NE(main->pages[i], nullptr) << i;
        EXPECT_EQ(GetParent(main->pages[i]), window);
        EXPECT_EQ(visibleStyle(main->pages[i]), i == 0) << i;
    }
    for (int chosen : {3, 17, 0}) {
        SendMessageW(tabs, TCM_SETCURSEL, chosen, 0);
        NMHDR header = {tabs, ID_TABS, static_cast<UINT>(TCN_SELCHANGE)};
        SendMessageW(window, WM_NOTIFY, ID_TABS, reinterpret_cast<LPARAM>(&header));
        for (int i = 0; i < 18; ++i)
            EXPECT_EQ(visibleStyle(main->pages[i]), i == chosen) << chosen << " " << i;
    }
}

TEST(WorkerCountListTest, EntriesAndSelection)
{
    struct Case {
        DWORD processors;
        int entries;
        int selected;
        const wchar_t* last;
    } cases[] = {
        {1, 2, 0, L"1 thread"},
        {2, 3, 1, L"2 threads"},
        {4, 5, 3, L"4 threads"},
        {64, 65, 63, L"64 threads"},
        {100, 65, 64, L"64 threads"},
    };
    for (const Case& c : cases) {
        HWND combo = CreateWindowExW(0, L"ComboBox", L"", CBS_DROPDOWNLIST | WS_VSCROLL, 0, 0, 100, 100, nullptr,
                                     nullptr, nullptr, nullptr);
        ASSERT_NE(combo, nullptr);
        EXPECT_EQ(fillWorkerCountList(combo, c.processors), c.selected) << c.processors;
        EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), c.entries) << c.processors;
        EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), c.selected) << c.processors;
        wchar_t text[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
        EXPECT_EQ(std::wstring(text), L"paused");
        SendMessageW(combo, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
        EXPECT_EQ(std::wstring(text), L"1 thread");
        SendMessageW(combo, CB_GETLBTEXT, c.entries - 1, reinterpret_cast<LPARAM>(text));
        EXPECT_EQ(std::wstring(text), c.last);
        DestroyWindow(combo);
    }
}

TEST_F(MainWindowTest, WorkerListOfThisMachine)
{
    DWORD processors = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    int expected = static_cast<int>(processors > 64 ? 64 : processors) + 1;
    EXPECT_EQ(SendMessageW(control(ID_WORKER_COUNT), CB_GETCOUNT, 0, 0), expected < 2 ? 2 : expected);
}

TEST_F(MainWindowTest, WorkerCountStartsAndPausesWorkers)
{
    HWND workers = control(ID_WORKER_COUNT);
    SendMessageW(workers, CB_SETCURSEL, 2, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(workers));
    int running = 0;
    for (WorkerSlot& slot : workerSlots) {
        acquireSpinLock(&slot.slotLock);
        running += slot.thread != nullptr;
        releaseSpinLock(&slot.slotLock);
    }
    EXPECT_EQ(running, 2);
    // A selection change alone counts; other notifications of the list do nothing.
    SendMessageW(workers, CB_SETCURSEL, 0, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_DROPDOWN), reinterpret_cast<LPARAM>(workers));
    EXPECT_FALSE(workerSlots[0].stop.load());
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(workers));
    // The last worker to end refreshes the status line once the busy count is 0.
    HWND status = control(ID_STATUS_LINE);
    EXPECT_TRUE(pumpUntil([status] {
        return allWorkerSlotsEmpty() &&
               windowText(status) == L" Built 2022-09-09 00:00. Drag and drop files to optimize.";
    }));
}

const char PNG_BYTES[] = "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0 some more bytes";
const char JPEG_BYTES[] = "\xFF\xD8\xFF\xE0\0\x10JFIF\0 and more bytes of a picture";

TEST_F(MainWindowTest, DropAddsFileThenFolderInDropOrder)
{
    std::wstring dropped = folder + L"\\dropped";
    ASSERT_TRUE(CreateDirectoryW(dropped.c_str(), nullptr));
    std::string png(PNG_BYTES, sizeof(PNG_BYTES) - 1);
    std::string jpeg(JPEG_BYTES, sizeof(JPEG_BYTES) - 1);
    ASSERT_TRUE(writeTestFile(folder + L"\\z first.png", png));
    ASSERT_TRUE(writeTestFile(dropped + L"\\a inside.jpg", jpeg));
    ASSERT_TRUE(writeTestFile(dropped + L"\\not a picture.txt", "plain text"));

    HDROP drop = makeDrop({folder + L"\\z first.png", dropped + L"\\"});
    ASSERT_NE(drop, nullptr);
    SendMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0);
    ASSERT_TRUE(pumpUntil([this] {
        acquireSpinLock(&main->adding.lock);
        bool idle = main->adding.thread == nullptr;
        releaseSpinLock(&main->adding.lock);
        return idle && rowCount(list()) >= 2;
    }));
    // WM_ADDER_DONE comes last and leaves the status line on " Paused.".
    HWND status = control(ID_STATUS_LINE);
    EXPECT_TRUE(pumpUntil([status] { return windowText(status) == L" Paused."; }));
    ASSERT_EQ(rowCount(list()), 2);
    struct Row {
        const wchar_t* name;
        size_t size;
        const wchar_t* action;
    } rows[] = {{L"z first.png", png.size(), L"optimize PNG"}, {L"a inside.jpg", jpeg.size(), L"optimize JPEG"}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cellText(list(), i, 0), rows[i].name);
        EXPECT_EQ(cellText(list(), i, 1), std::to_wstring(rows[i].size));
        EXPECT_EQ(cellText(list(), i, 2), L"-");
        EXPECT_EQ(cellText(list(), i, 3), rows[i].action);
        EXPECT_EQ(cellText(list(), i, 4), L"pending");
    }
    EnterCriticalSection(&jobList.lock);
    ASSERT_EQ(jobList.length, 2u);
    EXPECT_EQ(std::wstring(jobList.entries[1]->path), dropped + L"\\a inside.jpg");
    LeaveCriticalSection(&jobList.lock);
}

// Missing tools are told in the status line until the first file is added.
TEST_F(MainWindowTest, StatusLineNamesWhatMissingToolsDisable)
{
    const struct {
        std::vector<const char*> missing;
        const wchar_t* text;
    } rows[] = {
        {{}, L" Built 2022-09-09 00:00. Drag and drop files to optimize."},
        {{TOOL_FLEXIGIF}, L" 1 tool missing: GIF files will fail. Drag and drop files to optimize."},
        {{TOOL_FLAC, TOOL_METAFLAC, TOOL_MP3PACKER},
         L" 3 tools missing: MP3 and FLAC files will fail. Drag and drop files to optimize."},
        {{TOOL_LEANIFY},
         L" 1 tool missing: ZIP, ZIP-like, Office Open XML, Open Document, EPUB, XML and SVG files will fail."
         L" Drag and drop files to optimize."},
    };
    HWND status = control(ID_STATUS_LINE);
    // The workers start busy and say when they are idle; the text settles then.
    pumpUntil([&] { return jobList.busy.load() == 0 && windowText(status) == rows[0].text; });
    EXPECT_EQ(windowText(status), rows[0].text) << "shown from the start";
    for (const auto& row : rows) {
        for (const char* tool : row.missing)
            ASSERT_TRUE(DeleteFileW(tools.toolPath(tool).c_str())) << tool;
        initIdleText(main);
        refreshStatus(main);
        EXPECT_EQ(windowText(status), row.text);
        for (const char* tool : row.missing)
            ASSERT_TRUE(writeTestFile(tools.toolPath(tool), "")) << tool;
    }
    ASSERT_TRUE(DeleteFileW(tools.toolPath(TOOL_FLEXIGIF).c_str()));
    initIdleText(main);
    ASSERT_NE(addJob(L"one.png", 10), nullptr);
    SendMessageW(window, WM_WORKER_IDLE, 0, 0);
    EXPECT_EQ(windowText(status), L" Paused.");
}

TEST_F(MainWindowTest, StatusLineRules)
{
    HWND status = control(ID_STATUS_LINE);
    refreshStatus(main);
    EXPECT_EQ(windowText(status), L" Built 2022-09-09 00:00. Drag and drop files to optimize.");

    // An active adding run wins over everything else.
    acquireSpinLock(&main->adding.lock);
    main->adding.thread = GetCurrentThread();
    wcscpy_s(main->adding.currentPath, PATH_ROOM, L"C:\\photos\\a&b.png");
    releaseSpinLock(&main->adding.lock);
    jobList.busy.fetch_add(1);
    SendMessageW(window, WM_ADDER_PROGRESS, 0, 0);
    EXPECT_EQ(windowText(status), L" Analyzing C:\\photos\\a&b.png \u2026");

    acquireSpinLock(&main->adding.lock);
    main->adding.thread = nullptr;
    main->adding.currentPath[0] = 0;
    releaseSpinLock(&main->adding.lock);
    SendMessageW(window, WM_ADDER_DONE, 0, 0);
    EXPECT_EQ(windowText(status), L" Optimizing \u2026");

    jobList.busy.fetch_sub(1);
    SendMessageW(window, WM_WORKER_IDLE, 0, 0);
    EXPECT_EQ(windowText(status), L" Built 2022-09-09 00:00. Drag and drop files to optimize.");

    ASSERT_NE(addJob(L"one.png", 10), nullptr);
    SendMessageW(window, WM_WORKER_IDLE, 0, 0);
    EXPECT_EQ(windowText(status), L" Paused.");
}

TEST_F(MainWindowTest, RowsFollowJobOrderWhateverTheNotificationOrder)
{
    const int count = 7;
    for (int i = 0; i < count; ++i)
        ASSERT_NE(addJob(L"job" + std::to_wstring(i) + L".png", 100 + i), nullptr);
    // Rows 0 to 3 first, then the others from three threads in the worst order.
    for (int index : {0, 1, 2, 3, 6, 5, 4})
        SendMessageW(window, WM_JOB_ADDED, static_cast<WPARAM>(index), 0);
    ASSERT_EQ(rowCount(list()), count);
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(cellText(list(), i, 0), L"job" + std::to_wstring(i) + L".png");
        EXPECT_EQ(cellText(list(), i, 1), std::to_wstring(100 + i));
    }
    // An index that is not (yet) in the job list adds nothing.
    SendMessageW(window, WM_JOB_ADDED, static_cast<WPARAM>(count), 0);
    EXPECT_EQ(rowCount(list()), count);
}

TEST_F(MainWindowTest, OneNotificationListsEveryJobAppendedSince)
{
    for (int i = 0; i < 3; ++i)
        ASSERT_NE(addJob(L"b" + std::to_wstring(i) + L".png", 10 + i), nullptr);
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    ASSERT_EQ(rowCount(list()), 3);
    EXPECT_EQ(cellText(list(), 2, 0), L"b2.png");
    EXPECT_EQ(cellText(list(), 2, 4), L"pending");
    // Drawing is back on after the batch.
    EXPECT_TRUE(visibleStyle(list()));
    SendMessageW(window, WM_JOB_ADDED, 2, 0);
    EXPECT_EQ(rowCount(list()), 3);
}

// A window far behind the adder stays answerable: the rest come with later notifications.
TEST_F(MainWindowTest, RowsComeInBoundedBatches)
{
    const int count = static_cast<int>(ROW_BATCH_LIMIT) + 3;
    for (int i = 0; i < count; ++i)
        ASSERT_NE(addJob(L"r" + std::to_wstring(i) + L".png", 1), nullptr);
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    EXPECT_EQ(rowCount(list()), static_cast<int>(ROW_BATCH_LIMIT) + 1);
    SendMessageW(window, WM_JOB_ADDED, count - 1, 0);
    ASSERT_EQ(rowCount(list()), count);
    EXPECT_EQ(cellText(list(), count - 1, 0), L"r" + std::to_wstring(count - 1) + L".png");
}

// Whether another thread could take the job list lock, asked while the list
// view handles a message that changes its rows.
std::vector<bool> lockFreeDuringListUpdates;
WNDPROC listProcedure = nullptr;

DWORD WINAPI tryJobListLock(void*)
{
    if (!TryEnterCriticalSection(&jobList.lock))
        return 0;
    LeaveCriticalSection(&jobList.lock);
    return 1;
}

LRESULT CALLBACK watchListUpdates(HWND list, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == LVM_INSERTITEMW || message == LVM_SETITEMTEXTW) {
        HANDLE thread = CreateThread(nullptr, 0, tryJobListLock, nullptr, 0, nullptr);
        DWORD free = 0;
        WaitForSingleObject(thread, INFINITE);
        GetExitCodeThread(thread, &free);
        CloseHandle(thread);
        lockFreeDuringListUpdates.push_back(free != 0);
    }
    return CallWindowProcW(listProcedure, list, message, wParam, lParam);
}

// The adder and the workers need the lock; they never wait for the list view.
TEST_F(MainWindowTest, ListViewIsUpdatedWithoutTheJobListLock)
{
    Job* job = addJob(L"free.png", 7);
    ASSERT_NE(job, nullptr);
    listProcedure = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(list(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(watchListUpdates)));
    lockFreeDuringListUpdates.clear();
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    appendTextToLog(job, "working\n");
    SendMessageW(window, WM_JOB_LOG, 0, reinterpret_cast<LPARAM>(job));
    job->state = JOB_DONE;
    job->optimizedSize = 5;
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
    SetWindowLongPtrW(list(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(listProcedure));
    EXPECT_EQ(cellText(list(), 0, 4), L"OK");
    ASSERT_FALSE(lockFreeDuringListUpdates.empty());
    for (size_t i = 0; i < lockFreeDuringListUpdates.size(); ++i)
        EXPECT_TRUE(lockFreeDuringListUpdates[i]) << "list view message " << i;
}

TEST_F(MainWindowTest, LogAndStateNotifications)
{
    struct Case {
        uint64_t size;
        uint64_t optimizedSize;
        JobState state;
        const wchar_t* optimizedText;
        const wchar_t* status;
    } cases[] = {
        {200, 150, JOB_DONE, L"150 (-50\u2009B; -25\u2009%)", L"OK"},
        {200, 200, JOB_DONE, L"200", L"OK"},
        {200, 300, JOB_DONE, L"300 (+100\u2009B; +50\u2009%)", L"OK"},
        {200, 0, JOB_FAILED, L"-", L"ERROR: tool failed"},
        {200, 0, JOB_WAITING, L"-", L"ERROR: tool failed"},
    };
    NumberFormat& format = main->numberFormat;
    // Sizes below 1000 need no separator in any locale.
    format.grouping = 3;
    int row = 0;
    for (const Case& c : cases) {
        Job* job = addJob(L"x" + std::to_wstring(row) + L".png", c.size);
        ASSERT_NE(job, nullptr);
        SendMessageW(window, WM_JOB_ADDED, static_cast<WPARAM>(row), 0);
        job->state = JOB_RUNNING;
        appendTextToLog(job, "launching \xE2\x80\xA6\nworking\nERROR: tool failed\n");
        SendMessageW(window, WM_JOB_LOG, 0, reinterpret_cast<LPARAM>(job));
        EXPECT_EQ(cellText(list(), row, 2), L"\u2026");
        EXPECT_EQ(cellText(list(), row, 4), L"ERROR: tool failed");
        job->optimizedSize = c.optimizedSize;
        job->state = c.state;
        SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
        EXPECT_EQ(cellText(list(), row, 2), c.optimizedText) << row;
        EXPECT_EQ(cellText(list(), row, 4), c.status) << row;
        ++row;
    }
}

TEST_F(MainWindowTest, StatusTextIsUtf8)
{
    Job* job = addJob(L"u.png", 5);
    ASSERT_NE(job, nullptr);
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    appendTextToLog(job, "Gr\xC3\xB6\xC3\x9F" "e \xE2\x80\xA6\n");
    SendMessageW(window, WM_JOB_LOG, 0, reinterpret_cast<LPARAM>(job));
    EXPECT_EQ(cellText(list(), 0, 4), L"Gr\u00F6\u00DFe \u2026");
}

TEST_F(MainWindowTest, AutoScrollOnlyForTopJobsWithoutSelection)
{
    // A short list, so most rows are out of view.
    SetWindowPos(window, nullptr, 0, 0, 1, 1, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const int count = 60;
    std::vector<Job*> added;
    for (int i = 0; i < count; ++i) {
        added.push_back(addJob(L"s" + std::to_wstring(i) + L".png", 10, i == 50 && !added.empty() ? added[0] : nullptr));
        ASSERT_NE(added.back(), nullptr);
    }
    SendMessageW(window, WM_JOB_ADDED, count - 1, 0);
    ASSERT_EQ(rowCount(list()), count);
    auto visible = [this](int row) {
        RECT item = {LVIR_BOUNDS};
        RECT client;
        SendMessageW(list(), LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&item));
        GetClientRect(list(), &client);
        return item.top >= 0 && item.bottom <= client.bottom;
    };
    ASSERT_FALSE(visible(40));
    settings.general_autoScroll = 0;
    added[40]->state = JOB_FAILED;
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(added[40]));
    EXPECT_FALSE(visible(40));

    settings.general_autoScroll = 1;
    added[50]->state = JOB_FAILED; // found inside job 0
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(added[50]));
    EXPECT_FALSE(visible(50));

    selectOnly(0);
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(added[40]));
    EXPECT_FALSE(visible(40));

    LVITEMW clear = {};
    clear.stateMask = LVIS_SELECTED;
    SendMessageW(list(), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&clear));
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(added[40]));
    EXPECT_TRUE(visible(40));
    settings.general_autoScroll = 0;
}

} // namespace
