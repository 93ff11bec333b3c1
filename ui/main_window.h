#pragma once
// The main window: job list, status line, add buttons, worker list and the
// settings pages on tabs.
#include <windows.h>
#include <stddef.h>
#include "jobs/adding.h"
#include "jobs/job.h"
#include "ui/format.h"

const int SETTINGS_PAGE_ROOM = 18;
const int IDLE_TEXT_ROOM = 400;

enum : WORD {
    ID_JOB_LIST = 16,
    ID_STATUS_LINE = 17,
    ID_ADD_FOLDER = 18,
    ID_ADD_FILE = 19,
    ID_WORKER_COUNT = 20,
    ID_TABS = 21,
    ID_OPEN_DIRECTORY = 16640,
    ID_OPEN_LOG = 16641,
    ID_CANCEL = 16642,
};

struct MainWindow {
    HWND window;
    HWND pages[SETTINGS_PAGE_ROOM];
    NumberFormat numberFormat;
    AddingRun adding;
    size_t rowCount; // rows in the job list; row i always shows job i
    wchar_t idleText[IDLE_TEXT_ROOM]; // the status line before the first file is added
    // Rows from relabelNext up to relabelEnd may show cancelled content not yet
    // labelled "canceled"; they are labelled a batch per WM_RELABEL_CANCELED.
    size_t relabelNext;
    size_t relabelEnd;
};

extern const wchar_t MAIN_WINDOW_CAPTION[];
extern const wchar_t BUILT_TEXT[];

// Creates the main dialog (initialisation runs inside); null on failure.
HWND createMainWindow(MainWindow* main);
INT_PTR CALLBACK mainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Runs until the quit message; returns its exit code.
int runMessageLoop(HWND window);

void refreshStatus(MainWindow* main);
void layoutWindow(MainWindow* main);
// Stops the workers and their tools, removes every scratch folder, saves the
// settings and posts the quit message.
void shutdown(MainWindow* main);
// The session ends: the same teardown, finished before this returns.
void endSession(MainWindow* main);
