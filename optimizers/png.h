#pragma once
#include "base/error_sink.h"

bool optimizePng(const wchar_t* source, const wchar_t* scratchDir, bool strip, bool clear,
                 bool lowPriority, const ErrorSink* sink);
bool optimizePngFor7z(const wchar_t* source, const wchar_t* scratchDir, bool strip, bool lowPriority,
                      const ErrorSink* sink);
bool convertToPng(const wchar_t* source, const wchar_t* scratchDir, bool for7z, bool strip, bool clear,
                  bool lowPriority, const ErrorSink* sink);
// defluff and DeflOpt, repeated while they gain; also used on ZIP and gzip files.
bool deflatePostPass(const wchar_t* file, const wchar_t* suffix, bool strip, const wchar_t* scratchDir,
                     bool lowPriority, const ErrorSink* sink);
