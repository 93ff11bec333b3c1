#include "optimizers/verify.h"
#include "optimizers/verify_internal.h"
#include "base/file_util.h"
#include "settings/settings.h"
#include <shlwapi.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// Read at the moment of the check, like the other settings the pipelines follow.
bool verificationEnabled()
{
    return settings.general_verifyResults != 0;
}

bool reportDifference(const ErrorSink* sink, const char* detailFormat, ...)
{
    char detail[VERIFY_LINE_ROOM - 48];
    va_list arguments;
    va_start(arguments, detailFormat);
    vsnprintf(detail, sizeof(detail), detailFormat, arguments);
    va_end(arguments);
    char line[VERIFY_LINE_ROOM];
    snprintf(line, sizeof(line), "ERROR: result differs from the original (%s)\n", detail);
    reportText(sink, line);
    return false;
}

bool reportNotVerified(const ErrorSink* sink, const char* why)
{
    char line[VERIFY_LINE_ROOM];
    snprintf(line, sizeof(line), "not verified: %s\n", why);
    reportText(sink, line);
    return true;
}

bool reportVerified(const ErrorSink* sink, const char* what)
{
    char line[VERIFY_LINE_ROOM];
    snprintf(line, sizeof(line), "verified: %s\n", what);
    reportText(sink, line);
    return true;
}

// Not knowing is not the same as "cannot be compared": the result stays out.
bool reportCannotCheck(const ErrorSink* sink, const char* why)
{
    char line[VERIFY_LINE_ROOM];
    snprintf(line, sizeof(line), "ERROR: cannot verify the result (%s)\n", why);
    reportText(sink, line);
    return false;
}

bool openMappedFile(const wchar_t* path, MappedFile* mapped)
{
    memset(mapped, 0, sizeof(*mapped));
    mapped->file = CreateFileW(path, GENERIC_READ, VERIFY_SHARE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (mapped->file == INVALID_HANDLE_VALUE) {
        mapped->file = nullptr;
        return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(mapped->file, &size)) {
        closeMappedFile(mapped);
        return false;
    }
    mapped->length = static_cast<uint64_t>(size.QuadPart);
    if (mapped->length == 0)
        return true;
    mapped->data = static_cast<const uint8_t*>(mapForReading(mapped->file, &mapped->mapping, nullptr));
    if (!mapped->data) {
        closeMappedFile(mapped);
        return false;
    }
    return true;
}

void closeMappedFile(MappedFile* mapped)
{
    if (mapped->data)
        UnmapViewOfFile(mapped->data);
    if (mapped->mapping)
        CloseHandle(mapped->mapping);
    if (mapped->file)
        CloseHandle(mapped->file);
    memset(mapped, 0, sizeof(*mapped));
}

// Workers never initialise COM for the pipelines, so the check does it for itself;
// a thread that already has an apartment of the other kind can use WIC as it is.
bool openImaging(ImagingSession* session)
{
    session->factory = nullptr;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    session->uninitialize = SUCCEEDED(hr);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE)
        return false;
    hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                          reinterpret_cast<void**>(&session->factory));
    if (FAILED(hr)) {
        session->factory = nullptr;
        closeImaging(session);
        return false;
    }
    return true;
}

void closeImaging(ImagingSession* session)
{
    if (session->factory)
        session->factory->Release();
    session->factory = nullptr;
    if (session->uninitialize)
        CoUninitialize();
    session->uninitialize = false;
}

// Through a stream of our own, because the decoder's own file opening would deny writers.
IWICBitmapDecoder* openDecoder(ImagingSession* session, const wchar_t* path)
{
    IStream* stream = nullptr;
    if (FAILED(SHCreateStreamOnFileEx(path, STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL, FALSE, nullptr,
                                      &stream)))
        return nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    if (FAILED(session->factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand, &decoder)))
        decoder = nullptr;
    stream->Release();
    return decoder;
}

uint8_t* readFrameRgba(ImagingSession* session, IWICBitmapSource* frame, uint32_t* width, uint32_t* height)
{
    UINT w = 0;
    UINT h = 0;
    if (FAILED(frame->GetSize(&w, &h)) || w == 0 || h == 0 || w > 0x7FFFFFFF / 4)
        return nullptr;
    uint64_t length = static_cast<uint64_t>(w) * h * 4;
    if (length > UINT32_MAX)
        return nullptr;
    IWICFormatConverter* converter = nullptr;
    if (FAILED(session->factory->CreateFormatConverter(&converter)))
        return nullptr;
    uint8_t* pixels = nullptr;
    if (SUCCEEDED(converter->Initialize(frame, GUID_WICPixelFormat32bppRGBA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                        WICBitmapPaletteTypeCustom))) {
        pixels = static_cast<uint8_t*>(allocate(static_cast<size_t>(length), 1, nullptr));
        if (pixels && FAILED(converter->CopyPixels(nullptr, w * 4, static_cast<UINT>(length), pixels))) {
            release(pixels);
            pixels = nullptr;
        }
    }
    converter->Release();
    *width = w;
    *height = h;
    return pixels;
}
