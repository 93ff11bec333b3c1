#pragma once
// VellBatch's command line and the texts it prints, apart from the program so
// that tests can call them.
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

struct BatchOptions {
    int threads;           // 0 = the default
    std::wstring toolsDir; // empty = "tools\" beside the program
    std::vector<std::wstring> paths;
};

enum BatchParse {
    BATCH_RUN,
    BATCH_HELP,
    BATCH_USAGE_ERROR,
};

extern const wchar_t BATCH_USAGE[];

// argv[0] is the program. On BATCH_USAGE_ERROR, error says what was wrong.
BatchParse parseBatchArguments(int argc, const wchar_t* const* argv, BatchOptions* options, std::wstring* error);

// Processors minus one, at least 1.
int batchDefaultThreads(int defaultWorkers);

// "N" when nothing changed, else "N (-D B; -P %)" with signs as the main window shows them.
std::wstring formatOptimizedSize(uint64_t size, uint64_t optimizedSize);
// (N x 100 / O to the nearest, ties to even, in single precision) - 100; 0 when O is 0.
int sizeChangePercent(uint64_t size, uint64_t optimizedSize);

// One finished top-level job: path, size, optimized size ("-" unless done), action, status; tab-separated.
std::wstring formatJobLine(const wchar_t* path, uint64_t size, bool done, uint64_t optimizedSize,
                           const wchar_t* action, const wchar_t* status);

struct BatchTotals {
    uint64_t files;
    uint64_t before;
    uint64_t after;
};
std::wstring formatTotalLine(const BatchTotals& totals);

// The updating progress line, cut to width - 1 characters so it never wraps.
std::wstring formatProgressLine(size_t finished, size_t total, size_t running, const wchar_t* adding,
                                size_t width);
