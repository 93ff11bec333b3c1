#include "ui/settings_pages.h"
#include "jobs/job.h"
#include "settings/settings.h"
#include "ui/dialog_template.h"
#include <commctrl.h>
#include <shlobj.h>
#include <uxtheme.h>
#include <wchar.h>

// How a control shows and stores its value.
enum PageRule : uint8_t {
    RULE_NONE,          // a label
    RULE_TEMP_PATH,     // read-only field showing general_tempPath
    RULE_CHANGE_FOLDER, // the button that picks a new temporary folder
    RULE_FLAG,          // ticked when non-zero; stores 1 or 0
    RULE_STRATEGY_ON,   // ticked when exactly 1; stores 1 or 0
    RULE_PNG_ENABLE,    // ticked when png_strategy is not 0
    RULE_PNG_FOR_7Z,    // ticked when png_strategy is 2
    RULE_LIST_INDEX,    // drop-down list; the value is the item index
};

enum PageControlKind : uint8_t { CONTROL_LABEL, CONTROL_FIELD, CONTROL_BUTTON, CONTROL_CHECK, CONTROL_LIST };

struct PageControl {
    WORD id;
    uint8_t kind;
    uint8_t rule;
    const wchar_t* text;
    short x, y, cx, cy;
    uint8_t Settings::*value;
    uint8_t Settings::*enabledBy; // enabled only while that value is not 0; null: always
    const wchar_t* const* items;
    int itemCount;
};

struct SettingsPage {
    const wchar_t* caption;
    short cy;
    const PageControl* controls;
    int controlCount;
};

static const WORD ID_TEMP_PATH = 26;

static const wchar_t* const metadataItems[] = {
    L"keep all metadata",
    L"keep all metadata but thumbnail",
    L"remove all metadata but date taken",
    L"remove all metadata",
};
static const wchar_t* const optimizeItems[] = {L"ignore", L"optimize", L"extract"};
static const wchar_t* const extractItems[] = {L"ignore", L"extract"};

#define CHECK_BOX(id, text, x, y, cx, cy, value) \
    {id, CONTROL_CHECK, RULE_FLAG, text, x, y, cx, cy, &Settings::value, nullptr, nullptr, 0}
#define CHECK_BOX_IF(id, rule, text, x, y, cx, cy, value, enabledBy) \
    {id, CONTROL_CHECK, rule, text, x, y, cx, cy, &Settings::value, &Settings::enabledBy, nullptr, 0}
#define DROP_LIST(id, items, x, y, cx, cy, value)                                                         \
    {id, CONTROL_LIST, RULE_LIST_INDEX, nullptr, x, y, cx, cy, &Settings::value, nullptr, items, \
     sizeof(items) / sizeof(items[0])}

