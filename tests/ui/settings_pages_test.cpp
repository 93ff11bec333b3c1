#include <gtest/gtest.h>
#include "jobs/job.h"
#include "settings/settings.h"
#include "support/test_job.h"
#include "ui/settings_pages.h"
#include <windows.h>
#include <string>
#include <vector>

namespace {

// What every page must hold, transcribed independently of the product's table.
struct ExpectedControl {
    int id;
    const wchar_t* className;
    const wchar_t* text; // null where the text is a value
    int x, y, cx, cy;
};

struct ExpectedPage {
    const wchar_t* caption;
    int cy;
    std::vector<ExpectedControl> controls;
    std::vector<const wchar_t*> items; // of the page's drop-down list
};

const std::vector<const wchar_t*> noItems;
const std::vector<const wchar_t*> metadataItems = {L"keep all metadata", L"keep all metadata but thumbnail",
                                                   L"remove all metadata but date taken",
                                                   L"remove all metadata"};
const std::vector<const wchar_t*> optimizeItems = {L"ignore", L"optimize", L"extract"};
const std::vector<const wchar_t*> extractItems = {L"ignore", L"extract"};

const ExpectedPage expectedPages[] = {
    {L"General", 64,
     {{25, L"Static", L"Temporary path:", 2, 5, 64, 8},
      {26, L"Edit", nullptr, 66, 2, 256, 14},
      {27, L"Button", L"Change \u2026", 324, 2, 50, 14},
      {28, L"Button", L"Background priority", 2, 18, 96, 14},
      {29, L"Button", L"Force (even if already optimized)", 2, 36, 128, 10},
      {30, L"Button", L"Auto-scroll", 162, 18, 128, 10},
      {62, L"Button", L"Verify results before replacing", 162, 36, 128, 10}},
     noItems},
    {L"BMP", 64, {{29, L"Button", L"Convert to PNG", 2, 2, 128, 10}}, noItems},
    {L"GIF", 64,
     {{30, L"Button", L"Enable optimization", 2, 2, 128, 10},
      {31, L"Button", L"Convert non-animated GIFs to PNG (removes metadata)", 2, 16, 208, 10}},
     noItems},
    {L"JPG", 64,
     {{32, L"Button", L"Enable optimization", 2, 2, 128, 10},
      {33, L"Button", L"Derotate", 2, 16, 64, 10},
      {34, L"Button", L"Force derotation (even if losing edges)", 66, 16, 160, 10},
      {35, L"ComboBox", nullptr, 2, 30, 140, 10}},
     metadataItems},
    {L"Office", 64, {{37, L"Button", L"Enable optimization of DOCX, XLSX, ODT && Co.", 2, 2, 208, 10}}, noItems},
    {L"EPUB", 64, {{37, L"Button", L"Enable optimization", 2, 2, 208, 10}}, noItems},
    {L"Compound", 64, {{38, L"Button", L"Enable optimization of DOC, PPT, MSI && Co.", 2, 2, 208, 10}}, noItems},
    {L"PNG", 64,
     {{39, L"Button", L"Enable optimization", 2, 2, 128, 10},
      {41, L"Button", L"Delete metadata", 130, 2, 128, 10},
      {40, L"Button", L"For 7z", 12, 16, 128, 10},
      {42, L"Button", L"Clear transparent (premultiplied) pixels", 12, 30, 160, 10}},
     noItems},
    {L"SVG", 64, {{43, L"Button", L"Enable optimization", 2, 2, 128, 10}}, noItems},
    {L"TIFF", 64, {{44, L"Button", L"Convert single-page TIFFs to PNG (removes metadata)", 2, 2, 208, 10}}, noItems},
    {L"MP3", 64,
     {{58, L"Button", L"Enable optimization", 2, 2, 128, 10}, {59, L"Button", L"Delete metadata", 130, 2, 128, 10}},
     noItems},
    {L"FLAC", 64,
     {{60, L"Button", L"Enable optimization", 2, 2, 128, 10}, {61, L"Button", L"Delete metadata", 130, 2, 128, 10}},
     noItems},
    {L"Windows", 64,
     {{45, L"Button", L"Delete Thumbs.db", 2, 2, 128, 10},
      {46, L"Button", L"Delete WMP AlbumArt", 2, 16, 128, 10},
      {47, L"Button", L"Delete Folder.jpg", 2, 30, 128, 10}},
     noItems},
    {L"ZIP", 64, {{48, L"ComboBox", nullptr, 2, 2, 128, 10}, {49, L"Button", L"Recursive", 133, 3, 128, 10}},
     optimizeItems},
    {L"7-Zip", 32, {{50, L"ComboBox", nullptr, 2, 2, 128, 10}, {51, L"Button", L"Recursive", 133, 3, 128, 10}},
     extractItems},
    {L"gzip", 64, {{52, L"ComboBox", nullptr, 2, 2, 128, 10}, {53, L"Button", L"Recursive", 133, 3, 128, 10}},
     optimizeItems},
    {L"RAR", 64, {{54, L"ComboBox", nullptr, 2, 2, 128, 10}, {55, L"Button", L"Recursive", 133, 3, 128, 10}},
     extractItems},
    {L"DMG", 64, {{56, L"ComboBox", nullptr, 2, 2, 128, 10}, {57, L"Button", L"Recursive", 133, 3, 128, 10}},
     extractItems},
};

enum { PAGE_GENERAL = 0, PAGE_JPG = 3, PAGE_PNG = 7, PAGE_MP3 = 10, PAGE_FLAC = 11, PAGE_ZIP = 13 };

std::wstring windowText(HWND window)
{
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring classOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// Seams: what the folder browser answers and what the message box was asked.
struct FolderChangeRecord {
    bool answer;
    std::wstring picked;
    HWND pickerOwner;
    int pickerCalls;
    int boxCalls;
    HWND boxOwner;
    std::wstring boxText;
    std::wstring boxCaption;
    UINT boxType;
    std::wstring pathWhenShown;
} folderChange;

bool fakePickFolder(HWND owner, wchar_t* path)
{
    ++folderChange.pickerCalls;
    folderChange.pickerOwner = owner;
    if (!folderChange.answer)
        return false;
    wcsncpy(path, folderChange.picked.c_str(), MAX_PATH);
    return true;
}

int WINAPI fakeMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type)
{
    ++folderChange.boxCalls;
    folderChange.boxOwner = owner;
    folderChange.boxText = text;
    folderChange.boxCaption = caption;
    folderChange.boxType = type;
    folderChange.pathWhenShown = settings.general_tempPath;
    return IDOK;
}

class SettingsPages : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Both suites share the one job list; its lock is initialised once.
        static bool initialised = false;
        if (!initialised)
            initJobList(&jobList);
        initialised = true;
    }

    void SetUp() override
    {
        saved = settings;
        setDefaultSettings(&settings);
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VellPagesTestParent";
        RegisterClassW(&windowClass);
        parent = CreateWindowExW(0, L"VellPagesTestParent", L"pages", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                                 800, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(parent, nullptr);
        folderChange = FolderChangeRecord();
        settingsPickFolder = fakePickFolder;
        settingsMessageBox = fakeMessageBox;
    }

    void TearDown() override
    {
        DestroyWindow(parent);
        discardAllJobs();
        settings = saved;
    }

    HWND open(int index)
    {
        HWND page = createSettingsPage(parent, index);
        EXPECT_NE(page, nullptr) << index;
        return page;
    }

    void addJob(JobState state)
    {
        TestJob record;
        record.pending = false;
        record.append = true;
        Job* job = createTestJob(record);
        ASSERT_NE(job, nullptr);
        job->state = state;
    }

    static bool ticked(HWND page, int id) { return IsDlgButtonChecked(page, id) == BST_CHECKED; }
    static bool enabled(HWND page, int id) { return IsWindowEnabled(GetDlgItem(page, id)) != FALSE; }
    static void click(HWND page, int id) { SendDlgItemMessageW(page, id, BM_CLICK, 0, 0); }
    static LRESULT selection(HWND page, int id) { return SendDlgItemMessageW(page, id, CB_GETCURSEL, 0, 0); }
    static void choose(HWND page, int id, int index, WORD code)
    {
        SendDlgItemMessageW(page, id, CB_SETCURSEL, index, 0);
        SendMessageW(page, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(page, id)));
    }

    Settings saved;
    HWND parent = nullptr;
};

