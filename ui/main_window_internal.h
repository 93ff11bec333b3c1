#pragma once
// Pieces of the main window shared by its source files and its tests.
#include <windows.h>
#include "ui/main_window.h"

const int JOB_LIST_COLUMN_COUNT = 5;
const int LAYOUT_CONTROL_COUNT = 6;
// Rows a job notification inserts beyond its own job's row, at most.
const size_t ROW_BATCH_LIMIT = 256;
// Posted to the window while cancelled rows wait for their label.
const UINT WM_RELABEL_CANCELED = WM_APP + 16;
// Rows one WM_RELABEL_CANCELED looks at, at most.
const size_t RELABEL_BATCH = 256;

struct Job;

void setCellText(HWND list, size_t row, int column, const wchar_t* text);
// Whether a job's row reads "canceled": cancelled, and not finished with its
// result, whose file is optimized already. Under the job list lock.
bool showsCanceled(const Job* job);

// One row of the layout table, in dialog units.
struct ControlPlacement {
    WORD id;
    int x;
    int y;
    int width;
    int height;
};

// Fills "paused", "1 thread", "N threads" up to the processor count (at most 64)
// and selects processors - 1; returns the selected index.
int fillWorkerCountList(HWND list, DWORD processors);
void showSettingsPage(MainWindow* main, int index);
// BUILT_TEXT, or what the missing tools disable followed by the hint to drop files.
void initIdleText(MainWindow* main);
void onJobAdded(MainWindow* main, size_t index);
void onJobLog(MainWindow* main, Job* job);
void onJobState(MainWindow* main, Job* job);
// The controls' places for a client of width x height dialog units, in the
// order they are moved; negative sizes are already zero.
void layoutTable(int width, int height, ControlPlacement placements[LAYOUT_CONTROL_COUNT]);
void setMinimumSize(MainWindow* main, MINMAXINFO* limits);
