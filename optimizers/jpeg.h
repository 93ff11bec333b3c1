#pragma once
#include <stdint.h>
#include "jobs/error_sink.h"

// derotateMode: 0 off, 1 only when lossless, 2 even if edges are lost.
// metadataStrategy: 0 keep all, 1 all but thumbnail, 2 all but date taken, 3 none.
bool optimizeJpeg(const wchar_t* source, const wchar_t* scratchDir, bool optimize, uint8_t derotateMode,
                  uint8_t metadataStrategy, bool lowPriority, const ErrorSink* sink);
