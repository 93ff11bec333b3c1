#include "console/batch_format.h"
#include "base/size_text.h"
#include <stdio.h>
#include <wchar.h>

const int MAX_THREADS = 64;

const wchar_t BATCH_USAGE[] =
    L"Usage: VellBatch [options] PATH...\n"
    L"       VellBatch --check-tools [--tools DIR]\n"
    L"\n"
    L"Processes files and folders as dropping them on Vell Optimizer does, without\n"
    L"a window. Every file given or found below a folder is examined by its content\n"
    L"and gets the action that the optimizer's settings give it (the same settings,\n"
    L"read from the registry). An optimized file is replaced only by a smaller\n"
    L"result and is then stamped as optimized, so it is skipped the next time.\n"
    L"\n"
    L"Not everything is lossless optimization. With the default settings:\n"
    L"  - Thumbs.db files, and the album-art pictures that media players leave\n"
    L"    beside music (Folder.jpg, AlbumArtSmall.jpg, AlbumArt_{...}.jpg marked as\n"
    L"    system files), are deleted;\n"
    L"  - JPEG photos with an orientation tag are turned upright;\n"
    L"  - metadata the settings name (such as JPEG thumbnails) is removed.\n"
    L"Other settings can convert pictures to PNG, or unpack archives in place.\n"
    L"Use --dry-run to see what would be done.\n"
    L"\n"
    L"Options:\n"
    L"  -j N, --threads N  run N jobs at a time, 1 to 64 (also -jN, --threads=N)\n"
    L"                     (default: the number of processors minus one, at least 1)\n"
    L"  --dry-run          print the action each file would get; change nothing\n"
    L"  --tools DIR        start the external tools from DIR instead of the \"tools\"\n"
    L"                     folder beside VellBatch.exe\n"
    L"  --check-tools      list every tool file, found or missing, with the actions\n"
    L"                     that need it; exit code 0 only when all are found\n"
    L"  -h, --help         show this text\n"
    L"  --version          show the version\n"
    L"  --                 everything after it is a path, even when it starts with \"-\"\n"
    L"A PATH may hold the wildcards \"*\" and \"?\" in its last part (\"C:\\in\\*.png\").\n"
    L"\n"
    L"Output: one line for each file given or found, when it is finished, with\n"
    L"tab-separated fields: path, size in bytes, size afterwards with the change in\n"
    L"bytes and percent (\"-\" when the job failed, \"deleted\" for a deleted file),\n"
    L"action, and \"OK\" or the last line of the job's log. \"OK (verified)\" says the\n"
    L"result was shown to hold the same content before it replaced the file,\n"
    L"\"OK (not verified)\" that it could not be compared. A file left alone says\n"
    L"why: \"no action for this kind\", \"already optimized\" or \"cannot be read\".\n"
    L"Files found inside an archive get lines of their own, before the archive's\n"
    L"line; their path is the archive's, \" > \" and the path inside it\n"
    L"(\"C:\\in\\book.epub > images\\cover.png\"). An extracted archive becomes a\n"
    L"folder: its size afterwards reads \"folder\", with what the files in it saved.\n"
    L"A total line follows; it counts the files as they are on the disk afterwards:\n"
    L"a repacked archive by its own size, an extracted one by the files it became.\n"
    L"On a console, one updating line on standard error shows the progress.\n"
    L"Errors go to standard error, and so does a note when the run needs tools\n"
    L"that are missing (see --check-tools).\n"
    L"\n"
    L"Ctrl+C cancels: running tools are ended, no file is left half-written, and\n"
    L"the scratch folders are removed. Press it again to quit at once. Logging off\n"
    L"or shutting down cancels the same way.\n"
    L"\n"
    L"Exit codes: 0 every job says \"OK\" (or there was nothing to do); 1 a job\n"
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

// "--threads=8" and "-j8" carry their value; "--threads 8" and "-j 8" take the next argument.
static bool threadsValue(const std::wstring& argument, int argc, const wchar_t* const* argv, int* i,
                         const wchar_t** value)
{
    if (argument == L"-j" || argument == L"--threads") {
        *value = *i + 1 < argc ? argv[++*i] : nullptr;
        return true;
    }
    if (argument.compare(0, 10, L"--threads=") == 0) {
        *value = argv[*i] + 10;
        return true;
    }
    if (argument.compare(0, 2, L"-j") == 0) {
        *value = argv[*i] + 2;
        return true;
    }
    return false;
}

