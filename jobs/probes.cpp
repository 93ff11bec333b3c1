#include "jobs/probes.h"
#include "base/file_util.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <string.h>
#include <wchar.h>

const uint64_t LISTING_READ_LENGTH = 291;
const char SINGLE_IMAGE_ENDING[] = " 1 image";
const size_t SINGLE_IMAGE_ENDING_LENGTH = sizeof(SINGLE_IMAGE_ENDING) - 1;

// Judged on the bytes read only: the first line, without the CR of a CR LF.
static bool listsSingleImage(const char* listing, size_t length)
{
    const char* lineFeed = static_cast<const char*>(memchr(listing, '\n', length));
    size_t lineLength = length;
    if (lineFeed) {
        lineLength = static_cast<size_t>(lineFeed - listing);
        if (lineLength > 0 && listing[lineLength - 1] == '\r')
            --lineLength;
    }
    return lineLength >= SINGLE_IMAGE_ENDING_LENGTH &&
           memcmp(listing + lineLength - SINGLE_IMAGE_ENDING_LENGTH, SINGLE_IMAGE_ENDING,
                  SINGLE_IMAGE_ENDING_LENGTH) == 0;
}

// The tool reads a copy: a GIF is small, and a tool that deletes or rewrites
// its input then harms nothing of the user's.
bool analyzeGifImages(const wchar_t* file, const wchar_t* folder, bool lowPriority,
                      const ErrorSink* sink)
{
    const wchar_t* listingPieces[] = {folder, L"\\gifanalysis.txt"};
    wchar_t* listingPath = joinStrings(listingPieces, 2, &defaultSink);
    const wchar_t* copyPieces[] = {folder, L"\\x.gif"};
    wchar_t* copyPath = joinStrings(copyPieces, 2, &defaultSink);
    if (!listingPath || !copyPath || !CopyFileW(file, copyPath, TRUE)) {
        release(listingPath);
        release(copyPath);
        return false;
    }
    HANDLE listing = createForWriting(listingPath, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL,
                                      &defaultSink);
    bool single = false;
    const wchar_t* argumentPieces[] = {L"--info \"", copyPath, L"\""};
    wchar_t* arguments = listing ? joinStrings(argumentPieces, 3, &defaultSink) : nullptr;
    if (arguments) {
        uint32_t result = runTool(TOOL_GIFSICLE, arguments, folder, nullptr, listing, lowPriority, sink);
        if (result == 0) {
            // The tool wrote through the same file object, so its position is
            // behind the listing; read from the start explicitly.
            char head[LISTING_READ_LENGTH];
            uint64_t length = readAtOffset(listing, 0, head, LISTING_READ_LENGTH, &defaultSink);
            single = listsSingleImage(head, static_cast<size_t>(length));
        }
        release(arguments);
    }
    if (listing) {
        CloseHandle(listing);
        DeleteFileW(listingPath);
    }
    // The copy keeps the original's attributes; a read-only one would not go.
    SetFileAttributesW(copyPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(copyPath);
    release(listingPath);
    release(copyPath);
    return single;
}

// An archive may be large, so 7-Zip reads the file itself; a handle that shares
// reading only, held across the run, keeps any tool from writing or deleting it.
// A file that cannot be held so is being written by someone: the probe fails.
bool extractMarkerFiles(const wchar_t* file, const wchar_t* folder, bool lowPriority,
                        const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"x \"", file, L"\" -y -o\"", folder, L"\" ",
                               L"[Content_Types].xml mimetype"};
    wchar_t* arguments = joinStrings(pieces, 6, &defaultSink);
    if (!arguments)
        return false;
    HANDLE guard = openForReading(file, GENERIC_READ, FILE_SHARE_READ, nullptr);
    uint32_t result = ToolLaunchFailed;
    if (guard) {
        result = runTool(TOOL_7Z, arguments, folder, nullptr, nullptr, lowPriority, sink);
        CloseHandle(guard);
    }
    release(arguments);
    return result == 0;
}
