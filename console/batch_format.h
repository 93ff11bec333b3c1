#pragma once
// VellBatch's command line and the texts it prints, apart from the program so
// that tests can call them.
#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

struct BatchOptions {
    int threads;           // 0 = the default
    bool dryRun;           // show each file's action, change nothing
    std::wstring toolsDir; // empty = "tools\" beside the program
    std::vector<std::wstring> paths;
};

enum BatchParse {
    BATCH_RUN,
    BATCH_HELP,
    BATCH_VERSION,
    BATCH_CHECK_TOOLS,
    BATCH_USAGE_ERROR,
};

extern const wchar_t BATCH_USAGE[];

// argv[0] is the program. On BATCH_USAGE_ERROR, error says what was wrong.
BatchParse parseBatchArguments(int argc, const wchar_t* const* argv, BatchOptions* options, std::wstring* error);

// Processors minus one, at least 1.
int batchDefaultThreads(int defaultWorkers);

// "N" when nothing changed, else "N (-D B; -P %)" with signs as the main window shows them.
std::wstring formatOptimizedSize(uint64_t size, uint64_t optimizedSize);

// "folder", or "folder (-D B)" with what the extracted content saved (a "+" when it grew).
std::wstring formatFolderResult(int64_t savedByContent);

// One finished job: path, size, result (formatOptimizedSize, formatFolderResult or "-"), action,
// status; tab-separated.
std::wstring formatJobLine(const wchar_t* path, uint64_t size, const std::wstring& result, const wchar_t* action,
                           const wchar_t* status);

// The path shown for a file found inside an archive: the archive's own shown path, " > " and the
// file's path below the folder the archive was unpacked into.
std::wstring contentDisplayPath(const std::wstring& archive, const wchar_t* contentFolder, const wchar_t* path);

// What the totals need to know of a job.
enum BatchRole : uint8_t {
    ROLE_FILE,       // optimized, minified, converted or deleted: its own bytes count
    ROLE_CONTAINER,  // repacked: its own file counts, its content is inside it
    ROLE_EXTRACTION, // became a folder: its content counts in its place
};
const size_t NO_PARENT = static_cast<size_t>(-1);
struct BatchEntry {
    size_t parent; // index of the archive it was found in, or NO_PARENT
    BatchRole role;
    bool done;
    uint64_t size;
    uint64_t optimizedSize;
};

struct BatchTotals {
    uint64_t files;
    uint64_t before;
    uint64_t after;
};
// Files whose bytes are really on the disk afterwards: those not inside a repacked container, extraction
// jobs replaced by their content. Parents come before their content.
BatchTotals batchTotals(const std::vector<BatchEntry>& entries);
// What the content of the extraction job at index saved, counted as in batchTotals.
int64_t savedByContent(const std::vector<BatchEntry>& entries, size_t index);
std::wstring formatTotalLine(const BatchTotals& totals);

// The updating progress line, cut to width - 1 characters so it never wraps.
std::wstring formatProgressLine(size_t finished, size_t total, int64_t saved, size_t running,
                                const wchar_t* adding, size_t width);

// Why a file given or found got no job.
enum SkipReason {
    SKIP_NO_ACTION,
    SKIP_ALREADY_OPTIMIZED,
    SKIP_UNREADABLE,
};
const wchar_t* skipReasonText(SkipReason reason);
// The line of a file without a job: path, size, size unchanged, "-" as action, the reason.
std::wstring formatSkippedLine(const wchar_t* path, uint64_t size, SkipReason reason);

// What a dry run prints after its file lines.
std::wstring formatDryRunTotal(size_t files, size_t withAction);

// --check-tools: one tool file, found or missing, with the actions that need it.
std::wstring formatToolLine(const char* tool, bool found, const std::wstring& actions);
std::wstring formatToolSummary(size_t missing, size_t total, const wchar_t* toolsDirectory);

// For a command-line argument with "*" or "?" in its last part: the folder part to
// put before each name found, the part up to and including the last separator.
bool isWildcardPattern(const std::wstring& argument);
std::wstring patternFolder(const std::wstring& pattern);
