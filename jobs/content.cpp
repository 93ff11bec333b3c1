#include "jobs/content.h"
#include "base/file_util.h"
#include "jobs/job.h"
#include "jobs/probes.h"
#include "jobs/scratch.h"
#include "settings/settings.h"
#include <string.h>
#include <wchar.h>

static const wchar_t* const scratchNames[KIND_COUNT] = {
    nullptr,  L"x.png", L"x.jpg", L"x.gif", L"x.gif", L"x.bmp", L"x.zip", L"x.zip",
    L"x.zip", L"x.zip", L"x.zip", L"x.gz",  L"x.7z",  L"x.db",  L"x.svg", L"x.tif",
    L"x.rar", L"x.dmg", L"x.doc", L"x.xml", L"x.mp3", L"x.flac",
};

// Fixed rows of 32 units, as the job list shows them.
static const wchar_t actionTexts[ACTION_COUNT][32] = {
    L"none",
    L"optimize PNG",
    L"optimize JPEG",
    L"optimize GIF",
    L"optimize ZIP",
    L"optimize ZIP-like",
    L"optimize Office Open XML",
    L"optimize Open Document",
    L"optimize EPUB",
    L"optimize gzip",
    L"optimize CFBF",
    L"optimize MP3",
    L"optimize FLAC",
    L"minify XML",
    L"minify SVG",
    L"extract ZIP",
    L"extract gzip",
    L"extract RAR",
    L"extract 7z",
    L"extract DMG",
    L"convert to PNG",
    L"delete",
};

const wchar_t* scratchFileName(FileKind kind)
{
    return kind < KIND_COUNT ? scratchNames[kind] : nullptr;
}

bool jobScratchFile(const Job* job, wchar_t* buffer)
{
    const wchar_t* name = scratchFileName(static_cast<FileKind>(job->kind));
    return name && job->scratchDir[0] && joinPath(buffer, SCRATCH_FILE_ROOM, job->scratchDir, name);
}

const wchar_t* actionDisplayText(Action action)
{
    return action < ACTION_COUNT ? actionTexts[action] : actionTexts[ACTION_NONE];
}

static bool startsWith(const uint8_t* head, uint32_t length, const void* bytes, uint32_t count)
{
    return length >= count && memcmp(head, bytes, count) == 0;
}

// Text formats may start with a byte-order mark; the test looks behind it in
// UTF-8 and in both UTF-16 byte orders.
static bool textStartsWith(const uint8_t* head, uint32_t length, const char* ascii)
{
    uint32_t skip = 0;
    if (startsWith(head, length, "\xEF\xBB\xBF", 3))
        skip = 3;
    else if (startsWith(head, length, "\xFF\xFE", 2) || startsWith(head, length, "\xFE\xFF", 2))
        skip = 2;
    const uint8_t* text = head + skip;
    uint32_t left = length - skip;
    uint32_t count = static_cast<uint32_t>(strlen(ascii));
    if (startsWith(text, left, ascii, count))
        return true;
    if (left < count * 2)
        return false;
    bool bigEndian = true;
    bool littleEndian = true;
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t c = static_cast<uint8_t>(ascii[i]);
        bigEndian = bigEndian && text[2 * i] == 0 && text[2 * i + 1] == c;
        littleEndian = littleEndian && text[2 * i] == c && text[2 * i + 1] == 0;
    }
    return bigEndian || littleEndian;
}

static FileKind probeGif(const wchar_t* path, const wchar_t* temporaryPath, bool lowPriority,
                         const ErrorSink* sink)
{
    wchar_t folder[PATH_ROOM];
    if (!createScratchDir(folder, temporaryPath))
        return KIND_GIF_MULTI;
    bool single = analyzeGifImages(path, folder, lowPriority, sink);
    deleteTreePatiently(folder);
    return single ? KIND_GIF_SINGLE : KIND_GIF_MULTI;
}

