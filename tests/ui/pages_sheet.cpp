// Renders all 18 settings pages, each under its caption, into one BMP for the
// documentation: pages_sheet <output.bmp>. Run under a display (Xvfb); see
// make_pages_sheet.sh, which turns the result into docs/settings-pages.png.
#include "jobs/job.h"
#include "settings/settings.h"
#include "ui/settings_pages.h"
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <wchar.h>

// Cell of one page in dialog units: the General page reaches x = 374 and y = 46.
static const int CELL_WIDTH = 384;
static const int CAPTION_HEIGHT = 11;
static const int PAGE_HEIGHT = 50;
static const int ROWS = 9;

static void pumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

static bool writeBitmap(const wchar_t* path, HDC source, int width, int height)
{
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, 0, 0, SRCCOPY);
    SelectObject(memory, old);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof(info);
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD stride = (width * 3 + 3) & ~3u;
    DWORD imageLength = stride * height;
    BYTE* pixels = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, imageLength));
    bool ok = pixels && GetDIBits(memory, bitmap, 0, height, pixels, reinterpret_cast<BITMAPINFO*>(&info),
                                  DIB_RGB_COLORS) == height;
    if (ok) {
        BITMAPFILEHEADER file = {};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof(file) + sizeof(info);
        file.bfSize = file.bfOffBits + imageLength;
        HANDLE output = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        ok = output != INVALID_HANDLE_VALUE && WriteFile(output, &file, sizeof(file), &written, nullptr) &&
             WriteFile(output, &info, sizeof(info), &written, nullptr) &&
             WriteFile(output, pixels, imageLength, &written, nullptr) && written == imageLength;
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
    }
    if (pixels)
        HeapFree(GetProcessHeap(), 0, pixels);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return ok;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        fputs("usage: pages_sheet <output.bmp>\n", stderr);
        return 2;
    }
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    initJobList(&jobList);
    setDefaultSettings(&settings);
    // A fixed path, so the picture does not show the machine it was made on.
    wcscpy(settings.general_tempPath, L"C:\\Users\\Vell\\AppData\\Local\\Temp\\");

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = L"VellPagesSheet";
    RegisterClassW(&windowClass);
    HWND frame = CreateWindowExW(0, L"VellPagesSheet", L"Settings pages", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                                 100, 100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!frame)
        return 1;

    HWND pages[18] = {};
    int count = settingsPageCount();
    for (int i = 0; i < count && i < 18; ++i) {
        pages[i] = createSettingsPage(frame, i);
        if (!pages[i])
            return 1;
    }
    RECT cell = {0, 0, CELL_WIDTH, CAPTION_HEIGHT + PAGE_HEIGHT};
    MapDialogRect(pages[0], &cell);
    RECT caption = {4, 1, CELL_WIDTH, CAPTION_HEIGHT};
    MapDialogRect(pages[0], &caption);
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(pages[0], WM_GETFONT, 0, 0));
    LOGFONTW bold = {};
    GetObjectW(font, sizeof(bold), &bold);
    bold.lfWeight = FW_BOLD;
    HFONT boldFont = CreateFontIndirectW(&bold);

    int columns = (count + ROWS - 1) / ROWS;
    int width = cell.right * columns;
    int height = cell.bottom * ROWS;
    SetWindowPos(frame, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
    for (int i = 0; i < count; ++i) {
        int left = (i / ROWS) * cell.right;
        int top = (i % ROWS) * cell.bottom;
        wchar_t title[32];
        swprintf(title, 32, L"%d  %ls", i, settingsPageCaption(i));
        HWND label = CreateWindowExW(0, L"Static", title, WS_CHILD | WS_VISIBLE | SS_LEFT | SS_SUNKEN,
                                     left + caption.left, top + caption.top, cell.right - 2 * caption.left,
                                     caption.bottom - caption.top, frame, nullptr, nullptr, nullptr);
        SendMessageW(label, WM_SETFONT, reinterpret_cast<WPARAM>(boldFont), FALSE);
        SetWindowPos(pages[i], nullptr, left + caption.left, top + caption.bottom, cell.right - 2 * caption.left,
                     cell.bottom - caption.bottom, SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    }
    ShowWindow(frame, SW_SHOWNA);
    for (int round = 0; round < 20; ++round) {
        RedrawWindow(frame, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
        pumpMessages();
        Sleep(50);
    }
    HDC source = GetDC(frame);
    bool ok = writeBitmap(argv[1], source, width, height);
    ReleaseDC(frame, source);
    DestroyWindow(frame);
    DeleteObject(boldFont);
    return ok ? 0 : 1;
}
