#include "window_fixture.h"
#include <commctrl.h>
#include "ui/main_window_internal.h"

namespace {

RECT childRect(HWND parent, HWND child)
{
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

TEST_F(MainWindowTest, MinimumSizeAndLayoutThere)
{
    SetWindowPos(window, nullptr, 0, 0, 10, 10, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT minimum = {0, 0, 256, 144};
    ASSERT_TRUE(MapDialogRect(window, &minimum));
    RECT outer;
    GetWindowRect(window, &outer);
    EXPECT_EQ(outer.right - outer.left, minimum.right);
    EXPECT_EQ(outer.bottom - outer.top, minimum.bottom);

    RECT units = {0, 0, 4, 8};
    MapDialogRect(window, &units);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right * 4 / units.right;
    const int height = client.bottom * 8 / units.bottom;
    ASSERT_LT(width, 278);
    ControlPlacement table[LAYOUT_CONTROL_COUNT];
    layoutTable(width, height, table);
    for (const ControlPlacement& place : table) {
        RECT expected;
        expected.left = MulDiv(place.x, units.right, 4);
        expected.top = MulDiv(place.y, units.bottom, 8);
        expected.right = expected.left + MulDiv(place.width, units.right, 4);
        expected.bottom = expected.top + MulDiv(place.height, units.bottom, 8);
        RECT got = childRect(window, control(place.id));
        EXPECT_EQ(got.left, expected.left) << place.id;
        EXPECT_EQ(got.top, expected.top) << place.id;
        EXPECT_EQ(got.right, expected.right) << place.id;
        // A drop-down list keeps the height of its edit part.
        if (place.id != ID_WORKER_COUNT) {
            EXPECT_EQ(got.bottom, expected.bottom) << place.id;
        }
    }
    RECT status = childRect(window, control(ID_STATUS_LINE));
    EXPECT_EQ(status.right - status.left, 0);

    RECT pageArea = childRect(window, control(ID_TABS));
    SendMessageW(control(ID_TABS), TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&pageArea));
    for (int i = 0; i < SETTINGS_PAGE_ROOM; ++i) {
        ASSERT_NE(main->pages[i], nullptr);
        RECT page = childRect(window, main->pages[i]);
        EXPECT_EQ(page.left, pageArea.left) << i;
        EXPECT_EQ(page.top, pageArea.top) << i;
        EXPECT_EQ(page.right, pageArea.right) << i;
        EXPECT_EQ(page.bottom, pageArea.bottom) << i;
    }
}

TEST_F(MainWindowTest, LayoutRunsOnResizeButNotOnMove)
{
    HWND button = control(ID_ADD_FILE);
    RECT placed = childRect(window, button);
    SetWindowPos(button, nullptr, 3, 5, 20, 20, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT outer;
    GetWindowRect(window, &outer);
    SetWindowPos(window, nullptr, outer.left + 7, outer.top + 9, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT moved = childRect(window, button);
    EXPECT_EQ(moved.left, 3);
    EXPECT_EQ(moved.top, 5);

    SetWindowPos(window, nullptr, 0, 0, outer.right - outer.left + 40, outer.bottom - outer.top + 30,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT resized = childRect(window, button);
    EXPECT_NE(resized.left, 3);
    EXPECT_GT(resized.left, placed.left);
    EXPECT_GT(resized.top, placed.top);
}

} // namespace
