#pragma once
// What a file is (by content) and what is to be done with it.
#include <stdint.h>
#include "base/error_sink.h"

struct Job;
struct Settings;

enum FileKind : uint8_t {
    KIND_NONE, KIND_PNG, KIND_JPEG, KIND_GIF_MULTI, KIND_GIF_SINGLE, KIND_BMP,
    KIND_ZIP, KIND_ZIP_LIKE, KIND_OOXML, KIND_ODF, KIND_EPUB, KIND_GZIP, KIND_7Z,
    KIND_THUMBS_DB, KIND_SVG, KIND_TIFF, KIND_RAR, KIND_DMG, KIND_CFBF, KIND_XML,
    KIND_MP3, KIND_FLAC,
    KIND_COUNT
};

enum Action : uint8_t {
    ACTION_NONE, ACTION_OPTIMIZE_PNG, ACTION_OPTIMIZE_JPEG, ACTION_OPTIMIZE_GIF,
    ACTION_OPTIMIZE_ZIP, ACTION_OPTIMIZE_ZIP_LIKE, ACTION_OPTIMIZE_OOXML,
    ACTION_OPTIMIZE_ODF, ACTION_OPTIMIZE_EPUB, ACTION_OPTIMIZE_GZIP,
    ACTION_OPTIMIZE_CFBF, ACTION_OPTIMIZE_MP3, ACTION_OPTIMIZE_FLAC,
    ACTION_MINIFY_XML, ACTION_MINIFY_SVG, ACTION_EXTRACT_ZIP, ACTION_EXTRACT_GZIP,
    ACTION_EXTRACT_RAR, ACTION_EXTRACT_7Z, ACTION_EXTRACT_DMG,
    ACTION_CONVERT_TO_PNG, ACTION_DELETE,
    ACTION_COUNT
};

enum ContentContext : uint8_t {
    CONTEXT_TOP = 0,
    CONTEXT_ZIP_LIKE = 1,
    CONTEXT_OOXML = 2,
    CONTEXT_ODF = 3,
    CONTEXT_EPUB = 4,
};

// Name of the job's working copy in its scratch folder ("x.png", ...); null for KIND_NONE.
const wchar_t* scratchFileName(FileKind kind);
// The working copy's path (SCRATCH_FILE_ROOM units); false for a job without one.
bool jobScratchFile(const Job* job, wchar_t* buffer);
// Text shown in the job list's "Action" column.
const wchar_t* actionDisplayText(Action action);

// probeSink goes to the probes' tool runs (GIF and ZIP families) so that the
// caller can end them.
FileKind sniffContent(const wchar_t* path, const wchar_t* temporaryPath, const uint8_t* head,
                      uint64_t size, uint32_t headLength, bool lowPriority, const ErrorSink* probeSink);
Action chooseAction(const wchar_t* path, FileKind kind, const Settings* settings,
                    ContentContext context, uint8_t options[4]);
