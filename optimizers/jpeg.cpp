#include "optimizers/jpeg.h"
#include "base/file_util.h"
#include "optimizers/replace.h"
#include "optimizers/verify.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// Nested thumbnail runs put "thumbnail\" levels below the job's scratch folder.
static const size_t JPEG_PATH_ROOM = 2 * PATH_ROOM;
// The tools folder, the script, the longest option text and two paths fit easily.
static const size_t ARGUMENT_ROOM = 4096;
// ExifTool pads the tag name to 32 characters and follows it with ": ".
static const uint64_t TAG_VALUE_OFFSET = 34;

static bool formatArguments(wchar_t* buffer, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = vswprintf(buffer, ARGUMENT_ROOM, format, arguments);
    va_end(arguments);
    return written >= 0 && static_cast<size_t>(written) < ARGUMENT_ROOM;
}

static uint32_t runToolWithText(const char* toolName, const wchar_t* arguments, const wchar_t* workingDirectory,
                                bool lowPriority, const ErrorSink* sink)
{
    return runTool(toolName, arguments, workingDirectory, nullptr, nullptr, lowPriority, sink);
}

uint32_t runExifTool(const wchar_t* options, const wchar_t* file, const wchar_t* workingDirectory,
                     HANDLE standardOutput, bool lowPriority, const ErrorSink* sink)
{
    wchar_t script[sizeof(TOOL_EXIFTOOL_SCRIPT)];
    for (size_t i = 0; i < sizeof(TOOL_EXIFTOOL_SCRIPT); ++i)
        script[i] = static_cast<wchar_t>(static_cast<unsigned char>(TOOL_EXIFTOOL_SCRIPT[i]));
    wchar_t arguments[ARGUMENT_ROOM];
    if (!formatArguments(arguments, L"\"%ls%ls\" %ls \"%ls\"", toolsDirectory, script, options, file)) {
        reportText(sink, "ERROR: argument text too long\n");
        return ToolLaunchFailed;
    }
    return runTool(TOOL_PERL, arguments, workingDirectory, nullptr, standardOutput, lowPriority, sink);
}