static const PageControl generalControls[] = {
    {25, CONTROL_LABEL, RULE_NONE, L"Temporary path:", 2, 5, 64, 8, nullptr, nullptr, nullptr, 0},
    {ID_TEMP_PATH, CONTROL_FIELD, RULE_TEMP_PATH, L"", 66, 2, 256, 14, nullptr, nullptr, nullptr, 0},
    {27, CONTROL_BUTTON, RULE_CHANGE_FOLDER, L"Change \u2026", 324, 2, 50, 14, nullptr, nullptr, nullptr, 0},
    CHECK_BOX(28, L"Background priority", 2, 18, 96, 14, general_backgroundPriority),
    CHECK_BOX(29, L"Force (even if already optimized)", 2, 36, 128, 10, general_forceIfAlreadyOptimized),
    CHECK_BOX(30, L"Auto-scroll", 162, 18, 128, 10, general_autoScroll),
    CHECK_BOX(62, L"Verify results before replacing", 162, 36, 128, 10, general_verifyResults),
};
static const PageControl bmpControls[] = {
    CHECK_BOX(29, L"Convert to PNG", 2, 2, 128, 10, bmp_convertToPng),
};
static const PageControl gifControls[] = {
    CHECK_BOX(30, L"Enable optimization", 2, 2, 128, 10, gif_optimize),
    CHECK_BOX(31, L"Convert non-animated GIFs to PNG (removes metadata)", 2, 16, 208, 10, gif_convertToPng),
};
static const PageControl jpgControls[] = {
    CHECK_BOX(32, L"Enable optimization", 2, 2, 128, 10, jpg_optimize),
    CHECK_BOX(33, L"Derotate", 2, 16, 64, 10, jpg_derotate),
    CHECK_BOX_IF(34, RULE_FLAG, L"Force derotation (even if losing edges)", 66, 16, 160, 10, jpg_forceDerotate,
             jpg_derotate),
    DROP_LIST(35, metadataItems, 2, 30, 140, 10, jpg_metadataStrategy),
};
static const PageControl officeControls[] = {
    CHECK_BOX(37, L"Enable optimization of DOCX, XLSX, ODT && Co.", 2, 2, 208, 10, office_optimize),
};
static const PageControl epubControls[] = {
    CHECK_BOX(37, L"Enable optimization", 2, 2, 208, 10, epub_optimize),
};
static const PageControl compoundControls[] = {
    CHECK_BOX(38, L"Enable optimization of DOC, PPT, MSI && Co.", 2, 2, 208, 10, compound_optimize),
};
// Template order is keyboard order: "Delete metadata" comes before "For 7z".
static const PageControl pngControls[] = {
    {39, CONTROL_CHECK, RULE_PNG_ENABLE, L"Enable optimization", 2, 2, 128, 10, &Settings::png_strategy,
     nullptr, nullptr, 0},
    CHECK_BOX_IF(41, RULE_FLAG, L"Delete metadata", 130, 2, 128, 10, png_stripMetadata, png_strategy),
    CHECK_BOX_IF(40, RULE_PNG_FOR_7Z, L"For 7z", 12, 16, 128, 10, png_strategy, png_strategy),
    CHECK_BOX_IF(42, RULE_FLAG, L"Clear transparent (premultiplied) pixels", 12, 30, 160, 10,
             png_stripTransparentPixels, png_strategy),
};
static const PageControl svgControls[] = {
    CHECK_BOX(43, L"Enable optimization", 2, 2, 128, 10, svg_optimize),
};
static const PageControl tiffControls[] = {
    CHECK_BOX(44, L"Convert single-page TIFFs to PNG (removes metadata)", 2, 2, 208, 10, tiff_convertToPng),
};
static const PageControl mp3Controls[] = {
    {58, CONTROL_CHECK, RULE_STRATEGY_ON, L"Enable optimization", 2, 2, 128, 10, &Settings::mp3_strategy,
     nullptr, nullptr, 0},
    CHECK_BOX_IF(59, RULE_FLAG, L"Delete metadata", 130, 2, 128, 10, mp3_stripMetadata, mp3_strategy),
};
static const PageControl flacControls[] = {
    {60, CONTROL_CHECK, RULE_STRATEGY_ON, L"Enable optimization", 2, 2, 128, 10, &Settings::flac_strategy,
     nullptr, nullptr, 0},
    CHECK_BOX_IF(61, RULE_FLAG, L"Delete metadata", 130, 2, 128, 10, flac_stripMetadata, flac_strategy),
};
static const PageControl windowsControls[] = {
    CHECK_BOX(45, L"Delete Thumbs.db", 2, 2, 128, 10, deleteThumbsDb),
    CHECK_BOX(46, L"Delete WMP AlbumArt", 2, 16, 128, 10, deleteAlbumArt),
    CHECK_BOX(47, L"Delete Folder.jpg", 2, 30, 128, 10, deleteFolderJpg),
};
static const PageControl zipControls[] = {
    DROP_LIST(48, optimizeItems, 2, 2, 128, 10, zip_strategy),
    CHECK_BOX_IF(49, RULE_FLAG, L"Recursive", 133, 3, 128, 10, zip_recursive, zip_strategy),
};
static const PageControl sevenZipControls[] = {
    DROP_LIST(50, extractItems, 2, 2, 128, 10, sevenZip_strategy),
    CHECK_BOX_IF(51, RULE_FLAG, L"Recursive", 133, 3, 128, 10, sevenZip_recursive, sevenZip_strategy),
};
static const PageControl gzipControls[] = {
    DROP_LIST(52, optimizeItems, 2, 2, 128, 10, gzip_strategy),
    CHECK_BOX_IF(53, RULE_FLAG, L"Recursive", 133, 3, 128, 10, gzip_recursive, gzip_strategy),
};
static const PageControl rarControls[] = {
    DROP_LIST(54, extractItems, 2, 2, 128, 10, rar_strategy),
    CHECK_BOX_IF(55, RULE_FLAG, L"Recursive", 133, 3, 128, 10, rar_recursive, rar_strategy),
};
static const PageControl dmgControls[] = {
    DROP_LIST(56, extractItems, 2, 2, 128, 10, dmg_strategy),
    CHECK_BOX_IF(57, RULE_FLAG, L"Recursive", 133, 3, 128, 10, dmg_recursive, dmg_strategy),
};

