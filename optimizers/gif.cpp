#include "optimizers/gif.h"
#include "base/file_util.h"
#include "optimizers/replace.h"
#include "optimizers/verify.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <stdio.h>
#include <wchar.h>

static const size_t GIF_PATH_ROOM = PATH_ROOM + 8;
static const size_t GIF_ARGUMENT_ROOM = 2 * GIF_PATH_ROOM + 64;

// Gifsicle writes B from A; flexiGIF then reads B and writes its own result
// into A. Either may be the smaller, so both are measured.
bool optimizeGif(const wchar_t* path, const wchar_t* scratchDir, bool lowPriority, const ErrorSink* sink)
{
    wchar_t copyA[GIF_PATH_ROOM];
    wchar_t copyB[GIF_PATH_ROOM];
    if (!joinPath(copyA, GIF_PATH_ROOM, scratchDir, L"a.gif") ||
        !joinPath(copyB, GIF_PATH_ROOM, scratchDir, L"b.gif") || !copyToScratch(path, copyA)) {
        reportText(sink, "ERROR: can't copy the source file\n");
        return false;
    }

    wchar_t arguments[GIF_ARGUMENT_ROOM];
    swprintf(arguments, GIF_ARGUMENT_ROOM, L"--optimize=3 --no-comments --no-extensions -o \"%ls\" \"%ls\"", copyB,
             copyA);
    if (runTool(TOOL_GIFSICLE, arguments, scratchDir, nullptr, nullptr, lowPriority, sink) != 0)
        return false;
    swprintf(arguments, GIF_ARGUMENT_ROOM, L"-f -p -a=1 -y \"%ls\" \"%ls\"", copyB, copyA);
    if (runTool(TOOL_FLEXIGIF, arguments, scratchDir, nullptr, nullptr, lowPriority, sink) != 0)
        return false;

    uint64_t sizeA = sizeOfPath(copyA);
    uint64_t sizeB = sizeOfPath(copyB);
    if (sizeA == 0 && sizeB == 0) {
        reportText(sink, "ERROR: broken optimization (empty result)\n");
        return false;
    }
    bool takeA = sizeA != 0 && (sizeB == 0 || sizeA < sizeB);
    const wchar_t* result = takeA ? copyA : copyB;
    uint64_t resultSize = takeA ? sizeA : sizeB;
    if (resultSize < sizeOfPath(path)) {
        if (!verifyGifResult(path, result, sink))
            return false;
        if (!replaceFileWith(path, result, sink))
            return false;
    }
    DeleteFileW(copyB);
    DeleteFileW(copyA);
    return true;
}
