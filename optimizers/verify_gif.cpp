// GIF files compared as a viewer shows them. The imaging component decodes each
// image; the layout (places, disposal, delays, loop count) is read from the file
// so that frames can be composed exactly as the format says.
#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include <string.h>

namespace {

const uint8_t DISPOSE_BACKGROUND = 2;
const uint8_t DISPOSE_PREVIOUS = 3;

uint16_t littleEndian16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// Skips a chain of data sub-blocks; false when it runs off the end.
bool skipSubBlocks(const MappedFile* gif, uint64_t* at)
{
    while (*at < gif->length) {
        uint8_t size = gif->data[(*at)++];
        if (size == 0)
            return true;
        *at += size;
    }
    return false;
}

bool appendImage(GifLayout* layout, const GifImage& image)
{
    GifImage* grown = static_cast<GifImage*>(reallocate(layout->images, layout->imageCount + 1, sizeof(GifImage),
                                                        nullptr));
    if (!grown)
        return false;
    layout->images = grown;
    layout->images[layout->imageCount++] = image;
    return true;
}

void readApplication(const MappedFile* gif, uint64_t at, GifLayout* layout)
{
    // "NETSCAPE2.0" (or its twin "ANIMEXTS1.0"), then a sub-block 1, count.
    if (at + 17 > gif->length || gif->data[at] != 11)
        return;
    const uint8_t* name = gif->data + at + 1;
    if (memcmp(name, "NETSCAPE2.0", 11) != 0 && memcmp(name, "ANIMEXTS1.0", 11) != 0)
        return;
    const uint8_t* sub = gif->data + at + 12;
    if (sub[0] >= 3 && sub[1] == 1) {
        layout->loops = true;
        layout->loopCount = littleEndian16(sub + 2);
    }
}

bool parseLayout(const MappedFile* gif, GifLayout* layout)
{
    if (gif->length < 13 || (memcmp(gif->data, "GIF87a", 6) != 0 && memcmp(gif->data, "GIF89a", 6) != 0))
        return false;
    layout->width = littleEndian16(gif->data + 6);
    layout->height = littleEndian16(gif->data + 8);
    uint8_t packed = gif->data[10];
    uint64_t at = 13 + ((packed & 0x80) ? 3u << ((packed & 7) + 1) : 0);
    GifImage pending = {};
    for (;;) {
        // Viewers show what came before a missing trailer; so does the comparison.
        if (at >= gif->length)
            return layout->imageCount > 0;
        uint8_t introducer = gif->data[at++];
        if (introducer == 0x3B)
            return layout->imageCount > 0;
        if (introducer == 0x21) {
            if (at >= gif->length)
                return false;
            uint8_t label = gif->data[at++];
            if (label == 0xF9 && at + 5 <= gif->length && gif->data[at] >= 4) {
                pending.disposal = static_cast<uint8_t>((gif->data[at + 1] >> 2) & 7);
                pending.delay = littleEndian16(gif->data + at + 2);
            } else if (label == 0xFF) {
                readApplication(gif, at, layout);
            }
            if (!skipSubBlocks(gif, &at))
                return false;
            continue;
        }
        if (introducer != 0x2C || at + 9 > gif->length)
            return false;
        GifImage image = pending;
        image.left = littleEndian16(gif->data + at);
        image.top = littleEndian16(gif->data + at + 2);
        image.width = littleEndian16(gif->data + at + 4);
        image.height = littleEndian16(gif->data + at + 6);
        uint8_t imagePacked = gif->data[at + 8];
        at += 9 + ((imagePacked & 0x80) ? 3u << ((imagePacked & 7) + 1) : 0) + 1; // + LZW code size
        if (!skipSubBlocks(gif, &at) || !appendImage(layout, image))
            return false;
        pending = GifImage();
    }
}

size_t canvasLength(const GifLayout* layout)
{
    return static_cast<size_t>(layout->width) * layout->height * 4;
}

// Pixels whose alpha is 0 show nothing, whatever colour they carry.
bool sameShownPixel(const uint8_t* a, const uint8_t* b)
{
    if (a[3] == 0 && b[3] == 0)
        return true;
    return memcmp(a, b, 4) == 0;
}

struct Composition {
    GifLayout layout;
    IWICBitmapDecoder* decoder;
    uint8_t* canvas;
    uint8_t* saved;
};

void closeComposition(Composition* c)
{
    if (c->decoder)
        c->decoder->Release();
    release(c->canvas);
    release(c->saved);
    freeGifLayout(&c->layout);
}

// What the check answers once the layouts are known to agree: compares every frame.
bool compareFrames(ImagingSession* session, Composition* a, Composition* b, const ErrorSink* sink)
{
    for (uint32_t index = 0; index < a->layout.imageCount; ++index) {
        if (!drawGifImage(session, a->decoder, &a->layout, index, a->canvas, a->saved))
            return reportNotVerified(sink, "an image of the original cannot be decoded");
        if (!drawGifImage(session, b->decoder, &b->layout, index, b->canvas, b->saved))
            return reportDifference(sink, "image %u of the result cannot be decoded", index + 1);
        size_t pixels = canvasLength(&a->layout) / 4;
        for (size_t i = 0; i < pixels; ++i) {
            if (!sameShownPixel(a->canvas + 4 * i, b->canvas + 4 * i))
                return reportDifference(sink, "pixel %u,%u of frame %u", static_cast<unsigned>(i % a->layout.width),
                                        static_cast<unsigned>(i / a->layout.width), index + 1);
        }
        disposeGifImage(&a->layout, index, a->canvas, a->saved);
        disposeGifImage(&b->layout, index, b->canvas, b->saved);
    }
    return reportVerified(sink, "frames, delays and loop count equal");
}

// The timing and the frame count come before any pixel.
bool sameLayout(const GifLayout* a, const GifLayout* b, const ErrorSink* sink)
{
    if (a->width != b->width || a->height != b->height)
        return reportDifference(sink, "screen %ux%u instead of %ux%u", b->width, b->height, a->width, a->height);
    if (a->imageCount != b->imageCount)
        return reportDifference(sink, "%u frames instead of %u", b->imageCount, a->imageCount);
    if (a->loops != b->loops || a->loopCount != b->loopCount)
        return reportDifference(sink, "loop count");
    for (uint32_t i = 0; i < a->imageCount; ++i) {
        if (a->images[i].delay != b->images[i].delay)
            return reportDifference(sink, "delay of frame %u", i + 1);
    }
    return true;
}

} // namespace

