#include "optimizers/media.h"
#include "base/file_util.h"
#include "optimizers/replace.h"
#include "optimizers/verify.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <wchar.h>

namespace {

// Two quoted paths, an option prefix and the fixed options of the longest call.
const size_t ARGUMENT_ROOM = PATH_ROOM + SCRATCH_FILE_ROOM + 128;

// Office formats whose readers expect 512-byte sectors; they get no 4096-byte pass.
const char* const SMALL_SECTOR_EXTENSIONS[] = {"doc", "dot", "xls", "xlt",
                                               "xlw", "pot", "pps", "ppt"};

bool scratchPath(wchar_t* buffer, const wchar_t* scratchDir, const wchar_t* name,
                 const ErrorSink* sink)
{
    int written = swprintf(buffer, SCRATCH_FILE_ROOM, L"%ls\\%ls", scratchDir, name);
    if (written > 0 && static_cast<size_t>(written) < SCRATCH_FILE_ROOM)
        return true;
    reportText(sink, "ERROR: the scratch path is too long\n");
    return false;
}

// ASCII letters without case; any other character must match exactly, so a
// non-ASCII extension never passes for one of the listed ones.
bool equalsAsciiNoCase(const wchar_t* text, const char* lowercaseLiteral)
{
    for (;; ++text, ++lowercaseLiteral) {
        wchar_t c = *text;
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c != static_cast<wchar_t>(static_cast<unsigned char>(*lowercaseLiteral)))
            return false;
        if (c == 0)
            return true;
    }
}

bool takesOnlySmallSectors(const wchar_t* path)
{
    const wchar_t* extension = extensionOfPath(path);
    for (const char* listed : SMALL_SECTOR_EXTENSIONS) {
        if (equalsAsciiNoCase(extension, listed))
            return true;
    }
    return false;
}

bool isFile(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool copySource(const wchar_t* path, const wchar_t* copy, const ErrorSink* sink)
{
    // A leftover copy is never reused: it may not be this file's content.
    if (copyToScratch(path, copy))
        return true;
    reportText(sink, "ERROR: can't copy the source file\n");
    return false;
}

// Shows that result holds the content of path.
typedef bool (*ResultCheck)(const wchar_t* path, const wchar_t* result, const wchar_t* scratchDir,
                            bool lowPriority, const ErrorSink* sink);

// VellCFBF compares its copy before it ends with 0, but its exit code alone
// must not be what lets a file be overwritten.
bool checkCompound(const wchar_t* path, const wchar_t* result, const wchar_t*, bool, const ErrorSink* sink)
{
    return verifyCompoundResult(path, result, sink);
}

bool checkMp3(const wchar_t* path, const wchar_t* result, const wchar_t*, bool, const ErrorSink* sink)
{
    return verifyMp3Result(path, result, sink);
}

// Puts result over path when it is strictly smaller. An empty result is
// refused outright: a tool that claims success must not wipe the user's file.
bool acceptIfSmaller(const wchar_t* path, const wchar_t* result, ResultCheck check,
                     const wchar_t* scratchDir, bool lowPriority, bool* replaced, const ErrorSink* sink)
{
    *replaced = false;
    uint64_t resultSize = sizeOfPath(result);
    uint64_t fileSize = sizeOfPath(path);
    if (resultSize == 0) {
        reportText(sink, "ERROR: broken optimization (empty result)\n");
        return false;
    }
    if (resultSize >= fileSize)
        return true;
    if (check && !check(path, result, scratchDir, lowPriority, sink))
        return false;
    if (!replaceFileWith(path, result, sink))
        return false;
    *replaced = true;
    return true;
}

bool quoteArguments(wchar_t* buffer, const wchar_t* options, const wchar_t* first,
                    const wchar_t* second, const ErrorSink* sink)
{
    int written = second ? swprintf(buffer, ARGUMENT_ROOM, L"%ls\"%ls\" \"%ls\"", options, first,
                                    second)
                         : swprintf(buffer, ARGUMENT_ROOM, L"%ls\"%ls\"", options, first);
    if (written > 0 && static_cast<size_t>(written) < ARGUMENT_ROOM)
        return true;
    reportText(sink, "ERROR: the command line is too long\n");
    return false;
}

} // namespace

