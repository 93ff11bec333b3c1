#pragma once
// A ZIP package whose first entry is a stored "mimetype" keeps it so when rebuilt.
#include "jobs/job.h"

bool keepsMimetypeFirst(const Job* job);
// Before packing: "mimetype" in the unpacked folder becomes "!!!!!!!!".
bool setMimetypeAside(Job* job, const wchar_t* folder);
// After packing: the entry "!!!!!!!!" is replaced by a stored copy and renamed back.
bool restoreMimetypeEntry(Job* job, const wchar_t* folder, const wchar_t* archive, bool lowPriority);