TEST_F(SettingsPages, CountCaptionsAndOutOfRange)
{
    ASSERT_EQ(settingsPageCount(), 18);
    for (int i = 0; i < 18; ++i)
        EXPECT_STREQ(settingsPageCaption(i), expectedPages[i].caption) << i;
    EXPECT_EQ(settingsPageCaption(-1), nullptr);
    EXPECT_EQ(settingsPageCaption(18), nullptr);
    EXPECT_EQ(createSettingsPage(parent, 18), nullptr);
    EXPECT_EQ(createSettingsPage(parent, -1), nullptr);
}

TEST_F(SettingsPages, EveryPageHasItsWindowStyleFontAndSize)
{
    for (int i = 0; i < 18; ++i) {
        SCOPED_TRACE(testing::Message() << "page " << i);
        HWND page = open(i);
        ASSERT_NE(page, nullptr);
        EXPECT_EQ(GetParent(page), parent);
        EXPECT_EQ(windowText(page), expectedPages[i].caption);
        LONG style = GetWindowLongW(page, GWL_STYLE);
        LONG exStyle = GetWindowLongW(page, GWL_EXSTYLE);
        EXPECT_TRUE(style & WS_CHILD);
        EXPECT_TRUE(style & WS_CLIPCHILDREN);
        EXPECT_FALSE(style & WS_VISIBLE) << "the main window shows one page at a time";
        EXPECT_NE(style & WS_CAPTION, WS_CAPTION);
        EXPECT_TRUE(exStyle & WS_EX_CONTROLPARENT);

        HFONT font = reinterpret_cast<HFONT>(SendMessageW(page, WM_GETFONT, 0, 0));
        ASSERT_NE(font, nullptr);
        LOGFONTW logFont = {};
        GetObjectW(font, sizeof(logFont), &logFont);
        EXPECT_STREQ(logFont.lfFaceName, L"MS Shell Dlg 2");

        RECT expected = {0, 0, 256, expectedPages[i].cy};
        MapDialogRect(page, &expected);
        RECT client;
        GetClientRect(page, &client);
        EXPECT_EQ(client.right, expected.right);
        EXPECT_EQ(client.bottom, expected.bottom);
    }
}

