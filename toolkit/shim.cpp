// The tools kit shim: one Windows program copied under the name of every
// external tool the optimizer starts. Its own file name says which tool it
// stands for; it then runs the matching Linux program (translating Windows
// paths in the arguments), or does the substitute's work itself, relays the
// standard streams and ends with the tool's exit code.
#include "kit_args.h"
#include "kit_unix.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace vkit;

namespace {

const int kUnknownTool = 9009;

void say(const std::string& text)
{
    writeStd(STD_OUTPUT_HANDLE, text);
}

void complain(const std::string& text)
{
    writeStd(STD_ERROR_HANDLE, text);
}

bool startsWith(const std::wstring& s, const wchar_t* prefix)
{
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

// VELL_KIT_QUICK=1 (the fault-injection run sets it) makes the ECT substitute
// compress with the least effort: those runs test kills and cancels, and the
// zopfli-grade passes would take most of their time.
bool quickMode()
{
    wchar_t value[4] = {};
    return GetEnvironmentVariableW(L"VELL_KIT_QUICK", value, 4) == 1 && value[0] == L'1';
}

bool translatePath(const std::wstring& windowsPath, std::string& linuxPathOut)
{
    return wineUnixPath(windowsPath, linuxPathOut);
}

std::int64_t fileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return -1;
    return (std::int64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool readWholeFile(const std::wstring& path, std::vector<std::uint8_t>& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        bytes.resize(std::size_t(size.QuadPart));
        DWORD got = 0;
        ok = bytes.empty() || (ReadFile(h, bytes.data(), DWORD(bytes.size()), &got, nullptr) && got == bytes.size());
    }
    CloseHandle(h);
    return ok;
}

std::string narrow(const std::wstring& text)
{
    return toUtf8(text);
}

// Runs a Linux program with the given (Windows form) arguments in the
// shim's current folder.
int runProgram(const std::string& program, const std::vector<std::wstring>& args, bool crlf = false)
{
    LinuxCommand command;
    command.argv.push_back(program);
    for (const std::wstring& a : args)
        command.argv.push_back(linuxArgument(a, translatePath));
    command.workingDirectory = currentLinuxDirectory();
    command.crlfStandardOutput = crlf;
    return runLinux(command);
}

// Replaces `target` by `candidate` when the candidate is a non-empty file
// strictly smaller than the target; removes the candidate in every case.
bool keepIfSmaller(const std::wstring& candidate, const std::wstring& target)
{
    std::int64_t now = fileSize(target), made = fileSize(candidate);
    bool better = made > 0 && now >= 0 && made < now;
    if (better && MoveFileExW(candidate.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(candidate.c_str());
    return false;
}

std::vector<std::wstring> plainArguments(const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> files;
    for (const std::wstring& a : args)
        if (!a.empty() && a[0] != L'-' && a[0] != L'/')
            files.push_back(a);
    return files;
}

// jpegtran from libjpeg-turbo in the place of mozjpeg's: the output goes to
// a file beside the named one and is renamed over it only on success, so
// "-outfile F F" transforms F in place and a failed transform leaves F as
// it was. mozjpeg writes optimised progressive files by default; the
// matching switches are added unless the caller asked for the opposite.
int runJpegTran(std::vector<std::wstring> args)
{
    bool defaults = true;
    std::vector<std::wstring> kept;
    for (const std::wstring& a : args) {
        if (equalsNoCase(a, L"-revert")) {
            defaults = false;
            continue;
        }
        if (equalsNoCase(a, L"-arithmetic"))
            defaults = false;
        kept.push_back(a);
    }
    args = kept;
    std::wstring output, temporary;
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const std::wstring& a = args[i];
        if (a.size() >= 5 && startsWith(L"-outfile", a.c_str())) {
            output = args[i + 1];
            temporary = output + L".vkit-tmp";
            args[i + 1] = temporary;
            break;
        }
    }
    if (defaults) {
        args.insert(args.begin(), L"-progressive");
        args.insert(args.begin(), L"-optimize");
    }
    if (!temporary.empty())
        DeleteFileW(temporary.c_str());
    int code = runProgram("jpegtran", args);
    if (temporary.empty())
        return code;
    if (code == 0 && !MoveFileExW(temporary.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        complain("mozjpegtran (vell tools kit): cannot replace " + narrow(output) + "\r\n");
        code = 1;
    }
    DeleteFileW(temporary.c_str());
    return code;
}

int ectPng(const std::wstring& file, bool strip, bool strict)
{
    std::vector<std::uint8_t> bytes;
    if (!readWholeFile(file, bytes)) {
        complain("ECT (vell tools kit): cannot read " + narrow(file) + "\r\n");
        return 2;
    }
    std::vector<std::string> types = pngChunkTypes(bytes.data(), bytes.size());
    for (const std::string& t : types) {
        if (t == "acTL") {
            // Re-encoding the first frame could change the colour type that
            // the other frames of an animated PNG depend on.
            say("animated PNG left unchanged\r\n");
            return 0;
        }
    }
    std::wstring candidate = file + L".vkit.png";
    DeleteFileW(candidate.c_str());
    std::vector<std::wstring> zargs = {L"-y"};
    if (quickMode())
        zargs.push_back(L"-q");
    if (!strict)
        zargs.push_back(L"--lossy_transparent");
    std::string keep = pngKeepChunks(types, strip);
    if (!keep.empty())
        zargs.push_back(L"--keepchunks=" + fromUtf8(keep));
    zargs.push_back(file);
    zargs.push_back(candidate);
    int code = runProgram("zopflipng", zargs);
    if (code != 0) {
        DeleteFileW(candidate.c_str());
        return 2;
    }
    keepIfSmaller(candidate, file);
    return 0;
}

int ectJpeg(const std::wstring& file, bool strip)
{
    std::wstring candidate = file + L".vkit.jpg";
    DeleteFileW(candidate.c_str());
    int code = runProgram("jpegtran", {L"-copy", strip ? L"none" : L"all", L"-optimize", L"-progressive",
                                       L"-outfile", candidate, file});
    if (code != 0) {
        DeleteFileW(candidate.c_str());
        return 2;
    }
    keepIfSmaller(candidate, file);
    return 0;
}

// ECT's modes, each done by the Linux tool closest to it. Exit codes keep
// ECT's meaning for the optimizer: 0 done (gained or not), 1 in gzip mode
// "cannot optimize this file", 2 any other failure; 1 and 5 are never used
// for failures outside gzip mode because the optimizer reads them as
// "out of memory".
int runEct(const std::vector<std::wstring>& args)
{
    bool strip = false, strict = false, zip = false, gzip = false, noJpg = false, noPng = false;
    std::vector<std::wstring> files;
    for (const std::wstring& a : args) {
        if (a.empty())
            continue;
        if (a[0] != L'-') {
            files.push_back(a);
            continue;
        }
        strip = strip || equalsNoCase(a, L"-strip");
        strict = strict || equalsNoCase(a, L"--strict");
        zip = zip || equalsNoCase(a, L"-zip");
        gzip = gzip || equalsNoCase(a, L"-gzip");
        noJpg = noJpg || equalsNoCase(a, L"--disable-jpg");
        noPng = noPng || equalsNoCase(a, L"--disable-png");
    }
    if (files.empty()) {
        complain("ECT (vell tools kit): no file given\r\n");
        return 2;
    }
    int result = 0;
    for (const std::wstring& file : files) {
        std::int64_t size = fileSize(file);
        int code = 0;
        if (size < 0) {
            complain("ECT (vell tools kit): cannot open " + narrow(file) + "\r\n");
            code = gzip ? 1 : 2;
        } else if (zip) {
            // zopfli-grade recompression for archives of modest size; the
            // 7-Zip Deflate engine above that, which is far quicker.
            const wchar_t* level = quickMode() ? L"-1" : size <= (4 << 20) ? L"-4" : L"-3";
            code = runProgram("advzip", {L"-z", level, file}) == 0 ? 0 : 2;
        } else if (gzip) {
            const wchar_t* level = quickMode() ? L"-1" : size <= (16 << 20) ? L"-4" : L"-3";
            code = runProgram("advdef", {L"-z", level, file}) == 0 ? 0 : 1;
        } else {
            std::vector<std::uint8_t> head;
            readWholeFile(file, head);
            bool png = head.size() >= 8 && head[0] == 0x89 && head[1] == 'P' && head[2] == 'N' && head[3] == 'G';
            bool jpeg = head.size() >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF;
            if (png && !noPng) {
                code = ectPng(file, strip, strict);
            } else if (jpeg && !noJpg) {
                code = ectJpeg(file, strip);
            } else {
                complain("ECT (vell tools kit): unsupported file " + narrow(file) + "\r\n");
                code = 2;
            }
        }
        if (code != 0)
            result = code;
    }
    return result;
}

int runPerl(const std::vector<std::wstring>& args)
{
    if (!args.empty()) {
        std::wstring script = fileNamePart(args[0]);
        if (equalsNoCase(script, L"exiftool") || equalsNoCase(script, L"exiftool.pl")) {
            std::vector<std::wstring> rest(args.begin() + 1, args.end());
            // Perl on Windows writes text with CR LF; binary output (-b)
            // goes out untouched.
            bool binary = false;
            for (const std::wstring& a : rest)
                binary = binary || equalsNoCase(a, L"-b") || equalsNoCase(a, L"-binary") ||
                         equalsNoCase(a, L"--b") || equalsNoCase(a, L"--binary");
            return runProgram("exiftool", rest, !binary);
        }
    }
    return runProgram("perl", args);
}

int runDeflOpt(const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> files = plainArguments(args);
    unsigned processed = 0;
    for (const std::wstring& f : files)
        if (fileSize(f) >= 0)
            ++processed;
    say(deflOptReport(files, processed));
    return 0;
}

int runDefluff()
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE || out == nullptr || out == INVALID_HANDLE_VALUE) {
        complain("defluff (vell tools kit): needs standard input and output\r\n");
        return 1;
    }
    static char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0)
            return 0;
        DWORD at = 0;
        while (at < got) {
            DWORD written = 0;
            if (!WriteFile(out, buffer + at, got - at, &written, nullptr) || written == 0)
                return 1;
            at += written;
        }
    }
}

