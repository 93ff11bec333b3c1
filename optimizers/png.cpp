#include "optimizers/png.h"
#include "base/file_util.h"
#include "optimizers/replace.h"
#include "optimizers/verify.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <windows.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// DeflOpt works in memory; beyond this it would exhaust a 32-bit address space.
static const uint64_t DEFLOPT_SIZE_LIMIT = 0x20000000;
static const uint64_t DEFLOPT_WINDOW = 150;
static const char DEFLOPT_MARKER[] = "Number of files rewritten  :        ";
static const size_t DEFLOPT_MARKER_LENGTH = sizeof(DEFLOPT_MARKER) - 1;
static const size_t DEFLOPT_MARKER_POSITIONS = 112;

static wchar_t* scratchPath(const wchar_t* scratchDir, const wchar_t* name, const ErrorSink* sink)
{
    const wchar_t* pieces[] = {scratchDir, L"\\", name};
    return joinStrings(pieces, 3, sink);
}

// Unlike sizeOfPath, tells a missing or unreadable file apart from an empty one.
static bool fileSize(const wchar_t* path, uint64_t* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

static uint32_t runWithArguments(const char* tool, const wchar_t* const* pieces, size_t count,
                                 const wchar_t* scratchDir, bool lowPriority, const ErrorSink* sink)
{
    wchar_t* arguments = joinStrings(pieces, count, sink);
    if (!arguments)
        return ToolLaunchFailed;
    uint32_t code = runTool(tool, arguments, scratchDir, nullptr, nullptr, lowPriority, sink);
    release(arguments);
    return code;
}

static bool runOptiPng(const wchar_t* file, bool strip, const wchar_t* scratchDir, bool lowPriority,
                       const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"-force ", strip ? L"-strip all " : L"", L"-o7 -out \"", file,
                               L"\" \"", file, L"\""};
    return runWithArguments(TOOL_OPTIPNG, pieces, 7, scratchDir, lowPriority, sink) == 0;
}

static bool runArchiPng(const wchar_t* file, const wchar_t* scratchDir, bool lowPriority,
                        const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"\"", file, L"\""};
    return runWithArguments(TOOL_ARCHIPNG, pieces, 3, scratchDir, lowPriority, sink) == 0;
}

static bool runEctPng(const wchar_t* file, bool strip, bool clear, const wchar_t* scratchDir,
                      bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"-30060 --allfilters-b --pal_sort=120 ", strip ? L"-strip " : L"",
                               clear ? L"" : L"--strict ", L"\"", file, L"\""};
    uint32_t code = runWithArguments(TOOL_ECT, pieces, 6, scratchDir, lowPriority, sink);
    if (code == 1 || code == 5)
        reportText(sink, "ERROR: out of memory\n");
    if (code != 0)
        return false;
    return deflatePostPass(file, L".png", strip, scratchDir, lowPriority, sink);
}

// DeflOpt prints its summary last; only the tail of its report is read.
static bool reportSaysRewritten(HANDLE reportFile)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reportFile, &size) || static_cast<uint64_t>(size.QuadPart) < DEFLOPT_WINDOW)
        return false;
    char window[DEFLOPT_WINDOW];
    uint64_t offset = static_cast<uint64_t>(size.QuadPart) - DEFLOPT_WINDOW;
    if (readAtOffset(reportFile, offset, window, DEFLOPT_WINDOW, nullptr) != DEFLOPT_WINDOW)
        return false;
    for (size_t position = 0; position < DEFLOPT_MARKER_POSITIONS; ++position) {
        if (memcmp(window + position, DEFLOPT_MARKER, DEFLOPT_MARKER_LENGTH) == 0)
            return window[position + DEFLOPT_MARKER_LENGTH] == '1';
    }
    return false;
}

