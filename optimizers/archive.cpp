#include "optimizers/archive.h"
#include "base/file_util.h"
#include "optimizers/png.h"
#include "optimizers/replace.h"
#include "optimizers/verify.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <string.h>
#include <wchar.h>

const char DIGEST_MARKER[] = "SHA256 for data:              ";
const size_t DIGEST_MARKER_LENGTH = sizeof(DIGEST_MARKER) - 1; // 30
const uint64_t DIGEST_WINDOW_LENGTH = 400;
const size_t DIGEST_LAST_START = 304; // marker and digest end inside the window
const uint32_t ECT_CANNOT_OPTIMIZE = 1;
const uint32_t ECT_OUT_OF_MEMORY = 5;

// Runs a tool whose argument string is the pieces run together; the tool's
// result, or ToolLaunchFailed when the string could not be built.
static uint32_t runWithPieces(const char* tool, const wchar_t* const* pieces, size_t count,
                              const wchar_t* work, HANDLE output, bool lowPriority,
                              const ErrorSink* sink)
{
    wchar_t* arguments = joinStrings(pieces, count, sink);
    if (!arguments)
        return ToolLaunchFailed;
    uint32_t result = runTool(tool, arguments, work, nullptr, output, lowPriority, sink);
    release(arguments);
    return result;
}

bool extractArchive(const wchar_t* archive, const wchar_t* folder, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"x \"", archive, L"\" -y -o\"", folder, L"\""};
    return runWithPieces(TOOL_7Z, pieces, 5, work, nullptr, lowPriority, sink) == 0;
}

// The marker may start at positions 0 to 304 of the window, so that the 64
// digest characters behind it are inside the 400 bytes that were read.
static bool findDigest(const char* window, char digest[CONTENT_DIGEST_LENGTH])
{
    for (size_t at = 0; at <= DIGEST_LAST_START; ++at) {
        if (memcmp(window + at, DIGEST_MARKER, DIGEST_MARKER_LENGTH) == 0) {
            memcpy(digest, window + at + DIGEST_MARKER_LENGTH, CONTENT_DIGEST_LENGTH);
            return true;
        }
    }
    return false;
}

// Marks the listing for deletion while it is still open, so it goes with the
// handle whatever happened; a system without that disposition gets a plain delete.
static void closeAndDeleteListing(HANDLE listing, const wchar_t* path)
{
    FILE_DISPOSITION_INFO disposition;
    disposition.DeleteFile = TRUE;
    bool marked = SetFileInformationByHandle(listing, FileDispositionInfo, &disposition,
                                             sizeof(disposition)) != 0;
    CloseHandle(listing);
    if (!marked)
        DeleteFileW(path);
}

bool computeContentDigest(char digest[CONTENT_DIGEST_LENGTH], const wchar_t* target, bool isArchive,
                          const wchar_t* work, bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* pathPieces[] = {work, L"\\sha256.txt"};
    wchar_t* listingPath = joinStrings(pathPieces, 2, sink);
    if (!listingPath)
        return false;
    HANDLE listing = CreateFileW(listingPath, GENERIC_READ | GENERIC_WRITE | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (listing == INVALID_HANDLE_VALUE) {
        release(listingPath);
        return false;
    }

    uint32_t result;
    if (isArchive) {
        const wchar_t* pieces[] = {L"t -r -scrcSHA256 \"", target, L"\" *"};
        result = runWithPieces(TOOL_7Z, pieces, 3, work, listing, lowPriority, sink);
    } else {
        // Exactly one backslash before the "*", however the folder was written.
        size_t length = wcslen(target);
        bool endsWithBackslash = length > 0 && target[length - 1] == L'\\';
        const wchar_t* pieces[] = {L"h -r -scrcSHA256 \"", target,
                                   endsWithBackslash ? L"*\"" : L"\\*\""};
        result = runWithPieces(TOOL_7Z, pieces, 3, work, listing, lowPriority, sink);
    }

    bool found = false;
    LARGE_INTEGER size;
    if (result == 0 && GetFileSizeEx(listing, &size) &&
        static_cast<uint64_t>(size.QuadPart) >= DIGEST_WINDOW_LENGTH) {
        char window[DIGEST_WINDOW_LENGTH];
        // The tool wrote through the same file object, so the position is read explicitly.
        uint64_t offset = static_cast<uint64_t>(size.QuadPart) - DIGEST_WINDOW_LENGTH;
        if (readAtOffset(listing, offset, window, DIGEST_WINDOW_LENGTH, nullptr) == DIGEST_WINDOW_LENGTH)
            found = findDigest(window, digest);
    }
    closeAndDeleteListing(listing, listingPath);
    release(listingPath);
    return found;
}

bool runEctZip(const wchar_t* archive, const wchar_t* work, bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"-60500 --disable-jpg --disable-png -zip \"", archive, L"\""};
    uint32_t result = runWithPieces(TOOL_ECT, pieces, 3, work, nullptr, lowPriority, sink);
    if (result == ECT_CANNOT_OPTIMIZE || result == ECT_OUT_OF_MEMORY)
        reportText(sink, "ERROR: out of memory\n");
    return result == 0;
}

