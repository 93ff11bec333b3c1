#pragma once
// Every external program the optimizer starts, as a path relative to the tools
// directory. Pipelines name their tools through these constants only.
#include <stddef.h>

const char TOOL_OPTIPNG[] = "OptiPNG.exe";
const char TOOL_ARCHIPNG[] = "ArchiPNG.exe";
const char TOOL_ECT[] = "ECT_x64.exe";
const char TOOL_DEFLOPT[] = "DeflOpt.exe";
const char TOOL_DEFLUFF[] = "defluff.exe";
const char TOOL_MOZJPEGTRAN[] = "mozjpegtran.exe";
const char TOOL_PERL[] = "Perl\\perl.exe";
// Not started itself: the script Perl runs for ExifTool.
const char TOOL_EXIFTOOL_SCRIPT[] = "ExifTool\\exiftool";
const char TOOL_7Z[] = "7z.exe";
const char TOOL_LEANIFY[] = "Leanify.exe";
const char TOOL_ADVZIP[] = "advzip.exe";
const char TOOL_GIFSICLE[] = "Gifsicle.exe";
const char TOOL_FLEXIGIF[] = "flexiGIF.exe";
const char TOOL_MP3PACKER[] = "mp3packer64.exe";
const char TOOL_METAFLAC[] = "metaflac.exe";
const char TOOL_FLAC[] = "flac.exe";
const char TOOL_VELLCFBF[] = "VellCFBF.exe";

// Every file the tools directory is expected to hold, the ExifTool script included.
const char* const TOOL_FILES[] = {
    TOOL_OPTIPNG, TOOL_ARCHIPNG, TOOL_ECT, TOOL_DEFLOPT, TOOL_DEFLUFF, TOOL_MOZJPEGTRAN,
    TOOL_PERL, TOOL_EXIFTOOL_SCRIPT, TOOL_7Z, TOOL_LEANIFY, TOOL_ADVZIP, TOOL_GIFSICLE,
    TOOL_FLEXIGIF, TOOL_MP3PACKER, TOOL_METAFLAC, TOOL_FLAC, TOOL_VELLCFBF,
};
const size_t TOOL_FILE_COUNT = sizeof(TOOL_FILES) / sizeof(TOOL_FILES[0]);