TEST_F(SettingsPages, EveryControlHasItsIdClassTextStyleAndPlace)
{
    for (int i = 0; i < 18; ++i) {
        HWND page = open(i);
        ASSERT_NE(page, nullptr);
        const ExpectedPage& expectedPage = expectedPages[i];
        HWND child = GetWindow(page, GW_CHILD);
        for (const ExpectedControl& expected : expectedPage.controls) {
            SCOPED_TRACE(testing::Message() << "page " << i << " control " << expected.id);
            ASSERT_NE(child, nullptr) << "missing control";
            EXPECT_EQ(GetDlgCtrlID(child), expected.id) << "template order";
            EXPECT_EQ(classOf(child), expected.className);
            LONG style = GetWindowLongW(child, GWL_STYLE);
            EXPECT_TRUE(style & WS_VISIBLE);
            std::wstring className = expected.className;
            if (className == L"Button" && expected.id != 27) {
                EXPECT_EQ(style & BS_TYPEMASK, BS_AUTOCHECKBOX);
                EXPECT_TRUE(style & WS_TABSTOP);
            } else if (className == L"Button") {
                EXPECT_EQ(style & BS_TYPEMASK, BS_PUSHBUTTON);
                EXPECT_TRUE(style & WS_TABSTOP);
            } else if (className == L"ComboBox") {
                EXPECT_EQ(style & 3, CBS_DROPDOWNLIST);
                EXPECT_TRUE(style & WS_TABSTOP);
                // The combo box hands its scroll bar style on to its list.
                COMBOBOXINFO info = {sizeof(info)};
                ASSERT_TRUE(GetComboBoxInfo(child, &info));
                EXPECT_TRUE(GetWindowLongW(info.hwndList, GWL_STYLE) & WS_VSCROLL);
            } else if (className == L"Edit") {
                EXPECT_TRUE(style & ES_READONLY);
                // The dialog manager turns a border into a sunken edge.
                EXPECT_TRUE((style & WS_BORDER) || (GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE));
            } else {
                EXPECT_FALSE(style & WS_TABSTOP);
            }
            if (expected.text) {
                EXPECT_EQ(windowText(child), expected.text);
            }

            RECT want = {expected.x, expected.y, expected.x + expected.cx, expected.y + expected.cy};
            MapDialogRect(page, &want);
            RECT have;
            GetWindowRect(child, &have);
            MapWindowPoints(nullptr, page, reinterpret_cast<POINT*>(&have), 2);
            EXPECT_EQ(have.left, want.left);
            EXPECT_EQ(have.top, want.top);
            EXPECT_EQ(have.right, want.right);
            // A closed drop-down list is as tall as its selection field; its template
            // height is the height of the dropped list.
            if (className != L"ComboBox") {
                EXPECT_EQ(have.bottom, want.bottom);
            }
            if (className == L"ComboBox") {
                ASSERT_EQ(SendMessageW(child, CB_GETCOUNT, 0, 0), static_cast<LRESULT>(expectedPage.items.size()));
                for (size_t item = 0; item < expectedPage.items.size(); ++item) {
                    wchar_t text[64] = {};
                    SendMessageW(child, CB_GETLBTEXT, item, reinterpret_cast<LPARAM>(text));
                    EXPECT_STREQ(text, expectedPage.items[item]);
                }
            }
            child = GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr) << "page " << i << " has more controls than listed";
    }
}