int runFlexiGif(const std::vector<std::wstring>& args)
{
    std::vector<std::wstring> files = plainArguments(args);
    if (files.size() == 1)
        return fileSize(files[0]) >= 0 ? 0 : 1;
    if (files.size() != 2) {
        complain("flexiGIF (vell tools kit): expects an input and an output file\r\n");
        return 1;
    }
    if (!CopyFileW(files[0].c_str(), files[1].c_str(), FALSE)) {
        complain("flexiGIF (vell tools kit): cannot write " + narrow(files[1]) + "\r\n");
        return 1;
    }
    return 0;
}

// Tools without a counterpart here: the named file (the last argument,
// since option values may stand before it) stays as it is.
int runLeaveAlone(const char* tool, const std::vector<std::wstring>& args)
{
    if (args.empty()) {
        complain(std::string(tool) + " (vell tools kit): no file given\r\n");
        return 1;
    }
    const std::wstring& file = args.back();
    if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        complain(std::string(tool) + " (vell tools kit): cannot open " + narrow(file) + "\r\n");
        return 1;
    }
    say(std::string(tool) + " (vell tools kit): left unchanged: " + narrow(file) + "\r\n");
    return 0;
}

int runMp3Packer(const std::vector<std::wstring>& args)
{
    if (args.empty()) {
        complain("mp3packer (vell tools kit): no file given\r\n");
        return 1;
    }
    const std::wstring& input = args.back();
    std::wstring output = mp3PackerOutputName(input);
    if (!CopyFileW(input.c_str(), output.c_str(), FALSE)) {
        complain("mp3packer (vell tools kit): cannot copy " + narrow(input) + "\r\n");
        return 1;
    }
    return 0;
}

} // namespace