BatchParse parseBatchArguments(int argc, const wchar_t* const* argv, BatchOptions* options, std::wstring* error)
{
    BatchOptions parsed;
    parsed.threads = 0;
    parsed.dryRun = false;
    bool optionsEnded = false;
    bool checkTools = false;
    const wchar_t* threads = nullptr;
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
        } else if (argument == L"--version") {
            return BATCH_VERSION;
        } else if (argument == L"--check-tools") {
            checkTools = true;
        } else if (argument == L"--dry-run") {
            parsed.dryRun = true;
        } else if (threadsValue(argument, argc, argv, &i, &threads)) {
            if (!parseThreads(threads, &parsed.threads)) {
                *error = (argument.compare(0, 2, L"-j") == 0 ? L"-j" : L"--threads") +
                         std::wstring(L" needs a number from 1 to 64");
                return BATCH_USAGE_ERROR;
            }
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
    if (!checkTools && parsed.paths.empty()) {
        *error = L"no file or folder given";
        return BATCH_USAGE_ERROR;
    }
    *options = parsed;
    return checkTools ? BATCH_CHECK_TOOLS : BATCH_RUN;
}

int batchDefaultThreads(int defaultWorkers)
{
    return defaultWorkers < 1 ? 1 : defaultWorkers;
}

std::wstring formatOptimizedSize(uint64_t size, uint64_t optimizedSize)
{
    wchar_t sizeText[32];
    wchar_t differenceText[32];
    swprintf(sizeText, 32, L"%llu", static_cast<unsigned long long>(optimizedSize));
    swprintf(differenceText, 32, L"%lld", static_cast<long long>(optimizedSize - size));
    wchar_t text[96];
    // Plain digits and spaces: the same text as the window's, easy for scripts to read.
    formatSizeChange(sizeText, differenceText, size, optimizedSize, L' ', text, 96);
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
    int written = swprintf(text, 200, L"Total: %llu %ls, %llu bytes before, %llu after, %lld saved",
                           static_cast<unsigned long long>(totals.files), totals.files == 1 ? L"file" : L"files",
                           static_cast<unsigned long long>(totals.before),
                           static_cast<unsigned long long>(totals.after), saved);
    if (totals.before != 0 && written > 0)
        swprintf(text + written, 200 - written, L" (%.1f %%)",
                 static_cast<double>(saved) * 100.0 / static_cast<double>(totals.before));
    return text;
}

std::wstring formatProgressLine(size_t finished, size_t total, int64_t saved, size_t running,
                                const wchar_t* adding, size_t width)
{
    wchar_t text[128];
    swprintf(text, 128, L"[%zu/%zu] %lld bytes saved, %zu running", finished, total, static_cast<long long>(saved),
             running);
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

const wchar_t* skipReasonText(SkipReason reason)
{
    switch (reason) {
    case SKIP_ALREADY_OPTIMIZED:
        return L"already optimized";
    case SKIP_UNREADABLE:
        return L"cannot be read";
    default:
        return L"no action for this kind";
    }
}

std::wstring formatSkippedLine(const wchar_t* path, uint64_t size, SkipReason reason)
{
    return formatJobLine(path, size, formatOptimizedSize(size, size), L"-", skipReasonText(reason));
}

std::wstring formatDryRunTotal(size_t files, size_t withAction)
{
    wchar_t text[128];
    swprintf(text, 128, L"Dry run: %zu %ls, %zu with an action; nothing was changed", files,
             files == 1 ? L"file" : L"files", withAction);
    return text;
}

std::wstring formatToolLine(const char* tool, bool found, const std::wstring& actions)
{
    std::wstring line;
    for (const char* c = tool; *c; ++c)
        line += static_cast<wchar_t>(*c);
    line += found ? L"\tfound\t" : L"\tmissing\t";
    line += actions;
    return line;
}

std::wstring formatToolSummary(size_t missing, size_t total, const wchar_t* toolsDirectory)
{
    wchar_t text[96];
    if (missing == 0)
        swprintf(text, 96, L"All %zu tool files found in ", total);
    else
        swprintf(text, 96, L"%zu of %zu tool files missing in ", missing, total);
    return text + std::wstring(toolsDirectory);
}

static size_t lastSeparator(const std::wstring& path)
{
    size_t separator = path.find_last_of(L"\\/");
    // "C:*.png" names the current folder of drive C.
    if (separator == std::wstring::npos && path.size() >= 2 && path[1] == L':')
        return 1;
    return separator;
}

bool isWildcardPattern(const std::wstring& argument)
{
    size_t separator = lastSeparator(argument);
    size_t name = separator == std::wstring::npos ? 0 : separator + 1;
    return argument.find_first_of(L"*?", name) != std::wstring::npos;
}

std::wstring patternFolder(const std::wstring& pattern)
{
    size_t separator = lastSeparator(pattern);
    return separator == std::wstring::npos ? std::wstring() : pattern.substr(0, separator + 1);
}
