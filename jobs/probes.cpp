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

bool analyzeGifImages(const wchar_t* file, const wchar_t* folder, bool lowPriority)
{
    const wchar_t* listingPieces[] = {folder, L"\\gifanalysis.txt"};
    wchar_t* listingPath = joinStrings(listingPieces, 2, &defaultSink);
    if (!listingPath)
        return false;
    HANDLE listing = createForWriting(listingPath, GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_ATTRIBUTE_NORMAL,
                                      &defaultSink);
    if (!listing) {
        release(listingPath);
        return false;
    }
    bool single = false;
    const wchar_t* argumentPieces[] = {L"--info \"", file, L"\""};
    wchar_t* arguments = joinStrings(argumentPieces, 3, &defaultSink);
    if (arguments) {
        uint32_t result = runTool(TOOL_GIFSICLE, arguments, folder, nullptr, listing, lowPriority,
                                  &defaultSink);
        if (result == 0) {
            // The tool wrote through the same file object, so its position is
            // behind the listing; read from the start explicitly.
            char head[LISTING_READ_LENGTH];
            uint64_t length = readAtOffset(listing, 0, head, LISTING_READ_LENGTH, &defaultSink);
            single = listsSingleImage(head, static_cast<size_t>(length));
        }
        release(arguments);
    }
    CloseHandle(listing);
    DeleteFileW(listingPath);
    release(listingPath);
    return single;
}

bool extractMarkerFiles(const wchar_t* file, const wchar_t* folder, bool lowPriority)
{
    const wchar_t* pieces[] = {L"x \"", file, L"\" -y -o\"", folder, L"\" ",
                               L"[Content_Types].xml mimetype"};
    wchar_t* arguments = joinStrings(pieces, 6, &defaultSink);
    if (!arguments)
        return false;
    uint32_t result = runTool(TOOL_7Z, arguments, folder, nullptr, nullptr, lowPriority,
                              &defaultSink);
    release(arguments);
    return result == 0;
}