TEST_F(SettingsPages, PngKeyboardOrderIsEnableDeleteFor7zClear)
{
    HWND page = open(PAGE_PNG);
    ASSERT_NE(page, nullptr);
    // The tab walk only sees visible controls.
    ShowWindow(page, SW_SHOWNA);
    const int order[] = {39, 41, 40, 42, 39};
    HWND current = GetDlgItem(page, order[0]);
    for (int i = 1; i < 5; ++i) {
        current = GetNextDlgTabItem(page, current, FALSE);
        EXPECT_EQ(GetDlgCtrlID(current), order[i]) << "step " << i;
    }
}

// Initial states: settings as stored, and what each control shows.
struct ShownState {
    int id;
    int checked; // -1: not a check box
    bool enabled;
    int selection; // -1: not a list
};

struct InitialCase {
    const char* name;
    int page;
    void (*prepare)(Settings* s);
    std::vector<ShownState> shown;
};

const InitialCase initialCases[] = {
    {"mp3 off keeps delete tick but disabled", PAGE_MP3,
     [](Settings* s) { s->mp3_strategy = 0, s->mp3_stripMetadata = 1; },
     {{58, 0, true, -1}, {59, 1, false, -1}}},
    {"mp3 on", PAGE_MP3, [](Settings* s) { s->mp3_strategy = 1, s->mp3_stripMetadata = 0; },
     {{58, 1, true, -1}, {59, 0, true, -1}}},
    {"flac off", PAGE_FLAC, [](Settings* s) { s->flac_strategy = 0, s->flac_stripMetadata = 1; },
     {{60, 0, true, -1}, {61, 1, false, -1}}},
    {"flac on", PAGE_FLAC, [](Settings* s) { s->flac_strategy = 1, s->flac_stripMetadata = 1; },
     {{60, 1, true, -1}, {61, 1, true, -1}}},
    {"png off", PAGE_PNG,
     [](Settings* s) { s->png_strategy = 0, s->png_stripMetadata = 1, s->png_stripTransparentPixels = 1; },
     {{39, 0, true, -1}, {40, 0, false, -1}, {41, 1, false, -1}, {42, 1, false, -1}}},
    {"png optimize", PAGE_PNG, [](Settings* s) { s->png_strategy = 1; },
     {{39, 1, true, -1}, {40, 0, true, -1}, {41, 0, true, -1}, {42, 0, true, -1}}},
    {"png for 7z", PAGE_PNG, [](Settings* s) { s->png_strategy = 2, s->png_stripTransparentPixels = 1; },
     {{39, 1, true, -1}, {40, 1, true, -1}, {41, 0, true, -1}, {42, 1, true, -1}}},
    {"jpg without derotation", PAGE_JPG,
     [](Settings* s) { s->jpg_optimize = 0, s->jpg_derotate = 0, s->jpg_forceDerotate = 1, s->jpg_metadataStrategy = 3; },
     {{32, 0, true, -1}, {33, 0, true, -1}, {34, 1, false, -1}, {35, -1, true, 3}}},
    {"jpg with derotation", PAGE_JPG, [](Settings* s) { s->jpg_metadataStrategy = 1; },
     {{32, 1, true, -1}, {33, 1, true, -1}, {34, 0, true, -1}, {35, -1, true, 1}}},
    {"zip ignored keeps recursive", PAGE_ZIP, [](Settings* s) { s->zip_strategy = 0, s->zip_recursive = 1; },
     {{48, -1, true, 0}, {49, 1, false, -1}}},
    {"zip extract", PAGE_ZIP, [](Settings* s) { s->zip_strategy = 2; }, {{48, -1, true, 2}, {49, 0, true, -1}}},
    {"7z extract", 14, [](Settings* s) { s->sevenZip_strategy = 1, s->sevenZip_recursive = 1; },
     {{50, -1, true, 1}, {51, 1, true, -1}}},
    {"gzip optimize", 15, [](Settings* s) { s->gzip_strategy = 1; }, {{52, -1, true, 1}, {53, 0, true, -1}}},
    {"rar ignored", 16, [](Settings* s) { s->rar_strategy = 0, s->rar_recursive = 1; },
     {{54, -1, true, 0}, {55, 1, false, -1}}},
    {"dmg extract", 17, [](Settings* s) { s->dmg_strategy = 1; }, {{56, -1, true, 1}, {57, 0, true, -1}}},
    {"general", PAGE_GENERAL,
     [](Settings* s) { s->general_backgroundPriority = 0, s->general_forceIfAlreadyOptimized = 1, s->general_autoScroll = 1; },
     {{26, -1, true, -1}, {27, -1, true, -1}, {28, 0, true, -1}, {29, 1, true, -1}, {30, 1, true, -1},
      {62, 1, true, -1}}},
    {"general without verification", PAGE_GENERAL, [](Settings* s) { s->general_verifyResults = 0; },
     {{62, 0, true, -1}}},
    {"windows", 12, [](Settings* s) { s->deleteAlbumArt = 0; },
     {{45, 1, true, -1}, {46, 0, true, -1}, {47, 1, true, -1}}},
    {"gif", 2, [](Settings* s) { s->gif_optimize = 0, s->gif_convertToPng = 1; },
     {{30, 0, true, -1}, {31, 1, true, -1}}},
};