#undef CHECK_BOX
#undef CHECK_BOX_IF
#undef DROP_LIST

#define PAGE(caption, cy, controls) {caption, cy, controls, sizeof(controls) / sizeof(controls[0])}

static const SettingsPage pages[] = {
    PAGE(L"General", 64, generalControls),   PAGE(L"BMP", 64, bmpControls),
    PAGE(L"GIF", 64, gifControls),           PAGE(L"JPG", 64, jpgControls),
    PAGE(L"Office", 64, officeControls),     PAGE(L"EPUB", 64, epubControls),
    PAGE(L"Compound", 64, compoundControls), PAGE(L"PNG", 64, pngControls),
    PAGE(L"SVG", 64, svgControls),           PAGE(L"TIFF", 64, tiffControls),
    PAGE(L"MP3", 64, mp3Controls),           PAGE(L"FLAC", 64, flacControls),
    PAGE(L"Windows", 64, windowsControls),   PAGE(L"ZIP", 64, zipControls),
    PAGE(L"7-Zip", 32, sevenZipControls),    PAGE(L"gzip", 64, gzipControls),
    PAGE(L"RAR", 64, rarControls),           PAGE(L"DMG", 64, dmgControls),
};

#undef PAGE

static const int PAGE_COUNT = sizeof(pages) / sizeof(pages[0]);

static const wchar_t TEMP_PATH_NOTICE[] =
    L"This setting does not affect running or pending jobs. Cancel and re-add them to apply.";
static const wchar_t TEMP_PATH_NOTICE_CAPTION[] = L"New directory for temporary files";

// The system's folder browser as "Add Folder" uses it: rooted at the desktop, no title,
// file-system folders only, new dialog style.
static bool browseForFolder(HWND owner, wchar_t* path)
{
    BROWSEINFOW info = {};
    info.hwndOwner = owner;
    info.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
    if (!list)
        return false;
    bool picked = SHGetPathFromIDListW(list, path) != FALSE;
    CoTaskMemFree(list);
    return picked;
}

SettingsFolderPicker settingsPickFolder = browseForFolder;
SettingsMessageBox settingsMessageBox = MessageBoxW;

int settingsPageCount()
{
    return PAGE_COUNT;
}

const wchar_t* settingsPageCaption(int index)
{
    return index >= 0 && index < PAGE_COUNT ? pages[index].caption : nullptr;
}

void tempPathForDisplay(const wchar_t* stored, wchar_t* shown, size_t room)
{
    if (room == 0)
        return;
    size_t length = wcsnlen(stored, TEMP_PATH_ROOM - 1);
    if (length > 0 && stored[length - 1] == L'\\' && !(length >= 2 && stored[length - 2] == L':'))
        --length;
    if (length >= room)
        length = room - 1;
    wmemcpy(shown, stored, length);
    shown[length] = 0;
}

