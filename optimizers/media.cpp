#include "optimizers/media.h"

static bool unavailable(const ErrorSink* sink)
{
    reportText(sink, "ERROR: this pipeline is not available in this build\n");
    return false;
}

bool optimizeCompoundFile(const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool optimizeMp3(const wchar_t*, const wchar_t*, bool, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool optimizeFlac(const wchar_t*, const wchar_t*, bool, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}