TEST_F(SettingsPages, InitialStatesFollowStoredSettings)
{
    for (const InitialCase& c : initialCases) {
        SCOPED_TRACE(c.name);
        setDefaultSettings(&settings);
        c.prepare(&settings);
        HWND page = open(c.page);
        ASSERT_NE(page, nullptr);
        for (const ShownState& state : c.shown) {
            SCOPED_TRACE(testing::Message() << "control " << state.id);
            if (state.checked >= 0) {
                EXPECT_EQ(ticked(page, state.id), state.checked == 1);
            }
            EXPECT_EQ(enabled(page, state.id), state.enabled);
            if (state.selection >= 0) {
                EXPECT_EQ(selection(page, state.id), state.selection);
            }
        }
        DestroyWindow(page);
    }
}

// Every check box stores its state: each click flips the value between 1 and 0.
struct CheckCase {
    int page;
    int id;
    uint8_t Settings::*value;
};

const CheckCase checkCases[] = {
    {0, 28, &Settings::general_backgroundPriority}, {0, 29, &Settings::general_forceIfAlreadyOptimized},
    {0, 30, &Settings::general_autoScroll},         {0, 62, &Settings::general_verifyResults},
    {1, 29, &Settings::bmp_convertToPng},
    {2, 30, &Settings::gif_optimize},               {2, 31, &Settings::gif_convertToPng},
    {3, 32, &Settings::jpg_optimize},               {3, 33, &Settings::jpg_derotate},
    {3, 34, &Settings::jpg_forceDerotate},          {4, 37, &Settings::office_optimize},
    {5, 37, &Settings::epub_optimize},              {6, 38, &Settings::compound_optimize},
    {7, 41, &Settings::png_stripMetadata},          {7, 42, &Settings::png_stripTransparentPixels},
    {8, 43, &Settings::svg_optimize},               {9, 44, &Settings::tiff_convertToPng},
    {10, 58, &Settings::mp3_strategy},              {10, 59, &Settings::mp3_stripMetadata},
    {11, 60, &Settings::flac_strategy},             {11, 61, &Settings::flac_stripMetadata},
    {12, 45, &Settings::deleteThumbsDb},            {12, 46, &Settings::deleteAlbumArt},
    {12, 47, &Settings::deleteFolderJpg},           {13, 49, &Settings::zip_recursive},
    {14, 51, &Settings::sevenZip_recursive},        {15, 53, &Settings::gzip_recursive},
    {16, 55, &Settings::rar_recursive},             {17, 57, &Settings::dmg_recursive},
};