bool readExifTag(const wchar_t* file, const wchar_t* options, const wchar_t* workingDirectory,
                 bool lowPriority, const ErrorSink* sink, char value[EXIF_TAG_ROOM])
{
    wchar_t tagPath[JPEG_PATH_ROOM];
    if (!joinPath(tagPath, JPEG_PATH_ROOM, workingDirectory, L"jpegtag.txt"))
        return false;
    HANDLE output = CreateFileW(tagPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    LARGE_INTEGER size;
    if (runExifTool(options, file, workingDirectory, output, lowPriority, sink) == 0 &&
        GetFileSizeEx(output, &size) && static_cast<uint64_t>(size.QuadPart) > TAG_VALUE_OFFSET) {
        char bytes[EXIF_TAG_ROOM];
        uint64_t count = readAtOffset(output, TAG_VALUE_OFFSET, bytes, EXIF_TAG_ROOM - 1, sink);
        if (count > 0) {
            if (count >= 2 && bytes[count - 2] == '\r' && bytes[count - 1] == '\n')
                count -= 2;
            memcpy(value, bytes, static_cast<size_t>(count));
            value[count] = '\0';
            found = true;
        }
    }
    CloseHandle(output);
    DeleteFileW(tagPath);
    return found;
}

// Runs mozjpegtran in place. Where its failure is tolerated the pipeline goes on
// with the file, so the file must be exactly what it was before, whatever the
// tool wrote before it gave up: it is restored from a copy taken first. Returns
// whether the pipeline may go on; *failed tells whether the tool failed.
static bool runMozjpegtran(const wchar_t* arguments, const wchar_t* file, const wchar_t* workingDirectory,
                           bool tolerateFailure, bool lowPriority, const ErrorSink* sink, bool* failed)
{
    wchar_t before[JPEG_PATH_ROOM];
    bool kept = false;
    if (tolerateFailure && joinPath(before, JPEG_PATH_ROOM, workingDirectory, L"before.jpg")) {
        DeleteFileW(before);
        kept = CopyFileW(file, before, TRUE) != 0;
    }
    *failed = runToolWithText(TOOL_MOZJPEGTRAN, arguments, workingDirectory, lowPriority, sink) != 0;
    if (!*failed) {
        if (kept)
            DeleteFileW(before);
        return true;
    }
    // Without the copy nothing vouches for the file any more.
    return kept && MoveFileExW(before, file, MOVEFILE_REPLACE_EXISTING) != 0;
}

DerotateOutcome derotateJpeg(const wchar_t* file, const wchar_t* workingDirectory, uint8_t derotateMode,
                             bool lowPriority, const ErrorSink* sink)
{
    if (derotateMode == 0)
        return DEROTATE_NOTHING_TO_DO;
    char value[EXIF_TAG_ROOM];
    if (!readExifTag(file, L"-orientation -n", workingDirectory, lowPriority, sink, value))
        return DEROTATE_NOTHING_TO_DO;
    const wchar_t* angle;
    switch (value[0]) {
    case '3': angle = L"180"; break;
    case '6': angle = L"90"; break;
    case '8': angle = L"270"; break;
    default: return DEROTATE_NOTHING_TO_DO;
    }
    bool lossless = derotateMode == 1;
    wchar_t arguments[ARGUMENT_ROOM];
    if (!formatArguments(arguments, L"-rotate %ls %ls-copy all -outfile \"%ls\" \"%ls\"", angle,
                         lossless ? L"-perfect " : L"-trim ", file, file))
        return DEROTATE_FAILED;
    bool failed = false;
    bool goOn = runMozjpegtran(arguments, file, workingDirectory, lossless, lowPriority, sink, &failed);
    if (failed)
        return goOn ? DEROTATE_NOT_LOSSLESS : DEROTATE_FAILED;
    if (runExifTool(L"-orientation=", file, workingDirectory, nullptr, lowPriority, sink) != 0)
        return DEROTATE_FAILED;
    return DEROTATE_TURNED;
}

bool optimizeThumbnail(const wchar_t* file, const wchar_t* workingDirectory, bool lowPriority,
                       const ErrorSink* sink)
{
    wchar_t thumbnail[JPEG_PATH_ROOM];
    HANDLE output = INVALID_HANDLE_VALUE;
    if (joinPath(thumbnail, JPEG_PATH_ROOM, workingDirectory, L"thumbnail.jpg"))
        output = CreateFileW(thumbnail, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                             CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        reportText(sink, "ERROR: cannot create thumbnail file\n");
        return false;
    }
    uint32_t code = runExifTool(L"-binary -ThumbnailImage", file, workingDirectory, output, lowPriority, sink);
    if (code != 0) {
        // A launch failure has said which tool is missing; that line stays the status.
        if (code != ToolLaunchFailed)
            reportText(sink, "ERROR: cannot extract thumbnail\n");
        CloseHandle(output);
        DeleteFileW(thumbnail);
        return false;
    }
    CloseHandle(output);
    if (sizeOfPath(thumbnail) == 0) {
        reportText(sink, "no thumbnail embedded\n");
        return true;
    }

    wchar_t nestedDir[JPEG_PATH_ROOM];
    if (!joinPath(nestedDir, JPEG_PATH_ROOM, workingDirectory, L"thumbnail") ||
        (!CreateDirectoryW(nestedDir, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)) {
        reportText(sink, "ERROR: cannot create thumbnail scratch directory\n");
        return false;
    }
    // Strategy 3 strips the nested copy's own thumbnail, which ends the recursion.
    if (!optimizeJpeg(thumbnail, nestedDir, true, 1, 3, lowPriority, sink)) {
        reportText(sink, "ERROR: cannot optimize thumbnail\n");
        return false;
    }
    wchar_t option[JPEG_PATH_ROOM + 32];
    int written = swprintf(option, JPEG_PATH_ROOM + 32, L"\"-ThumbnailImage<=%ls\"", thumbnail);
    if (written <= 0 || static_cast<size_t>(written) >= JPEG_PATH_ROOM + 32 ||
        runExifTool(option, file, workingDirectory, nullptr, lowPriority, sink) != 0) {
        reportText(sink, "ERROR: cannot replace thumbnail\n");
        return false;
    }
    return true;
}

// ExifTool options for the metadata strategies, before optimizing and at the end.
static bool formatMetadataOptions(wchar_t* before, wchar_t* atEnd, uint8_t strategy, const wchar_t* adobePart)
{
    switch (strategy) {
    case 1:
        return formatArguments(before, L"-ifd1:all=") &&
               formatArguments(atEnd, L"-ifd1:all= -overwrite_original_in_place");
    case 2:
        return formatArguments(before, L"-all= %ls-exif:all= -tagsFromFile @ -EXIF:CreateDate", adobePart) &&
               formatArguments(atEnd, L"-all= -tagsFromFile @ -EXIF:CreateDate -overwrite_original_in_place");
    case 3:
        return formatArguments(before, L"-all= %ls-exif:all=", adobePart) &&
               formatArguments(atEnd, L"-all= -overwrite_original_in_place");
    default:
        before[0] = L'\0';
        return formatArguments(atEnd, L"-overwrite_original_in_place");
    }
}

bool optimizeJpeg(const wchar_t* source, const wchar_t* scratchDir, bool optimize, uint8_t derotateMode,
                  uint8_t metadataStrategy, bool lowPriority, const ErrorSink* sink)
{
    // An unknown strategy keeps everything rather than removing what the user may want.
    if (metadataStrategy > 3)
        metadataStrategy = 0;
    if (derotateMode > 2)
        derotateMode = 2;
    wchar_t work[JPEG_PATH_ROOM];
    if (!joinPath(work, JPEG_PATH_ROOM, scratchDir, L"x.jpg") || !copyToScratch(source, work)) {
        reportText(sink, "ERROR: cannot copy JPG to temp\n");
        return false;
    }

    DerotateOutcome outcome = derotateJpeg(work, scratchDir, derotateMode, lowPriority, sink);
    if (outcome == DEROTATE_FAILED)
        return false;

    // Dropping the Adobe segment is only safe when it does not decide the colour transform.
    const wchar_t* adobePart = L"";
    if (metadataStrategy == 2 || metadataStrategy == 3) {
        char value[EXIF_TAG_ROOM];
        bool transformNeeded = readExifTag(work, L"-Adobe:ColorTransform -n", scratchDir, lowPriority, sink, value) &&
                               (strcmp(value, "1") == 0 || strcmp(value, "2") == 0);
        if (!transformNeeded)
            adobePart = L"-adobe:all= ";
    }
    wchar_t before[ARGUMENT_ROOM];
    wchar_t atEnd[ARGUMENT_ROOM];
    if (!formatMetadataOptions(before, atEnd, metadataStrategy, adobePart))
        return false;
    if (metadataStrategy != 0 && runExifTool(before, work, scratchDir, nullptr, lowPriority, sink) != 0)
        return false;

    if (optimize) {
        if (!optimizeThumbnail(work, scratchDir, lowPriority, sink))
            return false;
        wchar_t arguments[ARGUMENT_ROOM];
        if (!formatArguments(arguments, L"-copy all -outfile \"%ls\" \"%ls\"", work, work))
            return false;
        bool failed = false;
        if (!runMozjpegtran(arguments, work, scratchDir, derotateMode == 1, lowPriority, sink, &failed))
            return false;
        if (!formatArguments(arguments, L"-progressive \"%ls\"", work) ||
            runToolWithText(TOOL_ECT, arguments, scratchDir, lowPriority, sink) != 0)
            return false;
    }

    if (runExifTool(atEnd, work, scratchDir, nullptr, lowPriority, sink) != 0)
        return false;
    uint64_t resultSize = sizeOfPath(work);
    if (resultSize == 0) {
        reportText(sink, "ERROR: broken optimization (empty result)\n");
        return false;
    }
    // A turned image replaces the source even when larger: being upright is the gain.
    if (outcome == DEROTATE_TURNED || resultSize < sizeOfPath(source)) {
        if (!verifyJpegResult(source, work, outcome == DEROTATE_TURNED, derotateMode == 2, metadataStrategy, sink))
            return false;
        if (!replaceFileWith(source, work, sink))
            return false;
    }
    DeleteFileW(work);
    return true;
}
