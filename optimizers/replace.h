#pragma once
#include <stddef.h>
#include <stdint.h>
#include "base/error_sink.h"

// Puts result in place of target so that a crash, a kill or a power cut leaves
// either the old or the new content: the result is copied beside the target,
// flushed, and swapped in atomically; the target keeps its attributes, creation
// time, owner and permissions (and its alternate streams where the file system
// has them). On failure the target is untouched, the temporary copy is removed,
// and an "ERROR: " line is reported to the sink.
bool replaceFileWith(const wchar_t* target, const wchar_t* result, const ErrorSink* sink);

// The name of the temporary copy beside target that process processId tries as
// its sequence-th choice; false when it does not fit in room units.
bool replacementSiblingName(const wchar_t* target, uint32_t processId, uint32_t sequence,
                            wchar_t* sibling, size_t room);
// True when path names a copy left beside a file by an interrupted replacement.
// Such a copy is removed when the process that made it has ended and the file
// it was meant for is still in place; anything else is left alone.
bool removeReplacementLeftover(const wchar_t* path);
