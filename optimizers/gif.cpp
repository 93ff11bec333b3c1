#include "optimizers/gif.h"

bool optimizeGif(const wchar_t*, const wchar_t*, bool, const ErrorSink* sink)
{
    reportText(sink, "ERROR: the GIF pipeline is not available in this build\n");
    return false;
}
