#include "console/batch_format.h"
#include <math.h>
#include <stdio.h>
#include <wchar.h>

const int MAX_THREADS = 64;

const wchar_t BATCH_USAGE[] =
    L"Usage: VellBatch [options] PATH...\n"
    L"\n"
    L"Optimizes files and folders losslessly, like dropping them on Vell Optimizer,\n"
    L"without a window. Every file below a folder is examined by its content and\n"
    L"processed as the optimizer's settings say (the same settings, read from the\n"
    L"registry). A file is replaced only by a valid, smaller result and is then\n"
    L"stamped as optimized, so it is skipped the next time.\n"
    L"\n"
    L"Options:\n"
    L"  -j N, --threads N  run N jobs at a time, 1 to 64\n"
    L"                     (default: the number of processors minus one, at least 1)\n"
    L"  --tools DIR        start the external tools from DIR instead of the \"tools\"\n"
    L"                     folder beside VellBatch.exe\n"
    L"  -h, --help         show this text\n"
    L"  --                 everything after it is a path, even when it starts with \"-\"\n"
    L"\n"
    L"Output: one line for each file given or found, when it is finished, with\n"
    L"tab-separated fields: path, size in bytes, size afterwards with the change in\n"
    L"bytes and percent (\"-\" when the job failed), action, and \"OK\" or the last\n"
    L"line of the job's log. \"OK (verified)\" says the result was shown to hold the\n"
    L"same content before it replaced the file, \"OK (not verified)\" that it could\n"
    L"not be compared. Files found inside an archive get lines of their own,\n"
    L"before the archive's line; their path is the archive's, \" > \" and the path\n"
    L"inside it (\"C:\\in\\book.epub > images\\cover.png\"). An extracted archive\n"
    L"becomes a folder: its size afterwards reads \"folder\", with what the files\n"
    L"in it saved. A total line follows; it counts the files as they are on the disk\n"
    L"afterwards: a repacked archive by its own size, an extracted one by the files\n"
    L"it became. While it runs on a console, one updating line shows the progress.\n"
    L"Errors go to standard error.\n"
    L"\n"
    L"Ctrl+C cancels: running tools are ended, no file is left half-written, and\n"
    L"the scratch folders are removed. Press it again to quit at once. Logging off\n"
    L"or shutting down cancels the same way.\n"
    L"\n"
    L"Exit codes: 0 every line says \"OK\" (or there was nothing to do); 1 a job\n"
    L"failed, a path does not exist, or the run was canceled; 2 usage error.\n";

static bool parseThreads(const wchar_t* text, int* threads)
{
    if (!text || !*text)
        return false;
    int value = 0;
    for (const wchar_t* c = text; *c; ++c) {
        if (*c < L'0' || *c > L'9')
            return false;
        value = value * 10 + (*c - L'0');
        if (value > MAX_THREADS)
            return false;
    }
    if (value < 1)
        return false;
    *threads = value;
    return true;
}

BatchParse parseBatchArguments(int argc, const wchar_t* const* argv, BatchOptions* options, std::wstring* error)
{
    BatchOptions parsed;
    parsed.threads = 0;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (optionsEnded || argument.empty() || argument[0] != L'-' || argument == L"-") {
            if (!argument.empty())
                parsed.paths.push_back(argument);
            continue;
        }
        if (argument == L"--") {
            optionsEnded = true;
        } else if (argument == L"-h" || argument == L"--help" || argument == L"-?") {
            return BATCH_HELP;
        } else if (argument == L"-j" || argument == L"--threads") {
            if (i + 1 >= argc || !parseThreads(argv[i + 1], &parsed.threads)) {
                *error = argument + L" needs a number from 1 to 64";
                return BATCH_USAGE_ERROR;
            }
            ++i;
        } else if (argument == L"--tools") {
            if (i + 1 >= argc || !argv[i + 1][0]) {
                *error = L"--tools needs a folder";
                return BATCH_USAGE_ERROR;
            }
            parsed.toolsDir = argv[++i];
        } else {
            *error = L"unknown option " + argument;
            return BATCH_USAGE_ERROR;
        }
    }
    if (parsed.paths.empty()) {
        *error = L"no file or folder given";
        return BATCH_USAGE_ERROR;
    }
    *options = parsed;
    return BATCH_RUN;
}

int batchDefaultThreads(int defaultWorkers)
{
    return defaultWorkers < 1 ? 1 : defaultWorkers;
}

int sizeChangePercent(uint64_t size, uint64_t optimizedSize)
{
    if (size == 0)
        return 0;
    // Single precision and ties to even, exactly as the main window computes it.
    float ratio = static_cast<float>(optimizedSize * 100) / static_cast<float>(size);
    return static_cast<int>(nearbyintf(ratio)) - 100;
}

