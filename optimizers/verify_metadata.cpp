// Metadata that must survive an optimization: PNG chunks and JPEG segments,
// read from the files themselves rather than through a tool under test.
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include <string.h>

namespace {

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// Chunks that describe the image rather than encode it. Chunks tied to the
// encoding (palette, histogram, significant bits) may change with it.
const char* const PNG_METADATA_CHUNKS[] = {"iCCP", "sRGB", "gAMA", "cHRM", "pHYs", "eXIf", "tIME"};

uint32_t bigEndian32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

struct Chunk {
    const uint8_t* type;
    const uint8_t* data;
    uint32_t length;
};

// Walks the chunks of a PNG; false at the end, after IEND, or at a truncated chunk.
bool nextChunk(const MappedFile* png, uint64_t* offset, Chunk* chunk)
{
    if (*offset == 0) {
        if (png->length < 8 || memcmp(png->data, PNG_SIGNATURE, 8) != 0)
            return false;
        *offset = 8;
    }
    if (*offset + 12 > png->length)
        return false;
    const uint8_t* p = png->data + *offset;
    chunk->length = bigEndian32(p);
    chunk->type = p + 4;
    chunk->data = p + 8;
    if (chunk->length > png->length - *offset - 12 || memcmp(chunk->type, "IEND", 4) == 0)
        return false;
    *offset += 12 + static_cast<uint64_t>(chunk->length);
    return true;
}

bool isTextChunk(const Chunk& chunk)
{
    return memcmp(chunk.type, "tEXt", 4) == 0 || memcmp(chunk.type, "zTXt", 4) == 0 ||
           memcmp(chunk.type, "iTXt", 4) == 0;
}

// The keyword ends at the first NUL (at most 79 bytes).
size_t keywordLength(const Chunk& chunk)
{
    size_t length = 0;
    while (length < chunk.length && length < 80 && chunk.data[length] != 0)
        ++length;
    return length;
}

bool pngHasChunk(const MappedFile* png, const uint8_t* type)
{
    uint64_t offset = 0;
    Chunk chunk;
    while (nextChunk(png, &offset, &chunk)) {
        if (memcmp(chunk.type, type, 4) == 0)
            return true;
    }
    return false;
}

// Text may move between tEXt, zTXt and iTXt; its keyword must stay.
bool pngHasText(const MappedFile* png, const uint8_t* keyword, size_t length)
{
    uint64_t offset = 0;
    Chunk chunk;
    while (nextChunk(png, &offset, &chunk)) {
        if (isTextChunk(chunk) && keywordLength(chunk) == length && memcmp(chunk.data, keyword, length) == 0)
            return true;
    }
    return false;
}

MetadataCheck comparePngMetadata(const MappedFile* original, const MappedFile* result, const ErrorSink* sink)
{
    uint64_t offset = 0;
    Chunk chunk;
    bool sawChunk = false;
    while (nextChunk(original, &offset, &chunk)) {
        sawChunk = true;
        if (isTextChunk(chunk)) {
            size_t length = keywordLength(chunk);
            if (!pngHasText(result, chunk.data, length)) {
                reportDifference(sink, "text \"%.*s\" is gone", static_cast<int>(length), chunk.data);
                return METADATA_LOST;
            }
            continue;
        }
        for (const char* name : PNG_METADATA_CHUNKS) {
            if (memcmp(chunk.type, name, 4) == 0 && !pngHasChunk(result, chunk.type)) {
                reportDifference(sink, "chunk %s is gone", name);
                return METADATA_LOST;
            }
        }
    }
    if (!sawChunk) {
        reportNotVerified(sink, "the chunks of the original cannot be read");
        return METADATA_UNREADABLE;
    }
    return METADATA_KEPT;
}

struct Segment {
    uint8_t marker;
    const uint8_t* data;
    uint32_t length;
};

// Walks the segments before the image data; false at SOS, EOI or a broken segment.
bool nextSegment(const MappedFile* jpeg, uint64_t* offset, Segment* segment)
{
    if (*offset == 0) {
        if (jpeg->length < 4 || jpeg->data[0] != 0xFF || jpeg->data[1] != 0xD8)
            return false;
        *offset = 2;
    }
    for (;;) {
        if (*offset + 2 > jpeg->length || jpeg->data[*offset] != 0xFF)
            return false;
        uint8_t marker = jpeg->data[*offset + 1];
        if (marker == 0xFF) { // fill byte
            ++*offset;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            return false;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            *offset += 2;
            continue;
        }
        if (*offset + 4 > jpeg->length)
            return false;
        uint32_t length = (static_cast<uint32_t>(jpeg->data[*offset + 2]) << 8) | jpeg->data[*offset + 3];
        if (length < 2 || *offset + 2 + length > jpeg->length)
            return false;
        segment->marker = marker;
        segment->data = jpeg->data + *offset + 4;
        segment->length = length - 2;
        *offset += 2 + length;
        return true;
    }
}

enum JpegMetadataKind { JPEG_EXIF, JPEG_XMP, JPEG_ICC, JPEG_IPTC, JPEG_COMMENT, JPEG_OTHER };

struct SegmentPrefix {
    uint8_t marker;
    const char* prefix;
    size_t length;
    JpegMetadataKind kind;
    const char* name;
};

const SegmentPrefix JPEG_METADATA[] = {
    {0xE1, "Exif\0\0", 6, JPEG_EXIF, "EXIF"},
    {0xE1, "http://ns.adobe.com/xap/1.0/\0", 29, JPEG_XMP, "XMP"},
    {0xE2, "ICC_PROFILE\0", 12, JPEG_ICC, "ICC profile"},
    {0xED, "Photoshop 3.0\0", 14, JPEG_IPTC, "IPTC"},
};

JpegMetadataKind kindOf(const Segment& segment)
{
    if (segment.marker == 0xFE)
        return JPEG_COMMENT;
    for (const SegmentPrefix& p : JPEG_METADATA) {
        if (segment.marker == p.marker && segment.length >= p.length && memcmp(segment.data, p.prefix, p.length) == 0)
            return p.kind;
    }
    return JPEG_OTHER;
}

const char* nameOf(JpegMetadataKind kind)
{
    for (const SegmentPrefix& p : JPEG_METADATA) {
        if (p.kind == kind)
            return p.name;
    }
    return "comment";
}

bool jpegHasKind(const MappedFile* jpeg, JpegMetadataKind kind)
{
    uint64_t offset = 0;
    Segment segment;
    while (nextSegment(jpeg, &offset, &segment)) {
        if (kindOf(segment) == kind)
            return true;
    }
    return false;
}

// The profile's bytes, its segments' payloads after the 14-byte header run together.
uint64_t iccProfileLength(const MappedFile* jpeg)
{
    uint64_t total = 0;
    uint64_t offset = 0;
    Segment segment;
    while (nextSegment(jpeg, &offset, &segment)) {
        if (kindOf(segment) == JPEG_ICC && segment.length >= 14)
            total += segment.length - 14;
    }
    return total;
}

// The colours depend on the profile, so it must stay byte for byte.
bool sameIccProfile(const MappedFile* a, const MappedFile* b)
{
    if (iccProfileLength(a) != iccProfileLength(b))
        return false;
    uint64_t offsetA = 0;
    uint64_t offsetB = 0;
    Segment segmentA;
    Segment segmentB;
    uint32_t usedA = 0;
    uint32_t usedB = 0;
    bool haveA = false;
    bool haveB = false;
    for (;;) {
        while (!haveA || usedA == segmentA.length) {
            if (!nextSegment(a, &offsetA, &segmentA))
                return true; // as long as b, so b is used up too
            haveA = kindOf(segmentA) == JPEG_ICC && segmentA.length >= 14;
            usedA = 14;
        }
        while (!haveB || usedB == segmentB.length) {
            if (!nextSegment(b, &offsetB, &segmentB))
                return false;
            haveB = kindOf(segmentB) == JPEG_ICC && segmentB.length >= 14;
            usedB = 14;
        }
        uint32_t run = segmentA.length - usedA < segmentB.length - usedB ? segmentA.length - usedA
                                                                         : segmentB.length - usedB;
        if (memcmp(segmentA.data + usedA, segmentB.data + usedB, run) != 0)
            return false;
        usedA += run;
        usedB += run;
    }
}

uint16_t tiffWord(const uint8_t* p, bool little)
{
    return static_cast<uint16_t>(little ? p[0] | (p[1] << 8) : (p[0] << 8) | p[1]);
}

uint32_t tiffLong(const uint8_t* p, bool little)
{
    return little ? static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) | (static_cast<uint32_t>(p[3]) << 24)
                  : bigEndian32(p);
}