bool optimizeCompoundFile(const wchar_t* path, const wchar_t* scratchDir, bool lowPriority,
                          const ErrorSink* sink)
{
    // VellCFBF reads a copy: a tool that misbehaves must not reach the user's file.
    wchar_t copy[SCRATCH_FILE_ROOM];
    wchar_t result[SCRATCH_FILE_ROOM];
    if (!scratchPath(copy, scratchDir, L"in.doc", sink) || !scratchPath(result, scratchDir, L"x.doc", sink))
        return false;
    int passCount = takesOnlySmallSectors(path) ? 1 : 2;
    for (int pass = 0; pass < passCount; ++pass) {
        // Each pass starts from the file as the pass before left it.
        DeleteFileW(copy);
        if (!copySource(path, copy, sink))
            return false;
        wchar_t arguments[ARGUMENT_ROOM];
        if (!quoteArguments(arguments, pass == 0 ? L"" : L"-v4 ", copy, result, sink))
            return false;
        // The previous pass's output must not pass for this pass's when the
        // tool reports success without writing.
        DeleteFileW(result);
        uint32_t code = runTool(TOOL_VELLCFBF, arguments, scratchDir, nullptr, nullptr,
                                lowPriority, sink);
        if (code != 0)
            return false;
        bool replaced = false;
        if (!acceptIfSmaller(path, result, checkCompound, scratchDir, lowPriority, &replaced, sink))
            return false;
        if (replaced)
            reportText(sink, "new optimium\n");
    }
    return true;
}

bool optimizeMp3(const wchar_t* path, const wchar_t* scratchDir, bool strip, bool lowPriority,
                 const ErrorSink* sink)
{
    wchar_t copy[SCRATCH_FILE_ROOM];
    wchar_t result[SCRATCH_FILE_ROOM];
    if (!scratchPath(copy, scratchDir, L"x.mp3", sink) ||
        !scratchPath(result, scratchDir, L"x-vbr.mp3", sink))
        return false;
    if (!copySource(path, copy, sink))
        return false;
    wchar_t arguments[ARGUMENT_ROOM];
    const wchar_t* options = strip ? L"-z -A --keep-ok out --keep-bad in --workers 0 -t -s "
                                   : L"-z -A --keep-ok out --keep-bad in --workers 0 ";
    if (!quoteArguments(arguments, options, copy, nullptr, sink))
        return false;
    DeleteFileW(result); // only this run's output may count
    uint32_t code = runTool(TOOL_MP3PACKER, arguments, scratchDir, nullptr, nullptr, lowPriority,
                            sink);
    if (code != 0 || !isFile(result)) {
        reportText(sink, "ERROR: optimization failed\n");
        return false;
    }
    bool replaced = false;
    if (!acceptIfSmaller(path, result, checkMp3, scratchDir, lowPriority, &replaced, sink))
        return false;
    DeleteFileW(result);
    return true;
}

bool optimizeFlac(const wchar_t* path, const wchar_t* scratchDir, bool strip, bool lowPriority,
                  const ErrorSink* sink)
{
    wchar_t copy[SCRATCH_FILE_ROOM];
    if (!scratchPath(copy, scratchDir, L"x.flac", sink))
        return false;
    if (!copySource(path, copy, sink))
        return false;
    wchar_t arguments[ARGUMENT_ROOM];
    if (strip) {
        if (!quoteArguments(arguments, L"--dont-use-padding --remove-all ", copy, nullptr, sink))
            return false;
        if (runTool(TOOL_METAFLAC, arguments, scratchDir, nullptr, nullptr, lowPriority, sink) != 0)
            return false;
    }
    if (!quoteArguments(arguments,
                        L"--best -r 0,7 --exhaustive-model-search --qlp-coeff-precision-search "
                        L"--force ",
                        copy, nullptr, sink))
        return false;
    if (runTool(TOOL_FLAC, arguments, scratchDir, nullptr, nullptr, lowPriority, sink) != 0)
        return false;
    bool replaced = false;
    if (!acceptIfSmaller(path, copy, verifyFlacResult, scratchDir, lowPriority, &replaced, sink))
        return false;
    DeleteFileW(copy);
    return true;
}
