// Empty settings pages with the real captions, built only while the real
// pages are missing from the tree, so the window can run without them.
#include "settings/settings_pages.h"
#include "ui/dialog_template.h"

static const wchar_t* const CAPTIONS[] = {
    L"General", L"BMP", L"GIF", L"JPG", L"Office", L"EPUB", L"Compound", L"PNG", L"SVG",
    L"TIFF", L"MP3", L"FLAC", L"Windows", L"ZIP", L"7-Zip", L"gzip", L"RAR", L"DMG",
};
static const int PAGE_COUNT = sizeof(CAPTIONS) / sizeof(CAPTIONS[0]);

int settingsPageCount()
{
    return PAGE_COUNT;
}

const wchar_t* settingsPageCaption(int index)
{
    return index >= 0 && index < PAGE_COUNT ? CAPTIONS[index] : L"";
}

static INT_PTR CALLBACK emptyPageProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

HWND createSettingsPage(HWND mainWindow, int index)
{
    if (index < 0 || index >= PAGE_COUNT)
        return nullptr;
    DialogTemplate t;
    beginDialogTemplate(&t, WS_CHILD | WS_CLIPCHILDREN | DS_CONTROL | DS_SETFONT | DS_FIXEDSYS, WS_EX_CONTROLPARENT,
                        0, 0, 256, 64, CAPTIONS[index], 8, L"MS Shell Dlg 2");
    const DLGTEMPLATE* data = dialogTemplateData(&t);
    HWND page = data ? CreateDialogIndirectParamW(GetModuleHandleW(nullptr), data, mainWindow, emptyPageProc, 0)
                     : nullptr;
    freeDialogTemplate(&t);
    return page;
}