// The Orientation tag (0x0112) of IFD0 in the EXIF segment; 0 when there is none.
uint16_t exifOrientation(const Segment& exif)
{
    const uint8_t* tiff = exif.data + 6;
    uint32_t length = exif.length - 6;
    if (length < 8 || !((tiff[0] == 'I' && tiff[1] == 'I') || (tiff[0] == 'M' && tiff[1] == 'M')))
        return 0;
    bool little = tiff[0] == 'I';
    uint32_t ifd = tiffLong(tiff + 4, little);
    if (ifd > length - 2)
        return 0;
    uint32_t count = tiffWord(tiff + ifd, little);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t entry = static_cast<uint64_t>(ifd) + 2 + 12 * static_cast<uint64_t>(i);
        if (entry + 12 > length)
            return 0;
        if (tiffWord(tiff + entry, little) == 0x0112 && tiffWord(tiff + entry + 2, little) == 3)
            return tiffWord(tiff + entry + 8, little);
    }
    return 0;
}

} // namespace

MetadataCheck pngMetadataKept(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    MappedFile a;
    MappedFile b;
    if (!openMappedFile(original, &a)) {
        reportNotVerified(sink, "the metadata of the original cannot be read");
        return METADATA_UNREADABLE;
    }
    if (!openMappedFile(result, &b)) {
        closeMappedFile(&a);
        reportDifference(sink, "the result cannot be read");
        return METADATA_LOST;
    }
    MetadataCheck check = comparePngMetadata(&a, &b, sink);
    closeMappedFile(&b);
    closeMappedFile(&a);
    return check;
}

