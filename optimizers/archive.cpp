#include "optimizers/archive.h"

static bool unavailable(const ErrorSink* sink)
{
    reportText(sink, "ERROR: the archive pipelines are not available in this build\n");
    return false;
}

bool extractArchive(const wchar_t*, const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool recompressZip(const wchar_t*, const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool recompressGzip(const wchar_t*, const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool addStoredEntry(const wchar_t*, const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool renameMimetypeEntry(const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}

bool minifyFile(const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    return unavailable(sink);
}