bool readGifLayout(const wchar_t* path, GifLayout* layout)
{
    memset(layout, 0, sizeof(*layout));
    MappedFile gif;
    if (!openMappedFile(path, &gif))
        return false;
    bool parsed = parseLayout(&gif, layout);
    closeMappedFile(&gif);
    if (!parsed || layout->width == 0 || layout->height == 0) {
        freeGifLayout(layout);
        return false;
    }
    return true;
}

void freeGifLayout(GifLayout* layout)
{
    release(layout->images);
    memset(layout, 0, sizeof(*layout));
}

bool drawGifImage(ImagingSession* session, IWICBitmapDecoder* decoder, const GifLayout* layout, uint32_t index,
                  uint8_t* canvas, uint8_t* saved)
{
    const GifImage& image = layout->images[index];
    if (saved && image.disposal == DISPOSE_PREVIOUS)
        memcpy(saved, canvas, canvasLength(layout));
    IWICBitmapFrameDecode* frame = nullptr;
    if (FAILED(decoder->GetFrame(index, &frame)))
        return false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t* pixels = readFrameRgba(session, frame, &width, &height);
    frame->Release();
    if (!pixels || width != image.width || height != image.height) {
        release(pixels);
        return false;
    }
    for (uint32_t y = 0; y < height && image.top + y < layout->height; ++y) {
        for (uint32_t x = 0; x < width && image.left + x < layout->width; ++x) {
            const uint8_t* from = pixels + (static_cast<size_t>(y) * width + x) * 4;
            if (from[3] != 0)
                memcpy(canvas + ((static_cast<size_t>(image.top) + y) * layout->width + image.left + x) * 4, from, 4);
        }
    }
    release(pixels);
    return true;
}

// The background a viewer restores to is transparent.
void disposeGifImage(const GifLayout* layout, uint32_t index, uint8_t* canvas, const uint8_t* saved)
{
    const GifImage& image = layout->images[index];
    if (image.disposal == DISPOSE_PREVIOUS && saved) {
        memcpy(canvas, saved, canvasLength(layout));
    } else if (image.disposal == DISPOSE_BACKGROUND) {
        for (uint32_t y = image.top; y < image.top + image.height && y < layout->height; ++y) {
            for (uint32_t x = image.left; x < image.left + image.width && x < layout->width; ++x)
                memset(canvas + (static_cast<size_t>(y) * layout->width + x) * 4, 0, 4);
        }
    }
}

bool verifyGifResult(const wchar_t* original, const wchar_t* result, const ErrorSink* sink)
{
    if (!verificationEnabled())
        return true;
    Composition a = {};
    Composition b = {};
    if (!readGifLayout(original, &a.layout))
        return reportNotVerified(sink, "the original GIF cannot be read");
    if (!readGifLayout(result, &b.layout)) {
        freeGifLayout(&a.layout);
        return reportDifference(sink, "the result cannot be read as a GIF");
    }
    bool answer = sameLayout(&a.layout, &b.layout, sink);
    ImagingSession session = {};
    if (!answer) {
        // the difference is logged
    } else if (!openImaging(&session)) {
        answer = reportNotVerified(sink, "the imaging component cannot be started");
    } else if (!(a.decoder = openDecoder(&session, original))) {
        answer = reportNotVerified(sink, "no decoder reads the original");
    } else if (!(b.decoder = openDecoder(&session, result))) {
        answer = reportDifference(sink, "the result cannot be decoded");
    } else {
        size_t length = canvasLength(&a.layout);
        a.canvas = static_cast<uint8_t*>(allocate(length, 1, nullptr));
        b.canvas = static_cast<uint8_t*>(allocate(length, 1, nullptr));
        a.saved = static_cast<uint8_t*>(allocate(length, 1, nullptr));
        b.saved = static_cast<uint8_t*>(allocate(length, 1, nullptr));
        if (!a.canvas || !b.canvas || !a.saved || !b.saved)
            answer = reportCannotCheck(sink, "out of memory");
        else
            answer = compareFrames(&session, &a, &b, sink);
    }
    closeComposition(&a);
    closeComposition(&b);
    if (session.factory)
        closeImaging(&session);
    return answer;
}
