#include "window_fixture.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include <shlobj.h>

RegistrySandbox::RegistrySandbox() : key_(nullptr)
{
    path_ = L"Software\\VellUiTests\\" + std::to_wstring(GetCurrentProcessId());
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
        key_ = nullptr;
        return;
    }
    if (RegOverridePredefKey(HKEY_CURRENT_USER, key_) != ERROR_SUCCESS) {
        RegCloseKey(key_);
        key_ = nullptr;
    }
}

RegistrySandbox::~RegistrySandbox()
{
    if (!key_)
        return;
    RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
    RegCloseKey(key_);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
}

void pumpPending()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT)
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool pumpUntil(const std::function<bool()>& done)
{
    // Only a guard against hanging forever; nothing is measured.
    const ULONGLONG limit = GetTickCount64() + 120000;
    for (;;) {
        pumpPending();
        if (done())
            return true;
        if (GetTickCount64() > limit)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

std::wstring cellText(HWND list, int row, int column)
{
    wchar_t text[512] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 512;
    SendMessageW(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

int rowCount(HWND list)
{
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring windowText(HWND window)
{
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return text;
}

HDROP makeDrop(const std::vector<std::wstring>& paths)
{
    size_t units = 1;
    for (const std::wstring& path : paths)
        units += path.size() + 1;
    HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + units * sizeof(wchar_t));
    if (!memory)
        return nullptr;
    DROPFILES* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    wchar_t* names = reinterpret_cast<wchar_t*>(drop + 1);
    for (const std::wstring& path : paths) {
        wmemcpy(names, path.c_str(), path.size() + 1);
        names += path.size() + 1;
    }
    *names = 0;
    GlobalUnlock(memory);
    return static_cast<HDROP>(memory);
}

bool allWorkerSlotsEmpty()
{
    bool empty = true;
    for (WorkerSlot& slot : workerSlots) {
        acquireSpinLock(&slot.slotLock);
        if (slot.thread)
            empty = false;
        releaseSpinLock(&slot.slotLock);
    }
    return empty;
}

void MainWindowTest::SetUp()
{
    ASSERT_TRUE(registry.ready());
    ASSERT_TRUE(tools.ready());
    // Every tool file present, so the status line starts as with a full tools folder;
    // tests that start a tool install the double over its placeholder.
    for (const char* tool : TOOL_FILES) {
        std::wstring path = tools.toolPath(tool);
        CreateDirectoryW(path.substr(0, path.find_last_of(L'\\')).c_str(), nullptr);
        ASSERT_TRUE(writeTestFile(path, "")) << tool;
    }
    folder = makeTestFolder(L"ui");
    main = new MainWindow();
    window = createMainWindow(main);
    ASSERT_NE(window, nullptr);
    // Left hidden: under Xvfb without a window manager, hiding a shown window
    // waits two seconds for an answer that never comes.
    layoutWindow(main);
    // Paused through the worker list, as the user would.
    HWND workers = control(ID_WORKER_COUNT);
    SendMessageW(workers, CB_SETCURSEL, 0, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(workers));
    ASSERT_TRUE(pumpUntil([] { return allWorkerSlotsEmpty() && jobList.busy.load() == 0; }));
    std::wstring temporary = folder + L"\\";
    wcscpy_s(settings.general_tempPath, TEMP_PATH_ROOM, temporary.c_str());
}

void MainWindowTest::closeWindow()
{
    if (window && IsWindow(window)) {
        // Any adding run must be over before the list goes away.
        pumpUntil([this] {
            acquireSpinLock(&main->adding.lock);
            bool idle = main->adding.thread == nullptr;
            releaseSpinLock(&main->adding.lock);
            return idle;
        });
        DestroyWindow(window);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
    window = nullptr;
}

void MainWindowTest::TearDown()
{
    closeWindow();
    for (Job* job : jobs)
        destroyTestJob(job);
    jobs.clear();
    delete main;
    main = nullptr;
    if (!folder.empty())
        removeTestFolder(folder);
}

Job* MainWindowTest::addJob(const std::wstring& name, uint64_t size, Job* parent)
{
    std::wstring scratch = folder + L"\\job" + std::to_wstring(jobs.size());
    CreateDirectoryW(scratch.c_str(), nullptr);
    TestJob record;
    record.path = folder + L"\\" + name;
    record.size = size;
    record.kind = KIND_PNG;
    record.action = ACTION_OPTIMIZE_PNG;
    record.parent = parent;
    record.window = window;
    record.scratchDir = scratch;
    record.openLog = true;
    record.append = true;
    Job* job = createTestJob(record);
    if (job)
        jobs.push_back(job);
    return job;
}

void MainWindowTest::selectOnly(int row)
{
    LVITEMW clear = {};
    clear.stateMask = LVIS_SELECTED;
    SendMessageW(list(), LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&clear));
    LVITEMW select = {};
    select.stateMask = LVIS_SELECTED;
    select.state = LVIS_SELECTED;
    SendMessageW(list(), LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&select));
}
