#pragma once
#include "base/error_sink.h"

bool optimizeCompoundFile(const wchar_t* path, const wchar_t* scratchDir, bool lowPriority,
                          const ErrorSink* sink);
bool optimizeMp3(const wchar_t* path, const wchar_t* scratchDir, bool strip, bool lowPriority,
                 const ErrorSink* sink);
bool optimizeFlac(const wchar_t* path, const wchar_t* scratchDir, bool strip, bool lowPriority,
                  const ErrorSink* sink);
