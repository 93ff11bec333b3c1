#pragma once
#include "base/error_sink.h"

// Puts result in place of target so that a crash, a kill or a power cut leaves
// either the old or the new content: the result is copied beside the target,
// flushed, and swapped in atomically; the target keeps its attributes and
// creation time. On failure the target is untouched, the temporary copy is
// removed, and an "ERROR: " line is reported to the sink.
bool replaceFileWith(const wchar_t* target, const wchar_t* result, const ErrorSink* sink);
