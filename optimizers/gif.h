#pragma once
#include "base/error_sink.h"

bool optimizeGif(const wchar_t* path, const wchar_t* scratchDir, bool lowPriority, const ErrorSink* sink);
