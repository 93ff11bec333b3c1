#pragma once
#include "jobs/job.h"

// Before a repacked archive replaces a container's file: it must hold the
// original's data, apart from what the container's own content jobs changed.
// Logs its finding; false when the archive must not replace the file.
bool verifyRepackedArchive(Job* job, const wchar_t* archive);
