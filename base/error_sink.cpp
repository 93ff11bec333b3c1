#include "base/error_sink.h"

static bool discardReport(void*, uint32_t, uintptr_t)
{
    return true;
}

const ErrorSink defaultSink = {nullptr, discardReport};

bool report(const ErrorSink* sink, uint32_t code, uintptr_t value)
{
    if (!sink || !sink->callback)
        return true;
    return sink->callback(sink->context, code, value);
}

bool reportText(const ErrorSink* sink, const char* text)
{
    return report(sink, SINK_TEXT, reinterpret_cast<uintptr_t>(text));
}
