// Audio, gzip and markup results: FLAC and gzip through the decoders already
// among the tools (flac, 7-Zip), MP3 and XML by parsing only.
#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include <msxml2.h>
#include <stdio.h>
#include <string.h>

namespace {

const size_t STREAMINFO_LENGTH = 34;
const size_t STREAMINFO_MD5 = 18;   // the signature of the decoded audio, 16 bytes
const size_t STREAMINFO_FORMAT = 10; // sample rate, channels, bits, total samples: 8 bytes

// STREAMINFO is the first metadata block of every FLAC stream.
bool readStreamInfo(const wchar_t* path, uint8_t info[STREAMINFO_LENGTH])
{
    HANDLE file = CreateFileW(path, GENERIC_READ, VERIFY_SHARE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    uint8_t head[8 + STREAMINFO_LENGTH];
    bool read = readFully(file, head, sizeof(head), nullptr) == sizeof(head);
    CloseHandle(file);
    if (!read || memcmp(head, "fLaC", 4) != 0 || (head[4] & 0x7F) != 0 || head[5] != 0 || head[6] != 0 ||
        head[7] != STREAMINFO_LENGTH)
        return false;
    memcpy(info, head + 8, STREAMINFO_LENGTH);
    return true;
}

bool isZero(const uint8_t* bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

uint32_t runWithPieces(const char* tool, const wchar_t* const* pieces, size_t count, const wchar_t* work,
                       HANDLE output, bool lowPriority, const ErrorSink* sink)
{
    wchar_t* arguments = joinStrings(pieces, count, sink);
    if (!arguments)
        return ToolLaunchFailed;
    uint32_t code = runTool(tool, arguments, work, nullptr, output, lowPriority, sink);
    release(arguments);
    return code;
}

// ---- MP3 -----------------------------------------------------------------------

const uint16_t MPEG1_BITRATES[3][15] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
};
const uint16_t MPEG2_BITRATES[2][15] = {
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
};
const uint32_t SAMPLE_RATES[3] = {44100, 48000, 32000};

// The length of the frame whose header is at p, or 0 when it is no frame header
// (free-format frames have no length of their own and are not followed).
uint32_t mpegFrameLength(const uint8_t* p)
{
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0)
        return 0;
    uint32_t version = (p[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    uint32_t layer = (p[1] >> 1) & 3;   // 1: III, 2: II, 3: I
    uint32_t bitrateIndex = p[2] >> 4;
    uint32_t rateIndex = (p[2] >> 2) & 3;
    uint32_t padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return 0;
    bool mpeg1 = version == 3;
    uint32_t kbps = mpeg1 ? MPEG1_BITRATES[3 - layer][bitrateIndex] : MPEG2_BITRATES[layer == 3 ? 0 : 1][bitrateIndex];
    uint32_t rate = SAMPLE_RATES[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
    uint32_t bitrate = kbps * 1000;
    if (layer == 3)
        return (12 * bitrate / rate + padding) * 4;
    if (layer == 1 && !mpeg1)
        return 72 * bitrate / rate + padding;
    return 144 * bitrate / rate + padding;
}

// An info frame (Xing, Info, VBRI) carries no audio; packers may add or drop it.
bool isInfoFrame(const uint8_t* frame, uint32_t length)
{
    for (uint32_t at = 4; at + 4 <= length && at < 4 + 40; ++at) {
        if (memcmp(frame + at, "Xing", 4) == 0 || memcmp(frame + at, "Info", 4) == 0 ||
            memcmp(frame + at, "VBRI", 4) == 0)
            return true;
    }
    return false;
}

// Counts the audio frames from the first to the end, tags at either end allowed;
// false when anything in between is not a frame.
bool countMpegFrames(const MappedFile* mp3, uint64_t* frames)
{
    const uint8_t* data = mp3->data;
    uint64_t length = mp3->length;
    uint64_t at = 0;
    if (length >= 10 && memcmp(data, "ID3", 3) == 0) {
        uint64_t size = (static_cast<uint64_t>(data[6] & 0x7F) << 21) | ((data[7] & 0x7F) << 14) |
                        ((data[8] & 0x7F) << 7) | (data[9] & 0x7F);
        at = 10 + size + ((data[5] & 0x10) ? 10 : 0);
    }
    *frames = 0;
    bool first = true;
    while (at < length) {
        uint64_t rest = length - at;
        if (rest == 128 && memcmp(data + at, "TAG", 3) == 0)
            break;
        if (rest >= 32 && memcmp(data + at, "APETAGEX", 8) == 0) {
            uint32_t size = data[at + 12] | (data[at + 13] << 8) | (data[at + 14] << 16) |
                            (static_cast<uint32_t>(data[at + 15]) << 24);
            // A header (flag bit 29) precedes the items; the size counts items and footer.
            at += ((data[at + 23] & 0x20) ? 32 : 0) + static_cast<uint64_t>(size);
            continue;
        }
        uint32_t frame = rest >= 4 ? mpegFrameLength(data + at) : 0;
        if (frame == 0 || frame > rest)
            return false;
        if (!(first && isInfoFrame(data + at, frame)))
            ++*frames;
        first = false;
        at += frame;
    }
    return *frames > 0;
}

bool mpegFrames(const wchar_t* path, uint64_t* frames)
{
    MappedFile mp3;
    if (!openMappedFile(path, &mp3))
        return false;
    bool parsed = mp3.data && countMpegFrames(&mp3, frames);
    closeMappedFile(&mp3);
    return parsed;
}

// ---- gzip ----------------------------------------------------------------------

uint32_t crcTable[256];

void makeCrcTable()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        crcTable[n] = c;
    }
}

// CRC-32 and length of a whole file, as gzip stores them.
bool crcOfFile(const wchar_t* path, uint32_t* crc, uint64_t* size)
{
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    InitOnceExecuteOnce(
        &once, [](PINIT_ONCE, PVOID, PVOID*) -> BOOL { makeCrcTable(); return TRUE; }, nullptr, nullptr);
    HANDLE file = CreateFileW(path, GENERIC_READ, VERIFY_SHARE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    uint8_t buffer[65536];
    uint32_t c = 0xFFFFFFFFu;
    uint64_t total = 0;
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof(buffer), &got, nullptr) != 0) && got != 0) {
        for (DWORD i = 0; i < got; ++i)
            c = crcTable[(c ^ buffer[i]) & 0xFF] ^ (c >> 8);
        total += got;
    }
    CloseHandle(file);
    *crc = c ^ 0xFFFFFFFFu;
    *size = total;
    return ok;
}

