#include "optimizers/png.h"

bool optimizePng(const wchar_t*, const wchar_t*, bool, bool, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the PNG pipeline is not available in this build\n");
    return false;
}

bool optimizePngFor7z(const wchar_t*, const wchar_t*, bool, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the PNG pipeline is not available in this build\n");
    return false;
}

bool convertToPng(const wchar_t*, const wchar_t*, bool, bool, bool, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the PNG pipeline is not available in this build\n");
    return false;
}

bool deflatePostPass(const wchar_t*, const wchar_t*, bool, const wchar_t*, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the Deflate post-pass is not available in this build\n");
    return false;
}