static FileKind markerKind(const wchar_t* folder)
{
    wchar_t marker[PATH_ROOM + 32];
    swprintf(marker, PATH_ROOM + 32, L"%ls\\[Content_Types].xml", folder);
    if (GetFileAttributesW(marker) != INVALID_FILE_ATTRIBUTES)
        return KIND_OOXML;
    swprintf(marker, PATH_ROOM + 32, L"%ls\\mimetype", folder);
    HANDLE file = openForReading(marker, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr);
    if (!file)
        return KIND_NONE;
    FileKind kind = KIND_NONE;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        HANDLE mapping;
        const char* text = static_cast<const char*>(mapForReading(file, &mapping, nullptr));
        if (text) {
            static const char epub[] = "application/epub+zip";
            static const char odf[] = "application/vnd.oasis.opendocument";
            if (size.QuadPart == 20 && memcmp(text, epub, 20) == 0)
                kind = KIND_EPUB;
            else if (size.QuadPart >= 34 && memcmp(text, odf, 34) == 0)
                kind = KIND_ODF;
            UnmapViewOfFile(text);
            CloseHandle(mapping);
        }
    }
    CloseHandle(file);
    return kind;
}

static FileKind probeZip(const wchar_t* path, const wchar_t* temporaryPath, bool lowPriority,
                         const ErrorSink* sink)
{
    FileKind kind = KIND_NONE;
    wchar_t folder[PATH_ROOM];
    if (createScratchDir(folder, temporaryPath)) {
        extractMarkerFiles(path, folder, lowPriority, sink);
        kind = markerKind(folder);
        deleteTreePatiently(folder);
    }
    if (kind != KIND_NONE)
        return kind;
    return equalsNoCase(extensionOfPath(path), "zip") ? KIND_ZIP : KIND_ZIP_LIKE;
}

FileKind sniffContent(const wchar_t* path, const wchar_t* temporaryPath, const uint8_t* head,
                      uint64_t size, uint32_t n, bool lowPriority, const ErrorSink* probeSink)
{
    const uint64_t below2GiB = 0x7FFFFFFF;
    const uint64_t below4GiB = 0xFFFFFFFF;
    if (startsWith(head, n, "\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16))
        return KIND_PNG;
    if (n >= 512 && size <= below2GiB && startsWith(head, n, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8))
        return equalsNoCase(fileNameOfPath(path), "thumbs.db") ? KIND_THUMBS_DB : KIND_CFBF;
    if (startsWith(head, n, "\xFF\xD8\xFF", 3))
        return KIND_JPEG;
    if (size <= below4GiB && (startsWith(head, n, "GIF87a", 6) || startsWith(head, n, "GIF89a", 6)))
        return probeGif(path, temporaryPath, lowPriority, probeSink);
    if (startsWith(head, n, "BM", 2))
        return KIND_BMP;
    if (startsWith(head, n, "PK", 2))
        return probeZip(path, temporaryPath, lowPriority, probeSink);
    if (n >= 10 && size <= below4GiB && head[0] == 0x1F && head[1] == 0x8B && head[2] == 8 &&
        head[3] <= 0x1F && (head[8] == 0 || head[8] == 2 || head[8] == 4))
        return KIND_GZIP;
    if (startsWith(head, n, "Rar!\x1A\x07\0", 7))
        return KIND_RAR;
    if (startsWith(head, n, "7z\xBC\xAF\x27\x1C", 6))
        return KIND_7Z;
    if (startsWith(head, n, "\x78\x01\x73\x0D\x62\x62\x60", 7))
        return KIND_DMG;
    if (size <= below4GiB && (startsWith(head, n, "II*\0", 4) || startsWith(head, n, "MM\0*", 4)))
        return KIND_TIFF;
    if (n < 16)
        return KIND_NONE;
    if (textStartsWith(head, n, "<?xml"))
        return KIND_XML;
    if (textStartsWith(head, n, "<svg"))
        return KIND_SVG;
    if ((head[0] == 0xFF || startsWith(head, n, "ID", 2)) && equalsNoCase(extensionOfPath(path), "mp3"))
        return KIND_MP3;
    if (startsWith(head, n, "fLaC", 4))
        return KIND_FLAC;
    return KIND_NONE;
}

static void setPngOptions(uint8_t options[4], const Settings* s)
{
    options[1] = s->png_strategy;
    options[2] = s->png_stripMetadata;
    options[3] = s->png_stripTransparentPixels;
}

static void setFixedPngOptions(uint8_t options[4])
{
    options[1] = options[2] = options[3] = 1;
}

static bool isSideFileJpeg(const wchar_t* path, const Settings* s)
{
    DWORD attributes = GetFileAttributesW(path);
    // An attribute set that cannot be read counts as having the system attribute.
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_SYSTEM))
        return false;
    const wchar_t* name = fileNameOfPath(path);
    if (s->deleteFolderJpg && equalsNoCase(name, "folder.jpg"))
        return true;
    if (!s->deleteAlbumArt)
        return false;
    if (equalsNoCase(name, "albumartsmall.jpg"))
        return true;
    if (wcslen(name) <= 10)
        return false;
    wchar_t prefix[11];
    wmemcpy(prefix, name, 10);
    prefix[10] = 0;
    return equalsNoCase(prefix, "albumart_{");
}