std::wstring formatOptimizedSize(uint64_t size, uint64_t optimizedSize)
{
    wchar_t text[96];
    if (optimizedSize == size) {
        swprintf(text, 96, L"%llu", static_cast<unsigned long long>(optimizedSize));
        return text;
    }
    bool grew = optimizedSize > size;
    unsigned long long difference = grew ? optimizedSize - size : size - optimizedSize;
    const wchar_t* sign = grew ? L"+" : L"-";
    if (size == 0) {
        swprintf(text, 96, L"%llu (%ls%llu B)", static_cast<unsigned long long>(optimizedSize), sign, difference);
        return text;
    }
    int percent = sizeChangePercent(size, optimizedSize);
    swprintf(text, 96, L"%llu (%ls%llu B; %ls%d %%)", static_cast<unsigned long long>(optimizedSize), sign,
             difference, percent > 0 ? L"+" : L"", percent);
    return text;
}

std::wstring formatFolderResult(int64_t savedByContent)
{
    if (savedByContent == 0)
        return L"folder";
    wchar_t text[64];
    bool grew = savedByContent < 0;
    unsigned long long difference = grew ? 0ull - static_cast<unsigned long long>(savedByContent)
                                         : static_cast<unsigned long long>(savedByContent);
    swprintf(text, 64, L"folder (%ls%llu B)", grew ? L"+" : L"-", difference);
    return text;
}

std::wstring formatJobLine(const wchar_t* path, uint64_t size, const std::wstring& result, const wchar_t* action,
                           const wchar_t* status)
{
    wchar_t number[32];
    swprintf(number, 32, L"%llu", static_cast<unsigned long long>(size));
    std::wstring line = path;
    line += L'\t';
    line += number;
    line += L'\t';
    line += result;
    line += L'\t';
    line += action;
    line += L'\t';
    // A status line never holds a line break, but a tab would shift the fields.
    for (const wchar_t* c = status; *c; ++c)
        line += *c == L'\t' ? L' ' : *c;
    return line;
}

std::wstring contentDisplayPath(const std::wstring& archive, const wchar_t* contentFolder, const wchar_t* path)
{
    // ">" cannot occur in a Windows path, so a script can split the line's path there.
    const wchar_t* inside = path;
    size_t folderLength = wcslen(contentFolder);
    if (folderLength && _wcsnicmp(path, contentFolder, folderLength) == 0 &&
        (path[folderLength] == L'\\' || path[folderLength] == L'/')) {
        inside = path + folderLength;
        while (*inside == L'\\' || *inside == L'/')
            ++inside;
    }
    return archive + L" > " + inside;
}

// Whether entry j ends up on the disk as a file of its own when everything from
// top down has been written back: each archive between them was extracted, none repacked.
static bool reachesThroughExtractions(const std::vector<BatchEntry>& entries, size_t j, size_t top)
{
    if (entries[j].role == ROLE_EXTRACTION)
        return false;
    size_t at = j;
    for (;;) {
        size_t parent = entries[at].parent;
        // Content is always listed after its archive; anything else is no parent at all.
        if (parent >= at)
            parent = NO_PARENT;
        if (parent == top)
            return true;
        if (parent == NO_PARENT || entries[parent].role != ROLE_EXTRACTION)
            return false;
        at = parent;
    }
}

static uint64_t afterOf(const BatchEntry& entry)
{
    return entry.done ? entry.optimizedSize : entry.size;
}

BatchTotals batchTotals(const std::vector<BatchEntry>& entries)
{
    BatchTotals totals = {};
    for (size_t j = 0; j < entries.size(); ++j) {
        if (!reachesThroughExtractions(entries, j, NO_PARENT))
            continue;
        ++totals.files;
        totals.before += entries[j].size;
        totals.after += afterOf(entries[j]);
    }
    return totals;
}

int64_t savedByContent(const std::vector<BatchEntry>& entries, size_t index)
{
    int64_t saved = 0;
    for (size_t j = index + 1; j < entries.size(); ++j) {
        if (reachesThroughExtractions(entries, j, index))
            saved += static_cast<int64_t>(entries[j].size) - static_cast<int64_t>(afterOf(entries[j]));
    }
    return saved;
}

std::wstring formatTotalLine(const BatchTotals& totals)
{
    wchar_t text[200];
    long long saved = static_cast<long long>(totals.before) - static_cast<long long>(totals.after);
    int written = swprintf(text, 200, L"Total: %llu files, %llu bytes before, %llu after, %lld saved",
                           static_cast<unsigned long long>(totals.files),
                           static_cast<unsigned long long>(totals.before),
                           static_cast<unsigned long long>(totals.after), saved);
    if (totals.before != 0 && written > 0)
        swprintf(text + written, 200 - written, L" (%.1f %%)",
                 static_cast<double>(saved) * 100.0 / static_cast<double>(totals.before));
    return text;
}

std::wstring formatProgressLine(size_t finished, size_t total, size_t running, const wchar_t* adding,
                                size_t width)
{
    wchar_t text[96];
    swprintf(text, 96, L"[%zu/%zu] %zu running", finished, total, running);
    std::wstring line = text;
    if (adding && *adding) {
        line += L", adding ";
        line += adding;
    }
    size_t room = width > 1 ? width - 1 : 0;
    if (line.size() > room) {
        // Keep the end of a long path: its file name says most.
        if (room > 1)
            line = line.substr(0, room / 2) + L"\u2026" + line.substr(line.size() - (room - room / 2 - 1));
        else
            line.resize(room);
    }
    return line;
}
