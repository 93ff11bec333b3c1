#pragma once
// The 18 settings pages hosted under the main window's tabs. Every change is
// written into `settings` at once.
#include <windows.h>

int settingsPageCount();
// The tab text of the page, or null for an index out of range.
const wchar_t* settingsPageCaption(int index);
// Creates the page, hidden, as a child dialog of the main window; null on failure.
HWND createSettingsPage(HWND mainWindow, int index);

// The temporary-folder change goes through these two, so tests can stand in for the
// user. The picker fills path (room MAX_PATH) and returns true when a folder was picked.
typedef bool (*SettingsFolderPicker)(HWND owner, wchar_t* path);
typedef int(WINAPI* SettingsMessageBox)(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);
extern SettingsFolderPicker settingsPickFolder;
extern SettingsMessageBox settingsMessageBox;

// What field 26 shows for a stored temporary path: without its trailing backslash,
// except for a drive root, which keeps it ("C:\").
void tempPathForDisplay(const wchar_t* stored, wchar_t* shown, size_t room);
