#pragma once
#include <stddef.h>

// Builds "<temporaryPath>zarnXXXXXXXX" into buffer (PATH_ROOM units) and creates it.
bool createScratchDir(wchar_t* buffer, const wchar_t* temporaryPath);
// Deletes a folder and everything below it; a missing folder counts as success.
bool deleteTree(const wchar_t* path);
