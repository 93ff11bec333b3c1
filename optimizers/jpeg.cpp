#include "optimizers/jpeg.h"

bool optimizeJpeg(const wchar_t*, const wchar_t*, bool, uint8_t, uint8_t, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the JPEG pipeline is not available in this build\n");
    return false;
}
