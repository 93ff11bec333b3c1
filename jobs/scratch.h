#pragma once
#include <stddef.h>

struct JobList;

// Builds "<temporaryPath>zarnXXXXXXXX" into buffer (PATH_ROOM units) and creates
// it with an owner marker naming this process.
bool createScratchDir(wchar_t* buffer, const wchar_t* temporaryPath);
// Deletes a folder and everything below it, an owner marker directly inside
// last; a missing folder counts as success.
bool deleteTree(const wchar_t* path);
// deleteTree, tried again for a while when the folder resists (a tool just ended).
bool deleteTreePatiently(const wchar_t* path);
// Deletes the scratch folders under temporaryPath whose owner marker names a
// process that has ended, and empty ones a few seconds old; folders of running
// processes and unmarked ones with content stay. A folder that resists is tried
// again for a second.
void removeStaleScratchDirs(const wchar_t* temporaryPath);
// Closes every job's log and removes its scratch folder; the caller holds the
// list's lock and no worker runs. False when some folder could not be removed.
bool removeScratchFolders(JobList* list);
