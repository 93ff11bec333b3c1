#pragma once
// What the user asks of the main window besides the settings.
#include <windows.h>
#include <shellapi.h>
#include "jobs/job.h"
#include "ui/main_window.h"

struct ContextMenuState {
    bool openDirectory;
    bool openLog;
    bool cancel;
};

// The folder browser used by "Add Folder …" and the temporary-path setting;
// path has MAX_PATH units. False when nothing was picked.
bool browseForFolder(HWND owner, wchar_t* path);
// Enabling of the context menu for the clicked row's job (null: no job).
ContextMenuState contextMenuState(const Job* job);
// A heap copy of the job's log file path; null when the job has no log file.
wchar_t* existingLogFile(const Job* job);
// Queues the dropped names in drop order and releases the drop.
void dropFiles(MainWindow* main, HDROP drop);
void onCommand(MainWindow* main, WORD id, WORD code);
// Right click on row of the job list; the menu opens at the click's position.
void showContextMenu(MainWindow* main, int row);
// Cancels job index and its content at any depth; the job list lock is held.
// The job's row says "canceled" at once, its content's rows by later messages.
void cancelJob(MainWindow* main, size_t index);
// Labels the next batch of cancelled rows (WM_RELABEL_CANCELED).
void relabelCanceledRows(MainWindow* main);
