#pragma once
#include "jobs/error_sink.h"

bool extractArchive(const wchar_t* archive, const wchar_t* folder, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
bool recompressZip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                   const ErrorSink* sink);
bool recompressGzip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
bool addStoredEntry(const wchar_t* archive, const wchar_t* file, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
bool renameMimetypeEntry(const wchar_t* archive, const wchar_t* work, bool lowPriority,
                         const ErrorSink* sink);
// Minifies an XML or SVG file (the job's own file); work is the job's scratch folder.
bool minifyFile(const wchar_t* file, const wchar_t* work, bool lowPriority, const ErrorSink* sink);
