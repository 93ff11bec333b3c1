#pragma once

#include <windows.h>

// Why the compound file open for reading in `file` must not be handed to structured
// storage (a short text without a line end), or null when its chains and directory
// can be followed safely. A file without the compound-file signature is left to
// structured storage to refuse.
const char* findStructureFault(HANDLE file);
