#pragma once
// Shared by the verification units (verify_*.cpp).
#include <windows.h>
#include <wincodec.h>
#include <stdint.h>
#include "base/error_sink.h"

// Detail texts are short; the whole line fits easily.
const size_t VERIFY_LINE_ROOM = 192;

// Each returns what the check answers: differences false, the others true.
bool reportDifference(const ErrorSink* sink, const char* detailFormat, ...);
bool reportNotVerified(const ErrorSink* sink, const char* why);
bool reportVerified(const ErrorSink* sink, const char* what);
// A check that could not run to its end for a reason of its own (memory).
bool reportCannotCheck(const ErrorSink* sink, const char* why);

// Files are read sharing everything: a tool that just ended may, under Wine,
// hold its handles for a moment longer, and nothing writes to them any more.
const DWORD VERIFY_SHARE = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A whole file mapped read-only; an empty file has no data and length 0.
struct MappedFile {
    HANDLE file;
    HANDLE mapping;
    const uint8_t* data;
    uint64_t length;
};
bool openMappedFile(const wchar_t* path, MappedFile* mapped);
void closeMappedFile(MappedFile* mapped);

// The Windows Imaging Component on this thread; COM is initialised if the
// thread has not done it yet, and uninitialised again by closeImaging.
struct ImagingSession {
    IWICImagingFactory* factory;
    bool uninitialize;
};
bool openImaging(ImagingSession* session);
void closeImaging(ImagingSession* session);
IWICBitmapDecoder* openDecoder(ImagingSession* session, const wchar_t* path);

// One frame as 8-bit RGBA rows (not premultiplied), read into a new heap block.
uint8_t* readFrameRgba(ImagingSession* session, IWICBitmapSource* frame, uint32_t* width, uint32_t* height);

// Metadata the settings keep: PNG chunks and text keywords; JPEG EXIF, XMP, ICC
// profile (byte for byte), IPTC and comments. Losses and unreadable originals are logged.
enum MetadataCheck { METADATA_KEPT, METADATA_LOST, METADATA_UNREADABLE };
MetadataCheck pngMetadataKept(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);
MetadataCheck jpegMetadataKept(const wchar_t* original, const wchar_t* result, const ErrorSink* sink);
// The clockwise angle the EXIF orientation of a JPEG asks for: 90, 180, 270, or 0.
uint32_t jpegTurnAngle(const wchar_t* path);

// The structure of a GIF: logical screen, per image its place, disposal and
// delay, and the loop count of the NETSCAPE2.0 extension.
struct GifImage {
    uint32_t left, top, width, height;
    uint8_t disposal;
    uint16_t delay;
};
struct GifLayout {
    uint32_t width, height;
    uint32_t imageCount;
    GifImage* images;
    bool loops;
    uint32_t loopCount;
};
bool readGifLayout(const wchar_t* path, GifLayout* layout);
void freeGifLayout(GifLayout* layout);

// Draws image `index` onto an RGBA canvas of the logical screen, as a viewer
// shows it; `saved` (same size) keeps what disposal 3 restores. Call
// disposeGifImage after looking at the canvas and before the next image.
bool drawGifImage(ImagingSession* session, IWICBitmapDecoder* decoder, const GifLayout* layout, uint32_t index,
                  uint8_t* canvas, uint8_t* saved);
void disposeGifImage(const GifLayout* layout, uint32_t index, uint8_t* canvas, const uint8_t* saved);