static Action chooseTopLevel(FileKind kind, const Settings* s, uint8_t options[4])
{
    switch (kind) {
    case KIND_PNG:
        if (!s->png_strategy)
            return ACTION_NONE;
        setPngOptions(options, s);
        return ACTION_OPTIMIZE_PNG;
    case KIND_JPEG:
        if (!s->jpg_optimize && !s->jpg_derotate && !s->jpg_metadataStrategy)
            return ACTION_NONE;
        options[1] = s->jpg_optimize;
        options[2] = !s->jpg_derotate ? 0 : (s->jpg_forceDerotate ? 2 : 1);
        options[3] = s->jpg_metadataStrategy;
        return ACTION_OPTIMIZE_JPEG;
    case KIND_GIF_MULTI:
        return s->gif_optimize ? ACTION_OPTIMIZE_GIF : ACTION_NONE;
    case KIND_GIF_SINGLE:
        if (s->gif_convertToPng) {
            setPngOptions(options, s);
            return ACTION_CONVERT_TO_PNG;
        }
        return s->gif_optimize ? ACTION_OPTIMIZE_GIF : ACTION_NONE;
    case KIND_BMP:
    case KIND_TIFF:
        if (!(kind == KIND_BMP ? s->bmp_convertToPng : s->tiff_convertToPng))
            return ACTION_NONE;
        setPngOptions(options, s);
        return ACTION_CONVERT_TO_PNG;
    case KIND_ZIP:
    case KIND_ZIP_LIKE:
        if (s->zip_strategy == 0)
            return ACTION_NONE;
        options[0] = s->zip_recursive;
        if (s->zip_strategy != 1)
            return ACTION_EXTRACT_ZIP;
        options[1] = s->zip_stripAttributesAndTimestamps;
        return kind == KIND_ZIP ? ACTION_OPTIMIZE_ZIP : ACTION_OPTIMIZE_ZIP_LIKE;
    case KIND_OOXML:
    case KIND_ODF:
        if (!s->office_optimize)
            return ACTION_NONE;
        options[0] = options[1] = 1;
        return kind == KIND_OOXML ? ACTION_OPTIMIZE_OOXML : ACTION_OPTIMIZE_ODF;
    case KIND_EPUB:
        if (!s->epub_optimize)
            return ACTION_NONE;
        options[0] = 1;
        return ACTION_OPTIMIZE_EPUB;
    case KIND_GZIP:
        if (s->gzip_strategy == 0)
            return ACTION_NONE;
        options[0] = s->gzip_recursive;
        return s->gzip_strategy == 1 ? ACTION_OPTIMIZE_GZIP : ACTION_EXTRACT_GZIP;
    case KIND_7Z:
        if (!s->sevenZip_strategy)
            return ACTION_NONE;
        options[0] = s->sevenZip_recursive;
        return ACTION_EXTRACT_7Z;
    case KIND_RAR:
        if (!s->rar_strategy)
            return ACTION_NONE;
        options[0] = s->rar_recursive;
        return ACTION_EXTRACT_RAR;
    case KIND_DMG:
        if (!s->dmg_strategy)
            return ACTION_NONE;
        options[0] = s->dmg_recursive;
        return ACTION_EXTRACT_DMG;
    case KIND_SVG:
        return s->svg_optimize ? ACTION_MINIFY_SVG : ACTION_NONE;
    case KIND_CFBF:
        return s->compound_optimize ? ACTION_OPTIMIZE_CFBF : ACTION_NONE;
    case KIND_MP3:
        if (!s->mp3_strategy)
            return ACTION_NONE;
        options[1] = s->mp3_strategy;
        options[2] = s->mp3_stripMetadata;
        return ACTION_OPTIMIZE_MP3;
    case KIND_FLAC:
        if (!s->flac_strategy)
            return ACTION_NONE;
        options[1] = s->flac_strategy;
        options[2] = s->flac_stripMetadata;
        return ACTION_OPTIMIZE_FLAC;
    default:
        return ACTION_NONE;
    }
}