static bool isEnabledByRule(const PageControl& control)
{
    return !control.enabledBy || settings.*control.enabledBy != 0;
}

static void applyEnableRules(HWND page, const SettingsPage* record)
{
    for (int i = 0; i < record->controlCount; ++i) {
        const PageControl& control = record->controls[i];
        if (control.enabledBy)
            EnableWindow(GetDlgItem(page, control.id), isEnabledByRule(control));
    }
}

static void showControlValue(HWND page, const PageControl& control)
{
    HWND window = GetDlgItem(page, control.id);
    switch (control.rule) {
    case RULE_TEMP_PATH: {
        wchar_t shown[TEMP_PATH_ROOM];
        tempPathForDisplay(settings.general_tempPath, shown, TEMP_PATH_ROOM);
        SetWindowTextW(window, shown);
        break;
    }
    case RULE_FLAG:
    case RULE_PNG_ENABLE: {
        bool ticked = settings.*control.value != 0;
        SendMessageW(window, BM_SETCHECK, ticked ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
    }
    case RULE_STRATEGY_ON:
        SendMessageW(window, BM_SETCHECK, settings.*control.value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
    case RULE_PNG_FOR_7Z:
        SendMessageW(window, BM_SETCHECK, settings.*control.value == 2 ? BST_CHECKED : BST_UNCHECKED, 0);
        break;
    case RULE_LIST_INDEX:
        SendMessageW(window, CB_RESETCONTENT, 0, 0);
        for (int item = 0; item < control.itemCount; ++item)
            SendMessageW(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(control.items[item]));
        SendMessageW(window, CB_SETCURSEL, settings.*control.value, 0);
        break;
    default:
        break;
    }
}

static bool hasPendingJob()
{
    bool pending = false;
    EnterCriticalSection(&jobList.lock);
    for (size_t i = jobList.length; i > 0 && !pending; --i)
        pending = jobList.entries[i - 1]->state == JOB_PENDING;
    LeaveCriticalSection(&jobList.lock);
    return pending;
}

// The backslash is appended without looking at the picked path, so a drive root
// ("C:\\") is stored as "C:\\\\"; the scratch-folder routines cope with the doubled one.
static void changeTempFolder(HWND page)
{
    HWND owner = GetParent(page);
    wchar_t picked[MAX_PATH];
    picked[0] = 0;
    if (!settingsPickFolder(owner, picked))
        return;
    size_t length = wcsnlen(picked, MAX_PATH);
    if (length == 0 || length == MAX_PATH || length + 2 > TEMP_PATH_ROOM)
        return;
    wmemcpy(settings.general_tempPath, picked, length);
    settings.general_tempPath[length++] = L'\\';
    settings.general_tempPath[length] = 0;
    SetDlgItemTextW(page, ID_TEMP_PATH, picked);
    // A run of adding takes its copy of the path when it starts; queued jobs keep theirs.
    if (hasPendingJob())
        settingsMessageBox(owner, TEMP_PATH_NOTICE, TEMP_PATH_NOTICE_CAPTION, MB_OK | MB_SETFOREGROUND);
}

static void storeControlValue(HWND page, const PageControl& control)
{
    HWND window = GetDlgItem(page, control.id);
    switch (control.rule) {
    case RULE_FLAG:
    case RULE_STRATEGY_ON:
        settings.*control.value = SendMessageW(window, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
        break;
    case RULE_PNG_ENABLE:
    case RULE_PNG_FOR_7Z: {
        // "For 7z" keeps its tick while disabled, so re-enabling restores strategy 2.
        bool enabled = IsDlgButtonChecked(page, 39) == BST_CHECKED;
        bool for7z = IsDlgButtonChecked(page, 40) == BST_CHECKED;
        settings.png_strategy = !enabled ? 0 : for7z ? 2 : 1;
        break;
    }
    case RULE_LIST_INDEX: {
        // Read on every notification, so a cancelled drop-down leaves the value it shows.
        LRESULT index = SendMessageW(window, CB_GETCURSEL, 0, 0);
        if (index >= 0 && index < control.itemCount)
            settings.*control.value = static_cast<uint8_t>(index);
        break;
    }
    default:
        break;
    }
}

static BOOL onPageInit(HWND page, const SettingsPage* record)
{
    SetWindowLongPtrW(page, DWLP_USER, reinterpret_cast<LONG_PTR>(record));
    for (int i = 0; i < record->controlCount; ++i)
        showControlValue(page, record->controls[i]);
    applyEnableRules(page, record);
    return TRUE;
}

static BOOL onPageCommand(HWND page, const SettingsPage* record, WORD id, WORD code)
{
    for (int i = 0; i < record->controlCount; ++i) {
        const PageControl& control = record->controls[i];
        if (control.id != id)
            continue;
        if (control.rule == RULE_NONE || control.rule == RULE_TEMP_PATH)
            return FALSE;
        if (control.rule == RULE_CHANGE_FOLDER) {
            if (code != BN_CLICKED)
                return FALSE;
            changeTempFolder(page);
            return TRUE;
        }
        storeControlValue(page, control);
        applyEnableRules(page, record);
        return TRUE;
    }
    return FALSE;
}

static INT_PTR CALLBACK settingsPageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return onPageInit(page, reinterpret_cast<const SettingsPage*>(lParam));
    const SettingsPage* record = reinterpret_cast<const SettingsPage*>(GetWindowLongPtrW(page, DWLP_USER));
    if (!record)
        return FALSE;
    switch (message) {
    case WM_COMMAND:
        return onPageCommand(page, record, LOWORD(wParam), HIWORD(wParam));
    default:
        return FALSE;
    }
}

static const DWORD CHILD = WS_CHILD | WS_VISIBLE;

static DWORD controlStyle(const PageControl& control)
{
    switch (control.kind) {
    case CONTROL_LABEL:
        return CHILD | SS_LEFT;
    case CONTROL_FIELD:
        return CHILD | WS_BORDER | WS_TABSTOP | ES_LEFT | ES_READONLY | ES_AUTOHSCROLL;
    case CONTROL_BUTTON:
        return CHILD | WS_TABSTOP | BS_PUSHBUTTON;
    case CONTROL_CHECK:
        return CHILD | WS_TABSTOP | BS_AUTOCHECKBOX;
    default:
        return CHILD | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
    }
}

static WORD controlClass(const PageControl& control)
{
    switch (control.kind) {
    case CONTROL_LABEL:
        return DIALOG_CLASS_STATIC;
    case CONTROL_FIELD:
        return DIALOG_CLASS_EDIT;
    case CONTROL_LIST:
        return DIALOG_CLASS_COMBOBOX;
    default:
        return DIALOG_CLASS_BUTTON;
    }
}

HWND createSettingsPage(HWND mainWindow, int index)
{
    if (index < 0 || index >= PAGE_COUNT)
        return nullptr;
    const SettingsPage& record = pages[index];
    DialogTemplate t;
    // Hidden: the main window shows one page at a time.
    beginDialogTemplate(&t, WS_CHILD | WS_CLIPCHILDREN | DS_CONTROL | DS_SHELLFONT, 0, 0, 0, 256, record.cy,
                        record.caption, 8, L"MS Shell Dlg 2");
    for (int i = 0; i < record.controlCount; ++i) {
        const PageControl& control = record.controls[i];
        addDialogControl(&t, control.id, controlClass(control), control.text, controlStyle(control), 0,
                         control.x, control.y, control.cx, control.cy);
    }
    HWND page = nullptr;
    const DLGTEMPLATE* data = dialogTemplateData(&t);
    if (data)
        page = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), data, mainWindow, settingsPageProc,
                                          reinterpret_cast<LPARAM>(&record));
    freeDialogTemplate(&t);
    if (page)
        EnableThemeDialogTexture(page, ETDT_ENABLETAB);
    return page;
}