TEST_F(SettingsPages, EveryCheckBoxStoresItsState)
{
    for (const CheckCase& c : checkCases) {
        SCOPED_TRACE(testing::Message() << "page " << c.page << " control " << c.id);
        setDefaultSettings(&settings);
        // The dependants' masters on, so that every box is enabled.
        settings.zip_strategy = settings.gzip_strategy = 1;
        settings.sevenZip_strategy = settings.rar_strategy = settings.dmg_strategy = 1;
        settings.*c.value = 0;
        Settings before = settings;
        HWND page = open(c.page);
        ASSERT_NE(page, nullptr);
        ASSERT_TRUE(enabled(page, c.id));
        click(page, c.id);
        EXPECT_EQ(settings.*c.value, 1);
        click(page, c.id);
        EXPECT_EQ(settings.*c.value, 0);
        click(page, c.id);
        EXPECT_EQ(settings.*c.value, 1);
        // Nothing else changed.
        settings.*c.value = 0;
        EXPECT_EQ(memcmp(&before, &settings, sizeof(Settings)), 0);
        DestroyWindow(page);
    }
}

struct ListCase {
    int page;
    int id;
    int recursiveId;
    uint8_t Settings::*value;
    int itemCount;
};

const ListCase listCases[] = {
    {3, 35, 0, &Settings::jpg_metadataStrategy, 4},  {13, 48, 49, &Settings::zip_strategy, 3},
    {14, 50, 51, &Settings::sevenZip_strategy, 2},   {15, 52, 53, &Settings::gzip_strategy, 3},
    {16, 54, 55, &Settings::rar_strategy, 2},        {17, 56, 57, &Settings::dmg_strategy, 2},
};

TEST_F(SettingsPages, DropDownListsStoreTheIndexOnEveryNotification)
{
    const WORD codes[] = {CBN_SELCHANGE, CBN_SELENDCANCEL, CBN_CLOSEUP, CBN_KILLFOCUS};
    for (const ListCase& c : listCases) {
        setDefaultSettings(&settings);
        HWND page = open(c.page);
        ASSERT_NE(page, nullptr);
        for (WORD code : codes) {
            for (int index = c.itemCount - 1; index >= 0; --index) {
                SCOPED_TRACE(testing::Message() << "list " << c.id << " code " << code << " item " << index);
                choose(page, c.id, index, code);
                EXPECT_EQ(settings.*c.value, index);
                if (c.recursiveId) {
                    EXPECT_EQ(enabled(page, c.recursiveId), index != 0);
                }
            }
        }
        DestroyWindow(page);
    }
}

TEST_F(SettingsPages, ZipIgnoreDisablesRecursiveButKeepsItsValue)
{
    settings.zip_strategy = 1;
    settings.zip_recursive = 1;
    HWND page = open(PAGE_ZIP);
    ASSERT_NE(page, nullptr);
    choose(page, 48, 0, CBN_SELCHANGE);
    EXPECT_EQ(settings.zip_strategy, 0);
    EXPECT_FALSE(enabled(page, 49));
    EXPECT_TRUE(ticked(page, 49));
    EXPECT_EQ(settings.zip_recursive, 1);
    choose(page, 48, 2, CBN_SELCHANGE);
    EXPECT_EQ(settings.zip_strategy, 2);
    EXPECT_TRUE(enabled(page, 49));
    EXPECT_EQ(settings.zip_recursive, 1);
}

TEST_F(SettingsPages, PngEnableAndFor7zShareTheStrategy)
{
    struct Step {
        int id;
        uint8_t strategy;
        bool dependantsEnabled;
        bool for7zTicked;
    } const steps[] = {
        {40, 2, true, true},   // 1 -> 2
        {39, 0, false, true},  // cleared while "For 7z" ticked
        {39, 2, true, true},   // ticked again: "For 7z" kept its tick
        {40, 1, true, false},  // back to plain optimization
        {39, 0, false, false}, //
        {39, 1, true, false},  //
    };
    settings.png_strategy = 1;
    HWND page = open(PAGE_PNG);
    ASSERT_NE(page, nullptr);
    int number = 0;
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << number++);
        click(page, step.id);
        EXPECT_EQ(settings.png_strategy, step.strategy);
        EXPECT_EQ(enabled(page, 40), step.dependantsEnabled);
        EXPECT_EQ(enabled(page, 41), step.dependantsEnabled);
        EXPECT_EQ(enabled(page, 42), step.dependantsEnabled);
        EXPECT_EQ(ticked(page, 40), step.for7zTicked);
        EXPECT_TRUE(enabled(page, 39));
    }
}