MetadataCheck jpegMetadataKept(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    MappedFile a;
    MappedFile b;
    if (!openMappedFile(original, &a)) {
        reportNotVerified(sink, "the metadata of the original cannot be read");
        return METADATA_UNREADABLE;
    }
    if (!openMappedFile(result, &b)) {
        closeMappedFile(&a);
        reportDifference(sink, "the result cannot be read");
        return METADATA_LOST;
    }
    MetadataCheck check = METADATA_KEPT;
    const JpegMetadataKind kinds[] = {JPEG_EXIF, JPEG_XMP, JPEG_ICC, JPEG_IPTC, JPEG_COMMENT};
    for (JpegMetadataKind kind : kinds) {
        if (jpegHasKind(&a, kind) && !jpegHasKind(&b, kind)) {
            reportDifference(sink, "%s is gone", nameOf(kind));
            check = METADATA_LOST;
            break;
        }
    }
    if (check == METADATA_KEPT && !sameIccProfile(&a, &b)) {
        reportDifference(sink, "ICC profile changed");
        check = METADATA_LOST;
    }
    closeMappedFile(&b);
    closeMappedFile(&a);
    return check;
}

uint32_t jpegTurnAngle(const wchar_t* path)
{
    MappedFile jpeg;
    if (!openMappedFile(path, &jpeg))
        return 0;
    uint16_t orientation = 0;
    uint64_t offset = 0;
    Segment segment;
    while (orientation == 0 && nextSegment(&jpeg, &offset, &segment)) {
        if (kindOf(segment) == JPEG_EXIF)
            orientation = exifOrientation(segment);
    }
    closeMappedFile(&jpeg);
    switch (orientation) {
    case 3:
        return 180;
    case 6:
        return 90;
    case 8:
        return 270;
    default:
        return 0;
    }
}
