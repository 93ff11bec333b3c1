#pragma once
// Stand-in for the settings pages while they are not part of the tree: the
// same interface, with empty pages.
#include <windows.h>

int settingsPageCount();
HWND createSettingsPage(HWND mainWindow, int index);
const wchar_t* settingsPageCaption(int index);
