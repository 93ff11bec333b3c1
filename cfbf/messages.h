#pragma once

// Exit codes of VellCFBF. 14 is positive on purpose: callers already rely on it.
enum CfbfExit {
    CFBF_EXIT_OK = 0,
    CFBF_EXIT_COPY_LARGE_STREAM = -6,
    CFBF_EXIT_COPY_SMALL_STREAM = -7,
    CFBF_EXIT_CREATE_TARGET = -8,
    CFBF_EXIT_OPEN_SOURCE = -9,
    CFBF_EXIT_UNKNOWN_TYPE = -10,
    CFBF_EXIT_CREATE_STORAGE = -11,
    CFBF_EXIT_OPEN_STORAGE = -12,
    CFBF_EXIT_CREATE_STREAM = -13,
    CFBF_EXIT_OPEN_STREAM = 14,
    CFBF_EXIT_ENUMERATE = -15,
    CFBF_EXIT_USAGE = -16,
    CFBF_EXIT_VERIFY = -17,
    CFBF_EXIT_OUT_OF_MEMORY = -18,
};

void writeOutput(const char* text, unsigned long length);
void writeError(const char* text);
[[noreturn]] void fail(const char* text, int code);