static bool runDeflOpt(const wchar_t* file, bool strip, const wchar_t* scratchDir, bool lowPriority,
                       const ErrorSink* sink, bool* rewritten)
{
    *rewritten = false;
    uint64_t size = 0;
    if (fileSize(file, &size) && size >= DEFLOPT_SIZE_LIMIT)
        return true;
    wchar_t* reportPath = scratchPath(scratchDir, L"deflopt.txt", sink);
    if (!reportPath)
        return false;
    HANDLE reportFile = CreateFileW(reportPath, GENERIC_READ | GENERIC_WRITE | DELETE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    release(reportPath);
    if (reportFile == INVALID_HANDLE_VALUE)
        return false;
    const wchar_t* pieces[] = {L"/b", strip ? L"" : L"k", L" \"", file, L"\""};
    wchar_t* arguments = joinStrings(pieces, 5, sink);
    uint32_t code = ToolLaunchFailed;
    if (arguments)
        code = runTool(TOOL_DEFLOPT, arguments, scratchDir, nullptr, reportFile, lowPriority, sink);
    release(arguments);
    if (code == 0)
        *rewritten = reportSaysRewritten(reportFile);
    CloseHandle(reportFile);
    return code == 0;
}

// defluff reads the file on its standard input and writes the result to temporary;
// true when that result is a usable gain. Any failure here only skips defluff.
static bool runDefluff(const wchar_t* file, const wchar_t* temporary, const wchar_t* scratchDir,
                       bool lowPriority, const ErrorSink* sink)
{
    HANDLE input = CreateFileW(file, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    HANDLE output = CreateFileW(temporary, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, 0, nullptr);
    uint32_t code = ToolLaunchFailed;
    if (input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE)
        code = runTool(TOOL_DEFLUFF, nullptr, scratchDir, input, output, lowPriority, sink);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    uint64_t before = 0;
    uint64_t after = 0;
    // An empty output "succeeding" would wipe the working copy; it is never a gain.
    return code == 0 && fileSize(file, &before) && fileSize(temporary, &after) && after != 0 &&
           after < before;
}

// Copies within the scratch folder; a failure is named in the log, since the
// pass then fails without any tool having said why. A cancelled job may find
// the file still held by the tool it stopped: that is the cancel, not a fault.
static bool copyOver(const wchar_t* from, const wchar_t* to, const char* what, const ErrorSink* sink)
{
    if (CopyFileW(from, to, FALSE))
        return true;
    DWORD error = GetLastError();
    if (!report(sink, SINK_TEXT_CHECKPOINT, reinterpret_cast<uintptr_t>(""))) {
        reportText(sink, "ERROR: aborted per user request\n");
        return false;
    }
    char line[128];
    snprintf(line, sizeof(line), "ERROR: cannot copy %s (system error %lu)\n", what,
             static_cast<unsigned long>(error));
    reportText(sink, line);
    return false;
}

// Repeats defluff and DeflOpt on a temporary copy until one round through both
// gains nothing. A copy that fails inside the scratch folder ends the pass as a
// failure: the working file or the temporary copy could be half written.
bool deflatePostPass(const wchar_t* file, const wchar_t* suffix, bool strip, const wchar_t* scratchDir,
                     bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* pieces[] = {file, L".2", suffix};
    wchar_t* temporary = joinStrings(pieces, 3, sink);
    if (!temporary)
        return false;
    bool succeeded = false;
    for (;;) {
        bool improved = false;
        if (runDefluff(file, temporary, scratchDir, lowPriority, sink)) {
            if (!copyOver(temporary, file, "the defluff result back", sink))
                break;
            improved = true;
        }
        if (!copyOver(file, temporary, "the file for DeflOpt", sink))
            break;
        bool rewritten = false;
        if (!runDeflOpt(temporary, strip, scratchDir, lowPriority, sink, &rewritten))
            break;
        if (rewritten) {
            if (!copyOver(temporary, file, "the DeflOpt result back", sink))
                break;
            continue;
        }
        if (improved)
            continue;
        DeleteFileW(temporary);
        succeeded = true;
        break;
    }
    release(temporary);
    return succeeded;
}

static wchar_t* copySourceToScratch(const wchar_t* source, const wchar_t* scratchDir,
                                    const char* failureText, const ErrorSink* sink)
{
    wchar_t* working = scratchPath(scratchDir, L"x.png", sink);
    if (working && copyToScratch(source, working))
        return working;
    reportText(sink, failureText);
    release(working);
    return nullptr;
}

static bool resultIsEmpty(const wchar_t* working, const ErrorSink* sink, uint64_t* size)
{
    if (fileSize(working, size) && *size != 0)
        return false;
    reportText(sink, "ERROR: broken optimization (empty result)\n");
    return true;
}

// The result goes over the user's file only through the atomic replacement; if
// that fails the job fails too, and the working copy stays in the scratch folder.
static bool putResultInPlace(const wchar_t* source, wchar_t* working, const ErrorSink* sink)
{
    bool replaced = replaceFileWith(source, working, sink);
    if (replaced)
        DeleteFileW(working);
    release(working);
    return replaced;
}

static bool keepSource(wchar_t* working)
{
    DeleteFileW(working);
    release(working);
    return true;
}

static bool failPipeline(wchar_t* working)
{
    release(working);
    return false;
}

enum Judgement { JUDGED_SMALLER, JUDGED_NOT_SMALLER, JUDGED_UNREADABLE };

// A source that vanished or became a folder meanwhile cannot be judged against;
// calling that a success would report a job as done that never reached its file.
static Judgement judgeAgainstSource(const wchar_t* source, uint64_t resultSize, const ErrorSink* sink)
{
    uint64_t sourceSize = 0;
    if (!fileSize(source, &sourceSize)) {
        reportText(sink, "ERROR: can't read the source file\n");
        return JUDGED_UNREADABLE;
    }
    return resultSize < sourceSize ? JUDGED_SMALLER : JUDGED_NOT_SMALLER;
}

bool optimizePng(const wchar_t* source, const wchar_t* scratchDir, bool strip, bool clear,
                 bool lowPriority, const ErrorSink* sink)
{
    wchar_t* working =
        copySourceToScratch(source, scratchDir, "ERROR: can't copy the source file\n", sink);
    if (!working)
        return false;
    if (!runEctPng(working, strip, clear, scratchDir, lowPriority, sink))
        return failPipeline(working);
    uint64_t size = 0;
    if (resultIsEmpty(working, sink, &size))
        return failPipeline(working);
    Judgement judgement = judgeAgainstSource(source, size, sink);
    if (judgement == JUDGED_UNREADABLE)
        return failPipeline(working);
    if (judgement == JUDGED_NOT_SMALLER)
        return keepSource(working);
    if (!verifyPngResult(source, working, strip, clear, sink))
        return failPipeline(working);
    return putResultInPlace(source, working, sink);
}

// The result is meant for a later archiver and replaces the file even when larger,
// but an empty result would lose the image and is refused like everywhere else.
bool optimizePngFor7z(const wchar_t* source, const wchar_t* scratchDir, bool strip, bool lowPriority,
                      const ErrorSink* sink)
{
    wchar_t* working = copySourceToScratch(source, scratchDir, "can't copy the source file", sink);
    if (!working)
        return false;
    if (!runOptiPng(working, strip, scratchDir, lowPriority, sink) ||
        !runArchiPng(working, scratchDir, lowPriority, sink))
        return failPipeline(working);
    uint64_t size = 0;
    if (resultIsEmpty(working, sink, &size))
        return failPipeline(working);
    if (!verifyPngResult(source, working, strip, false, sink))
        return failPipeline(working);
    return putResultInPlace(source, working, sink);
}

// OptiPNG reads BMP, GIF or TIFF data and writes a PNG; the file keeps its own name.
bool convertToPng(const wchar_t* source, const wchar_t* scratchDir, bool for7z, bool strip, bool clear,
                  bool lowPriority, const ErrorSink* sink)
{
    wchar_t* working = copySourceToScratch(source, scratchDir, "can't copy the source file", sink);
    if (!working)
        return false;
    if (!runOptiPng(working, true, scratchDir, lowPriority, sink))
        return failPipeline(working);
    bool optimized = for7z ? runArchiPng(working, scratchDir, lowPriority, sink)
                           : runEctPng(working, strip, clear, scratchDir, lowPriority, sink);
    if (!optimized)
        return failPipeline(working);
    uint64_t size = 0;
    if (resultIsEmpty(working, sink, &size))
        return failPipeline(working);
    if (!for7z) {
        Judgement judgement = judgeAgainstSource(source, size, sink);
        if (judgement == JUDGED_UNREADABLE)
            return failPipeline(working);
        if (judgement == JUDGED_NOT_SMALLER)
            return keepSource(working);
    }
    // ArchiPNG's variant never clears transparent pixels.
    if (!verifyPngResult(source, working, strip, clear && !for7z, sink))
        return failPipeline(working);
    return putResultInPlace(source, working, sink);
}