// Content of ZIP-like archives, office documents and e-books follows fixed rules
// that keep the container valid whatever the user chose for top-level files.
static Action chooseInContainer(FileKind kind, const Settings* s, ContentContext context,
                                uint8_t options[4])
{
    bool document = context != CONTEXT_ZIP_LIKE;
    switch (kind) {
    case KIND_PNG:
        setFixedPngOptions(options);
        return ACTION_OPTIMIZE_PNG;
    case KIND_JPEG:
        options[1] = 1;
        options[3] = document ? 3 : 0;
        return ACTION_OPTIMIZE_JPEG;
    case KIND_GIF_MULTI:
        return ACTION_OPTIMIZE_GIF;
    case KIND_GIF_SINGLE:
        if (!document)
            return ACTION_OPTIMIZE_GIF;
        setFixedPngOptions(options);
        return ACTION_CONVERT_TO_PNG;
    case KIND_BMP:
    case KIND_TIFF:
        if (context != CONTEXT_OOXML && context != CONTEXT_ODF)
            return ACTION_NONE;
        setFixedPngOptions(options);
        return ACTION_CONVERT_TO_PNG;
    case KIND_ZIP:
    case KIND_ZIP_LIKE:
        options[0] = 1;
        return kind == KIND_ZIP ? ACTION_OPTIMIZE_ZIP : ACTION_OPTIMIZE_ZIP_LIKE;
    case KIND_OOXML:
    case KIND_ODF:
        options[0] = options[1] = 1;
        return kind == KIND_OOXML ? ACTION_OPTIMIZE_OOXML : ACTION_OPTIMIZE_ODF;
    case KIND_GZIP:
        if (!document && s->gzip_strategy != 1)
            return ACTION_NONE;
        options[0] = s->gzip_recursive;
        return ACTION_OPTIMIZE_GZIP;
    case KIND_SVG:
        return document || s->svg_optimize ? ACTION_MINIFY_SVG : ACTION_NONE;
    case KIND_XML:
        return document ? ACTION_MINIFY_XML : ACTION_NONE;
    case KIND_EPUB:
    case KIND_CFBF:
    case KIND_MP3:
    case KIND_FLAC:
        return chooseTopLevel(kind, s, options);
    default:
        return ACTION_NONE;
    }
}

Action chooseAction(const wchar_t* path, FileKind kind, const Settings* s, ContentContext context,
                    uint8_t options[4])
{
    memset(options, 0, 4);
    if (kind == KIND_JPEG && isSideFileJpeg(path, s))
        return ACTION_DELETE;
    if (kind == KIND_THUMBS_DB)
        return s->deleteThumbsDb ? ACTION_DELETE : ACTION_NONE;
    if (context == CONTEXT_TOP)
        return chooseTopLevel(kind, s, options);
    return chooseInContainer(kind, s, context, options);
}
