#pragma once
// Reporting channel used by every routine that logs, starts tools or can fail
// on behalf of a job.
#include <stdint.h>

enum SinkCode : uint32_t {
    SINK_TEXT = 4,                 // NUL-terminated 8-bit text
    SINK_TEXT_CHECKPOINT = 5,      // same, and the caller acts on the answer
    SINK_WIDE_TEXT = 6,            // NUL-terminated UTF-16 text
    SINK_TOOL_EXITED = 0x3770001,  // a tool's exit code
    SINK_TOOL_STARTED = 0x3770002, // a tool's process handle
    SINK_OUT_OF_MEMORY = 0x80000005,
    SINK_SYSTEM_ERROR = 0x80000B00, // the system error code
};

typedef bool (*SinkCallback)(void* context, uint32_t code, uintptr_t value);

struct ErrorSink {
    void* context;
    SinkCallback callback;
};

// The sink used while no job exists yet: discards everything and goes on.
extern const ErrorSink defaultSink;

// Calls the sink; a null sink is allowed and answers go on.
bool report(const ErrorSink* sink, uint32_t code, uintptr_t value);
bool reportText(const ErrorSink* sink, const char* text);
