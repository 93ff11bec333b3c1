#pragma once
// Quick tool runs that tell GIF and ZIP families apart during sniffing. They
// log nothing; the sink only lets whoever analyses the file end the tool.
#include "base/error_sink.h"

// True when Gifsicle says the GIF holds exactly one image. The tool reads a
// copy made in folder, never the file itself.
bool analyzeGifImages(const wchar_t* file, const wchar_t* folder, bool lowPriority,
                      const ErrorSink* sink);
// Extracts "[Content_Types].xml" and "mimetype" from the archive root into folder;
// true when 7-Zip ended with 0. The archive is held against writing and deleting meanwhile.
bool extractMarkerFiles(const wchar_t* file, const wchar_t* folder, bool lowPriority,
                        const ErrorSink* sink);
