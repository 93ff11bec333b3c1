// The main window with files queued at start-up, for the README's screenshot:
//   vell_screenshot.exe TOOLS_FOLDER\ READY_FILE PATH...
// Starts like the program, queues the paths, and writes READY_FILE once every
// job has ended. It then runs until its window is closed.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>
#include "jobs/adding.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"
#include "ui/main_window.h"

static MainWindow mainWindow;
static const wchar_t* readyFile;
static const UINT_PTR POLL_TIMER = 1;

static bool allJobsEnded()
{
    acquireSpinLock(&mainWindow.adding.lock);
    bool adding = mainWindow.adding.thread != nullptr;
    releaseSpinLock(&mainWindow.adding.lock);
    if (adding || jobList.busy.load() != 0)
        return false;
    EnterCriticalSection(&jobList.lock);
    bool ended = jobList.length != 0;
    for (size_t i = 0; i < jobList.length; ++i) {
        if (jobList.entries[i]->state != JOB_DONE && jobList.entries[i]->state != JOB_FAILED)
            ended = false;
    }
    LeaveCriticalSection(&jobList.lock);
    return ended;
}

static void CALLBACK poll(HWND window, UINT, UINT_PTR, DWORD)
{
    if (!allJobsEnded())
        return;
    KillTimer(window, POLL_TIMER);
    HANDLE file = CreateFileW(readyFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments || count < 4)
        return 2;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    setToolsDirectory(arguments[1]);
    readyFile = arguments[2];
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES |
                                                           ICC_BAR_CLASSES | ICC_TAB_CLASSES |
                                                           ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HWND window = createMainWindow(&mainWindow);
    if (!window)
        return 1;
    // Every sample gets work: archives are optimized rather than ignored.
    settings.zip_strategy = 1;
    settings.gzip_strategy = 1;
    SetWindowPos(window, nullptr, 8, 8, 1080, 560, SWP_NOZORDER | SWP_NOACTIVATE);
    layoutWindow(&mainWindow);
    ShowWindow(window, SW_SHOWNORMAL);
    for (int i = 3; i < count; ++i)
        queuePath(&mainWindow.adding, arguments[i]);
    SetTimer(window, POLL_TIMER, 250, poll);
    int result = runMessageLoop(window);
    CoUninitialize();
    LocalFree(arguments);
    return result;
}
