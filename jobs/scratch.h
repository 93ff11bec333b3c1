#pragma once
#include <stddef.h>

// Builds "<temporaryPath>zarnXXXXXXXX" into buffer (PATH_ROOM units) and creates
// it with an owner marker naming this process.
bool createScratchDir(wchar_t* buffer, const wchar_t* temporaryPath);
// Deletes a folder and everything below it; a missing folder counts as success.
bool deleteTree(const wchar_t* path);
// Deletes the scratch folders under temporaryPath whose owner marker names a
// process that has ended; folders of running processes and unmarked ones stay.
void removeStaleScratchDirs(const wchar_t* temporaryPath);
