#pragma once
#include <stddef.h>
#include <stdint.h>
#include "base/error_sink.h"

const size_t CONTENT_DIGEST_LENGTH = 64;

bool extractArchive(const wchar_t* archive, const wchar_t* folder, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
// SHA-256 over the data of every file of an archive (isArchive) or below a folder,
// as 7-Zip prints it; "sha256.txt" in work holds the listing while it runs.
bool computeContentDigest(char digest[CONTENT_DIGEST_LENGTH], const wchar_t* target, bool isArchive,
                          const wchar_t* work, bool lowPriority, const ErrorSink* sink);
bool recompressZip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                   const ErrorSink* sink);
bool recompressGzip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
bool runEctZip(const wchar_t* archive, const wchar_t* work, bool lowPriority, const ErrorSink* sink);
bool runEctGzip(const wchar_t* archive, const wchar_t* work, bool lowPriority, const ErrorSink* sink);
bool addStoredEntry(const wchar_t* archive, const wchar_t* file, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink);
bool renameMimetypeEntry(const wchar_t* archive, const wchar_t* work, bool lowPriority,
                         const ErrorSink* sink);
// Minifies an XML or SVG file (the job's own file) through a copy in work, the
// job's scratch folder; the file is replaced only by a smaller, non-empty result.
bool minifyFile(const wchar_t* file, const wchar_t* work, bool lowPriority, const ErrorSink* sink);