TEST_F(SettingsPages, EnableRulesFollowTheirMaster)
{
    struct Case {
        int page;
        int master;
        int dependant;
    } const cases[] = {{PAGE_JPG, 33, 34}, {PAGE_MP3, 58, 59}, {PAGE_FLAC, 60, 61}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "master " << c.master);
        setDefaultSettings(&settings);
        HWND page = open(c.page);
        ASSERT_NE(page, nullptr);
        ASSERT_TRUE(ticked(page, c.master));
        click(page, c.dependant);
        EXPECT_TRUE(ticked(page, c.dependant));
        click(page, c.master);
        EXPECT_FALSE(enabled(page, c.dependant));
        EXPECT_TRUE(ticked(page, c.dependant)) << "a disabled box keeps its tick";
        click(page, c.master);
        EXPECT_TRUE(enabled(page, c.dependant));
        DestroyWindow(page);
    }
    // Only the master changes the enabled state.
    setDefaultSettings(&settings);
    HWND page = open(PAGE_JPG);
    click(page, 32);
    click(page, 34);
    EXPECT_TRUE(enabled(page, 34));
    choose(page, 35, 3, CBN_SELCHANGE);
    EXPECT_TRUE(enabled(page, 34));
}

TEST_F(SettingsPages, OtherCommandsChangeNothing)
{
    HWND page = open(PAGE_GENERAL);
    ASSERT_NE(page, nullptr);
    Settings before = settings;
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(26, EN_SETFOCUS), reinterpret_cast<LPARAM>(GetDlgItem(page, 26)));
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(31, BN_CLICKED), 0); // not on this page
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(27, BN_SETFOCUS), reinterpret_cast<LPARAM>(GetDlgItem(page, 27)));
    EXPECT_EQ(memcmp(&before, &settings, sizeof(Settings)), 0);
    EXPECT_EQ(folderChange.pickerCalls, 0);
}

TEST_F(SettingsPages, TempPathIsShownWithoutItsTrailingBackslash)
{
    struct Case {
        const wchar_t* stored;
        const wchar_t* shown;
    } const cases[] = {
        {L"C:\\Users\\me\\Temp\\", L"C:\\Users\\me\\Temp"},
        {L"C:\\", L"C:\\"},
        {L"\\\\server\\share\\", L"\\\\server\\share"},
        {L"D:\\scratch space\\", L"D:\\scratch space"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        wchar_t shown[TEMP_PATH_ROOM];
        tempPathForDisplay(c.stored, shown, TEMP_PATH_ROOM);
        EXPECT_STREQ(shown, c.shown) << c.stored;
    }
    wcscpy(settings.general_tempPath, L"E:\\work area\\");
    HWND page = open(PAGE_GENERAL);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(page, 26)), L"E:\\work area");
}

TEST_F(SettingsPages, TemporaryFolderChange)
{
    struct Case {
        const char* name;
        bool answer;
        const wchar_t* picked;
        std::vector<JobState> jobStates;
        const wchar_t* stored; // null: unchanged
        const wchar_t* shown;
        bool message;
    } const cases[] = {
        {"folder, pending job", true, L"D:\\Work", {JOB_DONE, JOB_PENDING, JOB_RUNNING}, L"D:\\Work\\", L"D:\\Work", true},
        {"folder, no jobs", true, L"D:\\Work", {}, L"D:\\Work\\", L"D:\\Work", false},
        {"only running and finished jobs", true, L"E:\\t", {JOB_RUNNING, JOB_DONE, JOB_FAILED, JOB_WAITING},
         L"E:\\t\\", L"E:\\t", false},
        {"drive root gets a second backslash", true, L"C:\\", {JOB_PENDING}, L"C:\\\\", L"C:\\", true},
        {"cancelled", false, L"", {JOB_PENDING}, nullptr, L"F:\\old", false},
        {"empty answer", true, L"", {JOB_PENDING}, nullptr, L"F:\\old", false},
    };
    const wchar_t* notice =
        L"This setting does not affect running or pending jobs. Cancel and re-add them to apply.";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        wcscpy(settings.general_tempPath, L"F:\\old\\");
        folderChange = FolderChangeRecord();
        folderChange.answer = c.answer;
        folderChange.picked = c.picked;
        for (JobState state : c.jobStates)
            addJob(state);
        HWND page = open(PAGE_GENERAL);
        ASSERT_NE(page, nullptr);
        click(page, 27);
        EXPECT_EQ(folderChange.pickerCalls, 1);
        EXPECT_EQ(folderChange.pickerOwner, parent);
        EXPECT_STREQ(settings.general_tempPath, c.stored ? c.stored : L"F:\\old\\");
        EXPECT_EQ(windowText(GetDlgItem(page, 26)), c.shown);
        EXPECT_EQ(folderChange.boxCalls, c.message ? 1 : 0);
        if (c.message) {
            EXPECT_EQ(folderChange.boxOwner, parent);
            EXPECT_EQ(folderChange.boxText, notice);
            EXPECT_EQ(folderChange.boxCaption, L"New directory for temporary files");
            EXPECT_EQ(folderChange.boxType, static_cast<UINT>(MB_OK | MB_SETFOREGROUND));
            EXPECT_EQ(folderChange.pathWhenShown, c.stored) << "stored before the message";
        }
        DestroyWindow(page);
        clearJobList(&jobList);
    }
}