bool runEctGzip(const wchar_t* archive, const wchar_t* work, bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"-60500 -gzip --strict \"", archive, L"\""};
    uint32_t result = runWithPieces(TOOL_ECT, pieces, 3, work, nullptr, lowPriority, sink);
    if (result == ECT_CANNOT_OPTIMIZE) {
        // The archive stays as 7-Zip made it, which is still a valid result.
        reportText(sink, "ERROR: cannot optimize this file\n");
        return true;
    }
    if (result == ECT_OUT_OF_MEMORY)
        reportText(sink, "ERROR: out of memory\n");
    return result == 0;
}

bool recompressZip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                   const ErrorSink* sink)
{
    char before[CONTENT_DIGEST_LENGTH];
    if (!computeContentDigest(before, folder, false, work, lowPriority, sink))
        return false;
    // 7-Zip adds to an archive that exists; a leftover would bring old entries along.
    DeleteFileW(archive);
    const wchar_t* buildPieces[] = {L"a -mm=Deflate -mfb=258 -mpass=16 -mmt=off ", L" \"", archive,
                                    L"\" \"", folder, L"\\*\""};
    if (runWithPieces(TOOL_7Z, buildPieces, 6, work, nullptr, lowPriority, sink) != 0)
        return false;
    const wchar_t* leanifyPieces[] = {L"--verbose --max_depth 1 \"", archive, L"\""};
    if (runWithPieces(TOOL_LEANIFY, leanifyPieces, 3, work, nullptr, lowPriority, sink) != 0)
        return false;
    if (!runEctZip(archive, work, lowPriority, sink))
        return false;
    const wchar_t* advzipPieces[] = {L"--recompress --shrink-insane \"", archive, L"\""};
    if (runWithPieces(TOOL_ADVZIP, advzipPieces, 3, work, nullptr, lowPriority, sink) != 0)
        return false;
    if (!deflatePostPass(archive, L".zip", true, work, lowPriority, sink))
        return false;
    reportText(sink, "optimization done; checking for errors \xE2\x80\xA6\n");
    char after[CONTENT_DIGEST_LENGTH];
    if (!computeContentDigest(after, archive, true, work, lowPriority, sink))
        return false;
    if (memcmp(before, after, CONTENT_DIGEST_LENGTH) != 0) {
        reportText(sink, "ERROR: archive broke during optimization\n");
        return false;
    }
    reportText(sink, "CRC is OK\n");
    return true;
}

bool recompressGzip(const wchar_t* folder, const wchar_t* archive, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink)
{
    DeleteFileW(archive);
    const wchar_t* buildPieces[] = {L"a -mm=Deflate -mfb=258 -mpass=48 -mmt=off \"", archive, L"\" \"",
                                    folder, L"\\*\""};
    if (runWithPieces(TOOL_7Z, buildPieces, 5, work, nullptr, lowPriority, sink) != 0)
        return false;
    if (!runEctGzip(archive, work, lowPriority, sink))
        return false;
    return deflatePostPass(archive, L".gz", true, work, lowPriority, sink);
}

bool addStoredEntry(const wchar_t* archive, const wchar_t* file, const wchar_t* work, bool lowPriority,
                    const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"a \"", archive, L"\" \"", file,
                               L"\" -mm=Deflate -m0=Copy -mtc=off -mcl=off -mcu=off"};
    return runWithPieces(TOOL_7Z, pieces, 5, work, nullptr, lowPriority, sink) == 0;
}

bool renameMimetypeEntry(const wchar_t* archive, const wchar_t* work, bool lowPriority,
                         const ErrorSink* sink)
{
    const wchar_t* pieces[] = {L"rn \"", archive, L"\" \"", L"!!!!!!!!", L"\" \"", L"mimetype", L"\""};
    return runWithPieces(TOOL_7Z, pieces, 7, work, nullptr, lowPriority, sink) == 0;
}

// Leanify rewrites its file in place; run on the user's file, a cancel or a
// crash in the middle of that write would lose it. It therefore works on a copy
// in the scratch folder, and the copy replaces the file only when it is smaller.
bool minifyFile(const wchar_t* file, const wchar_t* work, bool lowPriority, const ErrorSink* sink)
{
    const wchar_t* copyName = equalsNoCase(extensionOfPath(fileNameOfPath(file)), "svg") ? L"\\x.svg"
                                                                                       : L"\\x.xml";
    const wchar_t* copyPieces[] = {work, copyName};
    wchar_t* copy = joinStrings(copyPieces, 2, sink);
    if (!copy)
        return false;
    DeleteFileW(copy);
    if (!copyToScratch(file, copy)) {
        reportText(sink, "ERROR: can't copy the source file\n");
        release(copy);
        return false;
    }

    bool ok = false;
    const wchar_t* pieces[] = {L"--verbose \"", copy, L"\""};
    if (runWithPieces(TOOL_LEANIFY, pieces, 3, work, nullptr, lowPriority, sink) == 0) {
        uint64_t minifiedSize = sizeOfPath(copy);
        if (minifiedSize == 0)
            reportText(sink, "ERROR: broken optimization (empty result)\n");
        else if (minifiedSize < sizeOfPath(file))
            ok = verifyMarkupResult(file, copy, sink) && replaceFileWith(file, copy, sink);
        else
            ok = true;
    }
    DeleteFileW(copy);
    release(copy);
    return ok;
}
