#pragma once
// Checks, just before a result replaces the user's file, that it holds the same
// content. Every check answers whether the replacement may go ahead:
// - true after "verified: …" when the content is shown to be the same;
// - true after one "not verified: …" line when it cannot be compared (no
//   decoder reads the original, or the kind has none); the job goes on;
// - false after "ERROR: result differs from the original (…)" when it differs
//   or when the result cannot be read by what reads the original.
// With general_verifyResults off every check answers true at once and logs nothing.
#include <stddef.h>
#include <stdint.h>
#include "base/error_sink.h"

bool verificationEnabled();

// PNG, and BMP, TIFF or GIF converted to PNG: the decoded pixels of every frame.
// Fully transparent pixels may change colour only when clearTransparent (or when
// the original is a GIF, whose transparent pixels have no colour); the metadata
// of a PNG may go only when stripMetadata.
bool verifyPngResult(const wchar_t* original, const wchar_t* result, bool stripMetadata, bool clearTransparent,
                     const ErrorSink* sink);

// JPEG: the decoded pixels, or, when turned, those of the original turned by the
// angle its orientation tag asks for (trimmed: over the area that was kept).
// Metadata must stay under the strategies that keep it (0 and 1).
bool verifyJpegResult(const wchar_t* original, const wchar_t* result, bool turned, bool trimmed,
                      uint8_t metadataStrategy, const ErrorSink* sink);

// GIF kept as GIF: the frames as shown (after disposal), their delays and the loop count.
bool verifyGifResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);

// FLAC: the MD5 signatures of the decoded audio equal, and "flac -t" decodes the
// result to its signature.
bool verifyFlacResult(const wchar_t* original, const wchar_t* result, const wchar_t* work, bool lowPriority,
                      const ErrorSink* sink);

// MP3 has no decoder here: the result must parse as MPEG audio with as many frames.
bool verifyMp3Result(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);

// XML and SVG: minified text cannot be compared; the result must parse as XML.
bool verifyMarkupResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);

// gzip: a full decompression of the result (by 7-Zip) gives the CRC-32 and size
// stored in the original, or those of changedContent, the unpacked file a content
// job replaced (null when none did).
bool verifyGzipResult(const wchar_t* original, const wchar_t* result, const wchar_t* changedContent,
                      const wchar_t* work, bool lowPriority, const ErrorSink* sink);

// ZIP family: every file entry of the original is in the result with the same
// CRC-32 and size, unless a content job changed it. Names are relative to the
// unpacked folder with backslashes; "extracted" names are gone (deleted, or
// become folders whose entries are new).
struct ArchiveChanges {
    const wchar_t* const* changed;
    size_t changedCount;
    const wchar_t* const* extracted;
    size_t extractedCount;
};
bool verifyZipEntries(const wchar_t* original, const wchar_t* result, const ArchiveChanges* changes,
                      const ErrorSink* sink);

// Compound files: the same tree of storages and streams, with the same names,
// types, storage classes and stream bytes. A result that does not open as a
// compound file differs.
bool verifyCompoundResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);
