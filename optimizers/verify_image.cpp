// Decoded pixels of PNG, JPEG, BMP, TIFF and single-image GIF files, compared
// through the Windows Imaging Component.
#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include <stdio.h>
#include <string.h>

namespace {

// Samples of 16 bits hold 8-bit ones exactly (v * 257), so images whose bit
// depth a tool reduced without loss still compare equal, sample for sample.
enum SampleLayout : uint8_t { LAYOUT_RGBA8, LAYOUT_GRAY16, LAYOUT_RGB16, LAYOUT_BGR16, LAYOUT_RGBA16, LAYOUT_BGRA16 };

// A turn is lossless on the coefficients, but decoding is not exact under a
// turn: the inverse transform rounds its two passes in the other order and
// chroma is upsampled along the other axis. Measured differences stay below 6;
// a wrong turn, a lost block or a shifted area differ far more.
const int TURN_TOLERANCE = 8;
// The largest iMCU is 32 pixels (sampling factor 4); a trimmed edge is narrower.
const uint32_t TRIM_LIMIT = 32;
// Rows compared at a time stay within about 4 MiB per image.
const uint64_t BAND_SAMPLES = 1u << 19;

// What a comparison found; all but equal have been logged.
enum Outcome { OUTCOME_EQUAL, OUTCOME_UNKNOWN, OUTCOME_DIFFERENT };

Outcome unknown(const ErrorSink* sink, const char* why)
{
    reportNotVerified(sink, why);
    return OUTCOME_UNKNOWN;
}

Outcome undecodable(const ErrorSink* sink)
{
    reportDifference(sink, "the result cannot be decoded");
    return OUTCOME_DIFFERENT;
}

Outcome outOfMemory(const ErrorSink* sink)
{
    reportCannotCheck(sink, "out of memory");
    return OUTCOME_DIFFERENT;
}

struct FrameReader {
    IWICBitmapSource* source;
    uint32_t width, height;
    uint8_t layout;
    uint32_t rawPixelLength;
    uint8_t* raw;             // one band of rows as the source delivers them
    const uint8_t* whole;     // or the whole frame as 8-bit RGBA, held elsewhere
};

bool layoutOf(const WICPixelFormatGUID& format, uint8_t* layout, uint32_t* pixelLength)
{
    struct Deep {
        const GUID* format;
        uint8_t layout;
        uint32_t length;
    } deep[] = {
        {&GUID_WICPixelFormat16bppGray, LAYOUT_GRAY16, 2},  {&GUID_WICPixelFormat48bppRGB, LAYOUT_RGB16, 6},
        {&GUID_WICPixelFormat48bppBGR, LAYOUT_BGR16, 6},    {&GUID_WICPixelFormat64bppRGBA, LAYOUT_RGBA16, 8},
        {&GUID_WICPixelFormat64bppBGRA, LAYOUT_BGRA16, 8},
    };
    for (const Deep& d : deep) {
        if (IsEqualGUID(format, *d.format)) {
            *layout = d.layout;
            *pixelLength = d.length;
            return true;
        }
    }
    // Other formats of more than 8 bits a sample (fixed point, float, premultiplied)
    // would lose precision in 8-bit RGBA and are not compared.
    const GUID* tooDeep[] = {&GUID_WICPixelFormat64bppPRGBA, &GUID_WICPixelFormat16bppGrayFixedPoint,
                             &GUID_WICPixelFormat16bppGrayHalf, &GUID_WICPixelFormat32bppGrayFloat,
                             &GUID_WICPixelFormat48bppRGBFixedPoint, &GUID_WICPixelFormat64bppRGBAFixedPoint,
                             &GUID_WICPixelFormat64bppRGBHalf, &GUID_WICPixelFormat64bppRGBAHalf,
                             &GUID_WICPixelFormat96bppRGBFixedPoint, &GUID_WICPixelFormat128bppRGBAFloat,
                             &GUID_WICPixelFormat128bppPRGBAFloat, &GUID_WICPixelFormat128bppRGBFloat,
                             &GUID_WICPixelFormat64bppCMYK, &GUID_WICPixelFormat80bppCMYKAlpha};
    for (const GUID* f : tooDeep) {
        if (IsEqualGUID(format, *f))
            return false;
    }
    *layout = LAYOUT_RGBA8;
    *pixelLength = 4;
    return true;
}

void closeFrameReader(FrameReader* reader)
{
    if (reader->source)
        reader->source->Release();
    release(reader->raw);
    memset(reader, 0, sizeof(*reader));
}

// False when the frame cannot be read in a form that compares exactly.
bool openFrameReader(ImagingSession* session, IWICBitmapSource* frame, FrameReader* reader)
{
    memset(reader, 0, sizeof(*reader));
    UINT width = 0;
    UINT height = 0;
    WICPixelFormatGUID format;
    if (FAILED(frame->GetSize(&width, &height)) || width == 0 || height == 0 ||
        FAILED(frame->GetPixelFormat(&format)) || !layoutOf(format, &reader->layout, &reader->rawPixelLength))
        return false;
    reader->width = width;
    reader->height = height;
    if (reader->layout == LAYOUT_RGBA8) {
        IWICFormatConverter* converter = nullptr;
        if (FAILED(session->factory->CreateFormatConverter(&converter)))
            return false;
        if (FAILED(converter->Initialize(frame, GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                         WICBitmapPaletteTypeCustom))) {
            converter->Release();
            return false;
        }
        reader->source = converter;
    } else {
        frame->AddRef();
        reader->source = frame;
    }
    return true;
}

void wholeFrameReader(const uint8_t* rgba, uint32_t width, uint32_t height, FrameReader* reader)
{
    memset(reader, 0, sizeof(*reader));
    reader->width = width;
    reader->height = height;
    reader->whole = rgba;
}

uint32_t bandRows(uint32_t width)
{
    uint64_t rows = BAND_SAMPLES / width;
    return rows == 0 ? 1 : static_cast<uint32_t>(rows);
}

uint16_t word(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Rows y .. y + count - 1 as 16-bit RGBA, 4 samples a pixel.
bool readBand(FrameReader* reader, uint32_t y, uint32_t count, uint16_t* out)
{
    uint64_t pixels = static_cast<uint64_t>(reader->width) * count;
    if (reader->whole) {
        const uint8_t* from = reader->whole + static_cast<uint64_t>(y) * reader->width * 4;
        for (uint64_t i = 0; i < pixels * 4; ++i)
            out[i] = static_cast<uint16_t>(from[i] * 257);
        return true;
    }
    uint64_t stride = static_cast<uint64_t>(reader->width) * reader->rawPixelLength;
    if (!reader->raw) {
        reader->raw = static_cast<uint8_t*>(
            allocate(static_cast<size_t>(stride), bandRows(reader->width), nullptr));
        if (!reader->raw)
            return false;
    }
    WICRect rect = {0, static_cast<INT>(y), static_cast<INT>(reader->width), static_cast<INT>(count)};
    if (FAILED(reader->source->CopyPixels(&rect, static_cast<UINT>(stride), static_cast<UINT>(stride * count),
                                          reader->raw)))
        return false;
    const uint8_t* p = reader->raw;
    for (uint64_t i = 0; i < pixels; ++i, p += reader->rawPixelLength, out += 4) {
        switch (reader->layout) {
        case LAYOUT_RGBA8:
            for (int c = 0; c < 4; ++c)
                out[c] = static_cast<uint16_t>(p[c] * 257);
            break;
        case LAYOUT_GRAY16:
            out[0] = out[1] = out[2] = word(p);
            out[3] = 0xFFFF;
            break;
        case LAYOUT_RGB16:
        case LAYOUT_BGR16:
            out[0] = word(p + (reader->layout == LAYOUT_RGB16 ? 0 : 4));
            out[1] = word(p + 2);
            out[2] = word(p + (reader->layout == LAYOUT_RGB16 ? 4 : 0));
            out[3] = 0xFFFF;
            break;
        default:
            out[0] = word(p + (reader->layout == LAYOUT_RGBA16 ? 0 : 4));
            out[1] = word(p + 2);
            out[2] = word(p + (reader->layout == LAYOUT_RGBA16 ? 4 : 0));
            out[3] = word(p + 6);
            break;
        }
    }
    return true;
}

bool samePixel(const uint16_t* a, const uint16_t* b, bool transparentColourFree)
{
    if (transparentColourFree && a[3] == 0 && b[3] == 0)
        return true;
    return a[0] == b[0] && a[1] == b[1] && a[2] == b[2] && a[3] == b[3];
}

// Compares two frames of equal size; reports the first pixel that differs.
// A failing read of the original makes the comparison unknown.
Outcome compareFrames(FrameReader* original, FrameReader* result, uint32_t frameNumber, bool transparentColourFree,
                      const ErrorSink* sink)
{
    uint32_t rows = bandRows(original->width);
    size_t samples = static_cast<size_t>(original->width) * 4;
    uint16_t* a = static_cast<uint16_t*>(allocate(samples * rows, sizeof(uint16_t), nullptr));
    uint16_t* b = static_cast<uint16_t*>(allocate(samples * rows, sizeof(uint16_t), nullptr));
    Outcome outcome = a && b ? OUTCOME_EQUAL : outOfMemory(sink);
    for (uint32_t y = 0; outcome == OUTCOME_EQUAL && y < original->height; y += rows) {
        uint32_t count = original->height - y < rows ? original->height - y : rows;
        if (!readBand(original, y, count, a)) {
            outcome = unknown(sink, "the original cannot be decoded to its end");
            break;
        }
        if (!readBand(result, y, count, b)) {
            outcome = undecodable(sink);
            break;
        }
        for (size_t i = 0; i < samples / 4 * count; ++i) {
            if (!samePixel(a + 4 * i, b + 4 * i, transparentColourFree)) {
                reportDifference(sink, "pixel %u,%u of frame %u", static_cast<unsigned>(i % original->width),
                                 static_cast<unsigned>(y + i / original->width), frameNumber);
                outcome = OUTCOME_DIFFERENT;
                break;
            }
        }
    }
    release(a);
    release(b);
    return outcome;
}

// Frames of equal size are compared pixel by pixel; others differ at once.
Outcome compareSized(FrameReader* original, FrameReader* result, uint32_t frameNumber, bool transparentColourFree,
                     const ErrorSink* sink)
{
    if (original->width != result->width || original->height != result->height) {
        reportDifference(sink, "size %ux%u instead of %ux%u in frame %u", result->width, result->height,
                         original->width, original->height, frameNumber);
        return OUTCOME_DIFFERENT;
    }
    return compareFrames(original, result, frameNumber, transparentColourFree, sink);
}

IWICBitmapFrameDecode* frameOf(IWICBitmapDecoder* decoder, uint32_t index)
{
    IWICBitmapFrameDecode* frame = nullptr;
    if (FAILED(decoder->GetFrame(index, &frame)))
        return nullptr;
    return frame;
}

// Pairs the frames of a decoded original and result one by one.
Outcome compareDecoded(ImagingSession* session, IWICBitmapDecoder* original, IWICBitmapDecoder* result,
                       bool transparentColourFree, const ErrorSink* sink)
{
    UINT originalFrames = 0;
    UINT resultFrames = 0;
    if (FAILED(original->GetFrameCount(&originalFrames)) || originalFrames == 0)
        return unknown(sink, "the original has no frame the imaging component reads");
    if (FAILED(result->GetFrameCount(&resultFrames)) || resultFrames == 0)
        return undecodable(sink);
    if (originalFrames != resultFrames) {
        reportDifference(sink, "%u frames instead of %u", resultFrames, originalFrames);
        return OUTCOME_DIFFERENT;
    }
    Outcome outcome = OUTCOME_EQUAL;
    for (UINT index = 0; outcome == OUTCOME_EQUAL && index < originalFrames; ++index) {
        IWICBitmapFrameDecode* a = frameOf(original, index);
        IWICBitmapFrameDecode* b = frameOf(result, index);
        FrameReader readerA = {};
        FrameReader readerB = {};
        if (!a || !openFrameReader(session, a, &readerA))
            outcome = unknown(sink, "the original cannot be read in its full depth");
        else if (!b || !openFrameReader(session, b, &readerB))
            outcome = undecodable(sink);
        else
            outcome = compareSized(&readerA, &readerB, index + 1, transparentColourFree, sink);
        closeFrameReader(&readerA);
        closeFrameReader(&readerB);
        if (a)
            a->Release();
        if (b)
            b->Release();
    }
    return outcome;
}

// A single-image GIF as a viewer shows it: the image on its transparent logical screen.
Outcome compareGifAsPng(ImagingSession* session, const wchar_t* originalPath, IWICBitmapDecoder* original,
                        IWICBitmapDecoder* result, const ErrorSink* sink)
{
    GifLayout layout = {};
    if (!readGifLayout(originalPath, &layout))
        return unknown(sink, "the original GIF cannot be read");
    UINT resultFrames = 0;
    Outcome outcome;
    uint8_t* canvas = static_cast<uint8_t*>(allocate(static_cast<size_t>(layout.width) * layout.height, 4, nullptr));
    if (!canvas) {
        outcome = outOfMemory(sink);
    } else if (FAILED(result->GetFrameCount(&resultFrames)) || resultFrames == 0) {
        outcome = undecodable(sink);
    } else if (resultFrames != layout.imageCount) {
        reportDifference(sink, "%u frames instead of %u", resultFrames, layout.imageCount);
        outcome = OUTCOME_DIFFERENT;
    } else if (!drawGifImage(session, original, &layout, 0, canvas, nullptr)) {
        outcome = unknown(sink, "the original GIF cannot be decoded");
    } else {
        IWICBitmapFrameDecode* frame = frameOf(result, 0);
        FrameReader readerA;
        FrameReader readerB = {};
        wholeFrameReader(canvas, layout.width, layout.height, &readerA);
        if (!frame || !openFrameReader(session, frame, &readerB))
            outcome = undecodable(sink);
        else
            outcome = compareSized(&readerA, &readerB, 1, true, sink);
        closeFrameReader(&readerB);
        if (frame)
            frame->Release();
    }
    release(canvas);
    freeGifLayout(&layout);
    return outcome;
}

// result(x, y) shows source(sx, sy) of the kept source area keptWidth x keptHeight.
void sourceOf(uint32_t angle, uint32_t x, uint32_t y, uint32_t keptWidth, uint32_t keptHeight, uint32_t* sx,
              uint32_t* sy)
{
    switch (angle) {
    case 90:
        *sx = y;
        *sy = keptHeight - 1 - x;
        break;
    case 180:
        *sx = keptWidth - 1 - x;
        *sy = keptHeight - 1 - y;
        break;
    default: // 270
        *sx = keptWidth - 1 - y;
        *sy = x;
        break;
    }
}

// Compares the result, band by band, with the turned original held whole.
Outcome compareTurnedPixels(FrameReader* result, const uint8_t* source, uint32_t width, uint32_t angle,
                            uint32_t keptWidth, uint32_t keptHeight, const ErrorSink* sink)
{
    uint32_t rows = bandRows(result->width);
    uint16_t* band =
        static_cast<uint16_t*>(allocate(static_cast<size_t>(result->width) * 4 * rows, sizeof(uint16_t), nullptr));
    if (!band)
        return outOfMemory(sink);
    Outcome outcome = OUTCOME_EQUAL;
    for (uint32_t y = 0; outcome == OUTCOME_EQUAL && y < result->height; y += rows) {
        uint32_t count = result->height - y < rows ? result->height - y : rows;
        if (!readBand(result, y, count, band)) {
            outcome = undecodable(sink);
            break;
        }
        for (uint32_t i = 0; outcome == OUTCOME_EQUAL && i < count * result->width; ++i) {
            uint32_t x = i % result->width;
            uint32_t sx = 0;
            uint32_t sy = 0;
            sourceOf(angle, x, y + i / result->width, keptWidth, keptHeight, &sx, &sy);
            const uint8_t* s = source + (static_cast<uint64_t>(sy) * width + sx) * 4;
            for (int c = 0; c < 4; ++c) {
                int difference = static_cast<int>(band[4 * i + c] / 257) - static_cast<int>(s[c]);
                if (difference > TURN_TOLERANCE || difference < -TURN_TOLERANCE) {
                    reportDifference(sink, "pixel %u,%u of frame 1", x, y + i / result->width);
                    outcome = OUTCOME_DIFFERENT;
                    break;
                }
            }
        }
    }
    release(band);
    return outcome;
}

// When trimming, the transform keeps the top-left area of whole iMCUs and turns that.
Outcome compareTurned(ImagingSession* session, IWICBitmapDecoder* original, IWICBitmapDecoder* result,
                      uint32_t angle, bool trimmed, const ErrorSink* sink)
{
    IWICBitmapFrameDecode* a = frameOf(original, 0);
    IWICBitmapFrameDecode* b = frameOf(result, 0);
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t* source = a ? readFrameRgba(session, a, &width, &height) : nullptr;
    FrameReader reader = {};
    Outcome outcome;
    if (!source) {
        outcome = unknown(sink, "the original cannot be decoded");
    } else if (!b || !openFrameReader(session, b, &reader)) {
        outcome = undecodable(sink);
    } else {
        bool quarter = angle != 180;
        uint32_t keptWidth = quarter ? reader.height : reader.width;
        uint32_t keptHeight = quarter ? reader.width : reader.height;
        bool fits = keptWidth == width && keptHeight == height;
        if (trimmed && keptWidth <= width && keptHeight <= height && width - keptWidth < TRIM_LIMIT &&
            height - keptHeight < TRIM_LIMIT)
            fits = true;
        if (fits) {
            outcome = compareTurnedPixels(&reader, source, width, angle, keptWidth, keptHeight, sink);
        } else {
            reportDifference(sink, "size %ux%u does not fit the original %ux%u turned by %u degrees", reader.width,
                             reader.height, width, height, angle);
            outcome = OUTCOME_DIFFERENT;
        }
    }
    closeFrameReader(&reader);
    release(source);
    if (a)
        a->Release();
    if (b)
        b->Release();
    return outcome;
}

struct Decoders {
    ImagingSession session;
    IWICBitmapDecoder* original;
    IWICBitmapDecoder* result;
};

// A decoder may accept a header whose image data it cannot read; only pixels count.
bool firstRowReadable(ImagingSession* session, IWICBitmapDecoder* decoder)
{
    IWICBitmapFrameDecode* frame = frameOf(decoder, 0);
    FrameReader reader = {};
    bool readable = frame && openFrameReader(session, frame, &reader);
    if (readable) {
        uint16_t* row = static_cast<uint16_t*>(allocate(static_cast<size_t>(reader.width) * 4, sizeof(uint16_t), nullptr));
        readable = row && readBand(&reader, 0, 1, row);
        release(row);
    }
    closeFrameReader(&reader);
    if (frame)
        frame->Release();
    return readable;
}

// Equal when both are open; otherwise the reason is logged.
Outcome openDecoders(const wchar_t* original, const wchar_t* result, Decoders* d, const ErrorSink* sink)
{
    memset(d, 0, sizeof(*d));
    if (!openImaging(&d->session))
        return unknown(sink, "the imaging component cannot be started");
    d->original = openDecoder(&d->session, original);
    if (!d->original || !firstRowReadable(&d->session, d->original))
        return unknown(sink, "no decoder reads the original");
    d->result = openDecoder(&d->session, result);
    if (!d->result)
        return undecodable(sink);
    return OUTCOME_EQUAL;
}

void closeDecoders(Decoders* d)
{
    if (d->result)
        d->result->Release();
    if (d->original)
        d->original->Release();
    if (d->session.factory || d->session.uninitialize)
        closeImaging(&d->session);
}

bool isContainer(IWICBitmapDecoder* decoder, const GUID& format)
{
    GUID container;
    return SUCCEEDED(decoder->GetContainerFormat(&container)) && IsEqualGUID(container, format);
}

} // namespace

bool verifyPngResult(const wchar_t* original, const wchar_t* result, bool stripMetadata, bool clearTransparent,
                     const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    Decoders d;
    Outcome outcome = openDecoders(original, result, &d, sink);
    bool fromPng = false;
    if (outcome == OUTCOME_EQUAL) {
        fromPng = isContainer(d.original, GUID_ContainerFormatPng);
        outcome = isContainer(d.original, GUID_ContainerFormatGif)
                      ? compareGifAsPng(&d.session, original, d.original, d.result, sink)
                      : compareDecoded(&d.session, d.original, d.result, clearTransparent, sink);
    }
    closeDecoders(&d);
    if (outcome != OUTCOME_EQUAL)
        return outcome == OUTCOME_UNKNOWN;
    // Conversions always drop metadata, as the settings pages say; a PNG keeps
    // its own unless the settings strip it.
    if (!fromPng || stripMetadata)
        return reportVerified(sink, "decoded pixels equal");
    MetadataCheck check = pngMetadataKept(original, result, sink);
    if (check != METADATA_KEPT)
        return check == METADATA_UNREADABLE;
    return reportVerified(sink, "decoded pixels equal, metadata kept");
}

bool verifyJpegResult(const wchar_t* original, const wchar_t* result, bool turned, bool trimmed,
                      uint8_t metadataStrategy, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    uint32_t angle = 0;
    if (turned) {
        angle = jpegTurnAngle(original);
        if (angle == 0)
            return reportNotVerified(sink, "the orientation of the original cannot be read");
    }
    Decoders d;
    Outcome outcome = openDecoders(original, result, &d, sink);
    if (outcome == OUTCOME_EQUAL)
        outcome = turned ? compareTurned(&d.session, d.original, d.result, angle, trimmed, sink)
                         : compareDecoded(&d.session, d.original, d.result, false, sink);
    closeDecoders(&d);
    if (outcome != OUTCOME_EQUAL)
        return outcome == OUTCOME_UNKNOWN;
    bool keepsMetadata = metadataStrategy == 0 || metadataStrategy == 1;
    if (keepsMetadata) {
        MetadataCheck check = jpegMetadataKept(original, result, sink);
        if (check != METADATA_KEPT)
            return check == METADATA_UNREADABLE;
    }
    char what[96];
    if (turned)
        snprintf(what, sizeof(what), "decoded pixels equal to the original turned by %u degrees",
                 static_cast<unsigned>(angle));
    else
        snprintf(what, sizeof(what), "decoded pixels equal%s", keepsMetadata ? ", metadata kept" : "");
    return reportVerified(sink, what);
}