// The last 8 bytes of a gzip file: CRC-32 and length (modulo 2^32) of the last member.
bool gzipTrailer(const wchar_t* path, uint32_t* crc, uint32_t* size)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, VERIFY_SHARE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER length;
    uint8_t tail[8];
    bool read = GetFileSizeEx(file, &length) && length.QuadPart >= 18 &&
                readAtOffset(file, static_cast<uint64_t>(length.QuadPart) - 8, tail, 8, nullptr) == 8;
    CloseHandle(file);
    if (!read)
        return false;
    *crc = tail[0] | (tail[1] << 8) | (tail[2] << 16) | (static_cast<uint32_t>(tail[3]) << 24);
    *size = tail[4] | (tail[5] << 8) | (tail[6] << 16) | (static_cast<uint32_t>(tail[7]) << 24);
    return true;
}

const char CRC_MARKER[] = "CRC32  for data:";
const uint64_t LISTING_TAIL = 4096;

bool parseHex32(const char* text, uint32_t* value)
{
    while (*text == ' ')
        ++text;
    uint32_t v = 0;
    int digits = 0;
    for (; digits < 8; ++digits, ++text) {
        char c = *text;
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (d < 0)
            break;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return digits == 8;
}

// 7-Zip's summary after a test: "Size:       N" and "CRC32  for data:   XXXXXXXX".
bool parseTestListing(const char* text, uint32_t* crc, uint64_t* size)
{
    const char* marker = strstr(text, CRC_MARKER);
    const char* sizeLine = strstr(text, "\nSize:");
    if (!marker || !sizeLine || !parseHex32(marker + sizeof(CRC_MARKER) - 1, crc))
        return false;
    const char* digits = sizeLine + 6;
    while (*digits == ' ')
        ++digits;
    if (*digits < '0' || *digits > '9')
        return false;
    uint64_t value = 0;
    for (; *digits >= '0' && *digits <= '9'; ++digits)
        value = value * 10 + static_cast<uint64_t>(*digits - '0');
    *size = value;
    return true;
}

enum TestAnswer { TEST_PASSED, TEST_FAILED, TEST_NOT_RUN };

// A full decompression by 7-Zip, which checks every member against its own CRC.
// The listing goes to a file of its own name in work and never reaches the log:
// under Wine a tool's handles outlive it for a moment, so one name is not reused
// for the next test.
TestAnswer decompressedCrc(const wchar_t* archive, const wchar_t* listingName, const wchar_t* work,
                           bool lowPriority, const ErrorSink* sink, uint32_t* crc, uint64_t* size)
{
    wchar_t listingPath[PATH_ROOM + 32];
    if (!joinPath(listingPath, PATH_ROOM + 32, work, listingName))
        return TEST_NOT_RUN;
    HANDLE listing = CreateFileW(listingPath, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                 nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (listing == INVALID_HANDLE_VALUE)
        return TEST_NOT_RUN;
    const wchar_t* pieces[] = {L"t -scrcCRC32 \"", archive, L"\""};
    bool found = false;
    LARGE_INTEGER length;
    if (runWithPieces(TOOL_7Z, pieces, 3, work, listing, lowPriority, sink) == 0 && GetFileSizeEx(listing, &length)) {
        char text[LISTING_TAIL + 1];
        uint64_t total = static_cast<uint64_t>(length.QuadPart);
        uint64_t from = total > LISTING_TAIL ? total - LISTING_TAIL : 0;
        uint64_t got = readAtOffset(listing, from, text, total - from, nullptr);
        text[got] = 0;
        // A NUL in the listing would end the search early; nothing of interest follows one.
        found = parseTestListing(text, crc, size);
    }
    CloseHandle(listing);
    return found ? TEST_PASSED : TEST_FAILED;
}

// ---- XML -----------------------------------------------------------------------

// MSXML 3, which reads documents with a DTD as they are (without fetching it).
const CLSID CLSID_XmlDocument30 = {0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
const IID IID_XmlDocument = {0x2933bf81, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

enum ParseAnswer { PARSE_OK, PARSE_FAILED, PARSE_NO_PARSER };

ParseAnswer parseXml(const wchar_t* path)
{
    IXMLDOMDocument* document = nullptr;
    if (FAILED(CoCreateInstance(CLSID_XmlDocument30, nullptr, CLSCTX_INPROC_SERVER, IID_XmlDocument,
                                reinterpret_cast<void**>(&document))))
        return PARSE_NO_PARSER;
    document->put_async(VARIANT_FALSE);
    document->put_validateOnParse(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(path);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = source.bstrVal ? document->load(source, &loaded) : E_OUTOFMEMORY;
    VariantClear(&source);
    document->Release();
    return SUCCEEDED(hr) && loaded == VARIANT_TRUE ? PARSE_OK : PARSE_FAILED;
}

} // namespace

bool verifyFlacResult(const wchar_t* original, const wchar_t* result, const wchar_t* work, bool lowPriority,
                      const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    uint8_t before[STREAMINFO_LENGTH];
    uint8_t after[STREAMINFO_LENGTH];
    if (!readStreamInfo(original, before))
        return reportNotVerified(sink, "the original has no FLAC stream information");
    if (isZero(before + STREAMINFO_MD5, 16))
        return reportNotVerified(sink, "the original carries no MD5 signature of its audio");
    if (!readStreamInfo(result, after))
        return reportDifference(sink, "the result has no FLAC stream information");
    if (memcmp(before + STREAMINFO_FORMAT, after + STREAMINFO_FORMAT, 8) != 0)
        return reportDifference(sink, "audio format or length");
    if (memcmp(before + STREAMINFO_MD5, after + STREAMINFO_MD5, 16) != 0)
        return reportDifference(sink, "MD5 signature of the audio");
    const wchar_t* pieces[] = {L"-t -s \"", result, L"\""};
    if (runWithPieces(TOOL_FLAC, pieces, 3, work, nullptr, lowPriority, sink) != 0)
        return reportDifference(sink, "the result does not decode to its MD5 signature");
    return reportVerified(sink, "decoded audio equal (MD5 signature)");
}

bool verifyMp3Result(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    uint64_t before = 0;
    uint64_t after = 0;
    if (!mpegFrames(original, &before))
        return reportNotVerified(sink, "the original does not parse as MPEG audio");
    if (!mpegFrames(result, &after))
        return reportDifference(sink, "the result does not parse as MPEG audio");
    if (before != after)
        return reportDifference(sink, "%llu audio frames instead of %llu", static_cast<unsigned long long>(after),
                                static_cast<unsigned long long>(before));
    return reportNotVerified(sink, "MP3 audio is not decoded here; the result parses with as many frames");
}

bool verifyMarkupResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool answer;
    ParseAnswer before = parseXml(original);
    if (before == PARSE_NO_PARSER)
        answer = reportNotVerified(sink, "no XML parser is available");
    else if (before == PARSE_FAILED)
        answer = reportNotVerified(sink, "the original does not parse as XML");
    else if (parseXml(result) != PARSE_OK)
        answer = reportDifference(sink, "the result does not parse as XML");
    else
        answer = reportNotVerified(sink, "minified text is not compared; the result parses as XML");
    if (SUCCEEDED(hr))
        CoUninitialize();
    return answer;
}

bool verifyGzipResult(const wchar_t* original, const wchar_t* result, const wchar_t* changedContent,
                      const wchar_t* work, bool lowPriority, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    uint32_t resultCrc = 0;
    uint64_t resultSize = 0;
    TestAnswer test = decompressedCrc(result, L"result.crc32.txt", work, lowPriority, sink, &resultCrc, &resultSize);
    if (test == TEST_NOT_RUN)
        return reportCannotCheck(sink, "no room for 7-Zip's listing");
    if (test == TEST_FAILED)
        return reportDifference(sink, "the result does not decompress");
    uint32_t crc = 0;
    uint64_t size = 0;
    if (changedContent) {
        if (!crcOfFile(changedContent, &crc, &size))
            return reportCannotCheck(sink, "the optimized content cannot be read");
        if (crc != resultCrc || size != resultSize)
            return reportDifference(sink, "decompressed data");
        return reportVerified(sink, "decompressed data equal to the optimized content");
    }
    uint32_t storedCrc = 0;
    uint32_t storedSize = 0;
    if (!gzipTrailer(original, &storedCrc, &storedSize))
        return reportNotVerified(sink, "the original has no gzip trailer");
    if (storedCrc == resultCrc && storedSize == static_cast<uint32_t>(resultSize))
        return reportVerified(sink, "decompressed data equal");
    // The trailer covers only the last member of a file made of several; a
    // file of one member that disagrees with it differs, whatever 7-Zip says.
    test = decompressedCrc(original, L"original.crc32.txt", work, lowPriority, sink, &crc, &size);
    if (test == TEST_NOT_RUN)
        return reportCannotCheck(sink, "no room for 7-Zip's listing");
    if (test == TEST_FAILED || crc != resultCrc || size != resultSize)
        return reportDifference(sink, "decompressed data");
    return reportVerified(sink, "decompressed data equal");
}
