#pragma once
#include <windows.h>
#include <stdint.h>
#include "base/error_sink.h"

// derotateMode: 0 off, 1 only when lossless, 2 even if edges are lost.
// metadataStrategy: 0 keep all, 1 all but thumbnail, 2 all but date taken, 3 none.
bool optimizeJpeg(const wchar_t* source, const wchar_t* scratchDir, bool optimize, uint8_t derotateMode,
                  uint8_t metadataStrategy, bool lowPriority, const ErrorSink* sink);

// Runs "Perl\perl.exe" with the ExifTool script, the options and the quoted file.
uint32_t runExifTool(const wchar_t* options, const wchar_t* file, const wchar_t* workingDirectory,
                     HANDLE standardOutput, bool lowPriority, const ErrorSink* sink);

const size_t EXIF_TAG_ROOM = 32; // 31 bytes of value and a terminator
// Reads one tag's value (options such as "-orientation -n") into value; false when none.
bool readExifTag(const wchar_t* file, const wchar_t* options, const wchar_t* workingDirectory,
                 bool lowPriority, const ErrorSink* sink, char value[EXIF_TAG_ROOM]);

enum DerotateOutcome : uint8_t {
    DEROTATE_FAILED = 0,
    DEROTATE_TURNED = 1,
    DEROTATE_NOT_LOSSLESS = 2, // image left unchanged
    DEROTATE_NOTHING_TO_DO = 3,
};
DerotateOutcome derotateJpeg(const wchar_t* file, const wchar_t* workingDirectory, uint8_t derotateMode,
                             bool lowPriority, const ErrorSink* sink);

// Optimizes the EXIF thumbnail of file through a nested pipeline run in
// "<workingDirectory>\thumbnail" and writes it back.
bool optimizeThumbnail(const wchar_t* file, const wchar_t* workingDirectory, bool lowPriority,
                       const ErrorSink* sink);