TEST_F(SettingsPages, OverlongPickedPathIsRefused)
{
    wcscpy(settings.general_tempPath, L"F:\\old\\");
    folderChange.answer = true;
    folderChange.picked = L"C:\\" + std::wstring(MAX_PATH + 10, L'a');
    HWND page = open(PAGE_GENERAL);
    ASSERT_NE(page, nullptr);
    click(page, 27);
    EXPECT_STREQ(settings.general_tempPath, L"F:\\old\\");
    EXPECT_EQ(windowText(GetDlgItem(page, 26)), L"F:\\old");

    // The longest path the browser can answer still fits with its backslash.
    folderChange.picked = L"C:\\" + std::wstring(MAX_PATH - 4, L'b');
    click(page, 27);
    EXPECT_EQ(std::wstring(settings.general_tempPath), folderChange.picked + L"\\");
}

// A change made on a page is what the registry holds after the exit's save.
class SettingsPagesStore : public SettingsPages {
protected:
    void SetUp() override
    {
        SettingsPages::SetUp();
        swprintf(sandboxName, 64, L"Software\\VellPagesTest%lu", GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, sandboxName);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, sandboxName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &sandbox, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, sandbox), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(sandbox);
        RegDeleteTreeW(HKEY_CURRENT_USER, sandboxName);
        SettingsPages::TearDown();
    }
    DWORD readNumber(const wchar_t* name)
    {
        DWORD value = 0xDEAD;
        DWORD bytes = sizeof(value);
        RegGetValueW(HKEY_CURRENT_USER, SETTINGS_KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes);
        return value;
    }
    wchar_t sandboxName[64];
    HKEY sandbox = nullptr;
};

TEST_F(SettingsPagesStore, PageChangesReachTheRegistryAtExit)
{
    loadSettings(&settings);
    HWND png = open(PAGE_PNG);
    HWND sevenZip = open(14);
    HWND general = open(PAGE_GENERAL);
    ASSERT_TRUE(png && sevenZip && general);
    click(png, 40);
    choose(sevenZip, 50, 1, CBN_SELCHANGE);
    click(sevenZip, 51);
    folderChange.answer = true;
    folderChange.picked = L"G:\\scratch";
    click(general, 27);
    saveSettings(&settings);

    EXPECT_EQ(readNumber(L"png_strategy"), 2u);
    EXPECT_EQ(readNumber(L"7z_strategy"), 1u);
    EXPECT_EQ(readNumber(L"7z_recursive"), 1u);
    wchar_t path[TEMP_PATH_ROOM] = {};
    DWORD bytes = sizeof(path);
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, SETTINGS_KEY, L"general_tempPath", RRF_RT_REG_SZ, nullptr, path,
                           &bytes),
              ERROR_SUCCESS);
    EXPECT_STREQ(path, L"G:\\scratch\\");
    Settings loaded;
    loadSettings(&loaded);
    EXPECT_STREQ(loaded.general_tempPath, settings.general_tempPath);
    EXPECT_EQ(memcmp(&loaded.general_forceIfAlreadyOptimized, &settings.general_forceIfAlreadyOptimized, 36), 0);
}

} // namespace
