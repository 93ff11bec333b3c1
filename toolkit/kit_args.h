// Pure text work of the tools kit shim: splitting a Windows command line,
// recognising Windows paths inside arguments, naming tools, and the fixed
// reports the stand-in tools print. No Windows or Wine calls live here, so
// the tests can drive every rule directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vkit {

// What a tool name stands for on this system.
enum class ToolKind {
    Unknown,
    OptiPng,     // optipng, same arguments
    Gifsicle,    // gifsicle, same arguments
    SevenZip,    // 7zz, same arguments
    Perl,        // exiftool when the script argument names it, else perl
    Flac,        // flac, same arguments
    Metaflac,    // metaflac, same arguments
    AdvZip,      // advzip, same arguments
    JpegTran,    // jpegtran, with an output written beside and renamed
    Ect,         // zopflipng / jpegtran / advzip / advdef, chosen by mode
    DeflOpt,     // report only, file untouched
    Defluff,     // standard input copied to standard output
    FlexiGif,    // copies its first file to its second
    ArchiPng,    // leaves the file as it is
    Mp3Packer,   // copies X.ext to X-vbr.ext
    Leanify,     // leaves the file as it is
};

// The tool a file name (without folder, any case) stands for.
ToolKind toolKindForName(const std::wstring& fileName);

// The last path component of a Windows or Linux path.
std::wstring fileNamePart(const std::wstring& path);

// Splits a command line by the rules of the Microsoft C runtime: blanks and
// tabs separate, double quotes group, 2n backslashes before a quote give n
// backslashes and a grouping quote, 2n+1 give n backslashes and a literal
// quote, and "" inside a group gives one literal quote. The first element
// (the program) follows the simpler rule the runtime uses for it.
std::vector<std::wstring> splitCommandLine(const std::wstring& line);

// Where a Windows path starts inside an argument: 0 for a whole path
// ("Z:\x", "\\?\Z:\x"), the prefix length for a path behind an option
// ("-oZ:\x", "-ThumbnailImage<=Z:\x", "@Z:\list"), or npos.
std::size_t findWindowsPath(const std::wstring& arg);

// Splits a Windows path whose last component holds a wildcard ("*" or "?")
// into the folder part (kept with its trailing backslash) and the pattern.
// Returns false, leaving both untouched, when the last component is plain.
bool splitWildcardTail(const std::wstring& path, std::wstring& folder, std::wstring& pattern);

std::string toUtf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

// Translates a Windows path to a Linux path; returns false when it cannot.
typedef bool (*PathTranslator)(const std::wstring& windowsPath, std::string& linuxPath);

// The Linux form of one argument: the Windows path inside it (if any) is
// translated, a wildcard tail is kept literally behind a "/", everything
// else is passed on as UTF-8. A path the translator refuses is passed on
// with its backslashes turned into slashes under its best-known parent.
std::string linuxArgument(const std::wstring& arg, PathTranslator translate);

// Same for a plain path (no option prefix expected).
std::string linuxPath(const std::wstring& path, PathTranslator translate);

// Every LF becomes CR LF, as a Windows Perl writes text to its standard
// output in text mode.
std::string lfToCrlf(const std::string& text);

// The report the DeflOpt stand-in prints: several CR LF lines ending with
// "Number of files rewritten  :        0" so that a reader of its last
// 150 bytes finds the count. At least 150 bytes long.
std::string deflOptReport(const std::vector<std::wstring>& files, unsigned processed);

// Chunk types of a PNG file in file order, without repeats; empty when the
// data is not a PNG. Reading stops at IEND or at the end of the data.
std::vector<std::string> pngChunkTypes(const std::uint8_t* data, std::size_t size);

// The --keepchunks list for zopflipng: every ancillary chunk of the file
// that zopflipng would otherwise drop. With `strip` only the chunks that
// change how colours are shown stay (iCCP, sRGB, gAMA, cHRM).
std::string pngKeepChunks(const std::vector<std::string>& types, bool strip);

// The name mp3packer gives its output: "X.mp3" -> "X-vbr.mp3".
std::wstring mp3PackerOutputName(const std::wstring& input);

bool equalsNoCase(const std::wstring& a, const std::wstring& b);

} // namespace vkit
