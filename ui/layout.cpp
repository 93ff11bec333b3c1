#include "ui/main_window.h"
#include "ui/main_window_internal.h"
#include <commctrl.h>

const int MINIMUM_WIDTH = 256;
const int MINIMUM_HEIGHT = 144;

static int notNegative(int value)
{
    return value < 0 ? 0 : value;
}

void layoutTable(int width, int height, ControlPlacement placements[LAYOUT_CONTROL_COUNT])
{
    const ControlPlacement table[LAYOUT_CONTROL_COUNT] = {
        {ID_TABS, 2, 2, width - 4, 66},
        {ID_JOB_LIST, 2, 70, width - 4, height - 90},
        {ID_ADD_FOLDER, width - 202, height - 16, 64, 14},
        {ID_ADD_FILE, width - 134, height - 16, 64, 14},
        {ID_WORKER_COUNT, width - 66, height - 16, 64, 14},
        // Negative while the client is narrower than 278 units: the text then has no room.
        {ID_STATUS_LINE, 2, height - 13, width - 278, 10},
    };
    for (int i = 0; i < LAYOUT_CONTROL_COUNT; ++i) {
        placements[i] = table[i];
        placements[i].width = notNegative(table[i].width);
        placements[i].height = notNegative(table[i].height);
    }
}

void layoutWindow(MainWindow* main)
{
    HWND window = main->window;
    RECT client;
    if (!GetClientRect(window, &client))
        return;
    RECT units = {0, 0, 4, 8};
    if (!MapDialogRect(window, &units) || units.right <= 0 || units.bottom <= 0)
        return;
    const int unitX = units.right;
    const int unitY = units.bottom;
    ControlPlacement table[LAYOUT_CONTROL_COUNT];
    layoutTable(client.right * 4 / unitX, client.bottom * 8 / unitY, table);

    HDWP batch = BeginDeferWindowPos(LAYOUT_CONTROL_COUNT + SETTINGS_PAGE_ROOM);
    if (!batch)
        return;
    const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER;
    RECT pageArea = {};
    for (int i = 0; i < LAYOUT_CONTROL_COUNT && batch; ++i) {
        const ControlPlacement& place = table[i];
        RECT pixels;
        pixels.left = MulDiv(place.x, unitX, 4);
        pixels.top = MulDiv(place.y, unitY, 8);
        pixels.right = pixels.left + MulDiv(place.width, unitX, 4);
        pixels.bottom = pixels.top + MulDiv(place.height, unitY, 8);
        HWND control = GetDlgItem(window, place.id);
        if (place.id == ID_TABS) {
            pageArea = pixels;
            if (control)
                SendMessageW(control, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&pageArea));
        }
        if (control)
            batch = DeferWindowPos(batch, control, nullptr, pixels.left, pixels.top,
                                   pixels.right - pixels.left, pixels.bottom - pixels.top, flags);
    }
    const int pageWidth = notNegative(pageArea.right - pageArea.left);
    const int pageHeight = notNegative(pageArea.bottom - pageArea.top);
    for (int i = 0; i < SETTINGS_PAGE_ROOM && batch; ++i) {
        if (main->pages[i])
            batch = DeferWindowPos(batch, main->pages[i], nullptr, pageArea.left, pageArea.top, pageWidth,
                                   pageHeight, flags);
    }
    // A batch that failed on the way was already discarded by the system.
    if (batch)
        EndDeferWindowPos(batch);
}

void setMinimumSize(MainWindow* main, MINMAXINFO* limits)
{
    RECT minimum = {0, 0, MINIMUM_WIDTH, MINIMUM_HEIGHT};
    if (!MapDialogRect(main->window, &minimum))
        return;
    limits->ptMinTrackSize.x = minimum.right;
    limits->ptMinTrackSize.y = minimum.bottom;
}