int main()
{
    std::vector<wchar_t> self(32768);
    DWORD n = GetModuleFileNameW(nullptr, self.data(), DWORD(self.size()));
    std::wstring name = fileNamePart(std::wstring(self.data(), n));
    std::vector<std::wstring> args = splitCommandLine(GetCommandLineW());
    args.erase(args.begin());

    switch (toolKindForName(name)) {
    case ToolKind::OptiPng:
        return runProgram("optipng", args);
    case ToolKind::Gifsicle:
        return runProgram("gifsicle", args);
    case ToolKind::SevenZip:
        return runProgram("7zz", args);
    case ToolKind::Flac:
        return runProgram("flac", args);
    case ToolKind::Metaflac:
        return runProgram("metaflac", args);
    case ToolKind::AdvZip:
        return runProgram("advzip", args);
    case ToolKind::Perl:
        return runPerl(args);
    case ToolKind::JpegTran:
        return runJpegTran(args);
    case ToolKind::Ect:
        return runEct(args);
    case ToolKind::DeflOpt:
        return runDeflOpt(args);
    case ToolKind::Defluff:
        return runDefluff();
    case ToolKind::FlexiGif:
        return runFlexiGif(args);
    case ToolKind::ArchiPng:
        return runLeaveAlone("ArchiPNG", args);
    case ToolKind::Leanify:
        return runLeaveAlone("Leanify", args);
    case ToolKind::Mp3Packer:
        return runMp3Packer(args);
    case ToolKind::Unknown:
        break;
    }
    complain("vell tools kit: no tool is known under the name " + narrow(name) + "\r\n");
    return kUnknownTool;
}
