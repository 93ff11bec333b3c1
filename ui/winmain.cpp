// Entry point of "Vell Optimizer.exe".
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include "runner/tool_runner.h"
#include "ui/main_window.h"

// Lives for the whole message loop; zero-filled before the window sees it.
static MainWindow mainWindow;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    initToolsDirectory();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES | ICC_TREEVIEW_CLASSES |
                                                           ICC_BAR_CLASSES | ICC_TAB_CLASSES |
                                                           ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    int result = 0;
    HWND window = createMainWindow(&mainWindow);
    if (window) {
        layoutWindow(&mainWindow);
        ShowWindow(window, SW_SHOWNORMAL);
        result = runMessageLoop(window);
    }
    CoUninitialize();
    ExitProcess(static_cast<UINT>(result));
}
