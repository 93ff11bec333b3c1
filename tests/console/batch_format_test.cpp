#include <gtest/gtest.h>
#include "console/batch_format.h"
#include <string>
#include <vector>

namespace {

struct ParseRow {
    std::vector<const wchar_t*> arguments;
    BatchParse result;
    int threads;
    const wchar_t* tools;
    std::vector<std::wstring> paths;
};

TEST(BatchArguments, Table)
{
    const ParseRow rows[] = {
        {{L"a.png"}, BATCH_RUN, 0, L"", {L"a.png"}},
        {{L"a.png", L"C:\\dir\\"}, BATCH_RUN, 0, L"", {L"a.png", L"C:\\dir\\"}},
        {{L"-j", L"3", L"x"}, BATCH_RUN, 3, L"", {L"x"}},
        {{L"--threads", L"64", L"x"}, BATCH_RUN, 64, L"", {L"x"}},
        {{L"x", L"-j", L"1"}, BATCH_RUN, 1, L"", {L"x"}},
        {{L"--tools", L"C:\\t", L"x"}, BATCH_RUN, 0, L"C:\\t", {L"x"}},
        {{L"--", L"-j", L"--help"}, BATCH_RUN, 0, L"", {L"-j", L"--help"}},
        {{L"-", L"x"}, BATCH_RUN, 0, L"", {L"-", L"x"}},
        {{L"", L"x"}, BATCH_RUN, 0, L"", {L"x"}},
        {{L"--help"}, BATCH_HELP, 0, L"", {}},
        {{L"x", L"-h"}, BATCH_HELP, 0, L"", {}},
        {{}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-j", L"2"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-j", L"0", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-j", L"65", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-j", L"2a", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-j", L"-1", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"x", L"--threads"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"x", L"--tools"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"x", L"--tools", L""}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"--verbose", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
    };
    for (const ParseRow& row : rows) {
        std::vector<const wchar_t*> argv = {L"VellBatch.exe"};
        argv.insert(argv.end(), row.arguments.begin(), row.arguments.end());
        BatchOptions options;
        options.threads = -7;
        std::wstring error;
        BatchParse result = parseBatchArguments(static_cast<int>(argv.size()), argv.data(), &options, &error);
        std::string trace;
        for (const wchar_t* argument : row.arguments)
            trace += std::string(argument, argument + wcslen(argument)) + " ";
        SCOPED_TRACE(trace);
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(error.empty(), row.result != BATCH_USAGE_ERROR);
        if (row.result == BATCH_RUN) {
            EXPECT_EQ(options.threads, row.threads);
            EXPECT_EQ(options.toolsDir, row.tools);
            EXPECT_EQ(options.paths, row.paths);
        } else {
            EXPECT_EQ(options.threads, -7) << "options untouched unless the line is valid";
        }
    }
}

TEST(BatchArguments, DefaultThreadsAreAtLeastOne)
{
    EXPECT_EQ(batchDefaultThreads(0), 1);
    EXPECT_EQ(batchDefaultThreads(1), 1);
    EXPECT_EQ(batchDefaultThreads(7), 7);
}

TEST(BatchFormat, OptimizedSizeAndPercent)
{
    const struct {
        uint64_t size;
        uint64_t optimized;
        int percent;
        const wchar_t* text;
    } rows[] = {
        {200, 150, -25, L"150 (-50 B; -25 %)"},
        {200, 200, 0, L"200"},
        {200, 250, 25, L"250 (+50 B; +25 %)"},
        {8, 1, -88, L"1 (-7 B; -88 %)"},   // 12.5 rounds to the even 12
        {8, 3, -62, L"3 (-5 B; -62 %)"},   // 37.5 rounds to the even 38
        {1000, 999, 0, L"999 (-1 B; 0 %)"}, // 99.9 rounds to 100
        {33, 23, -30, L"23 (-10 B; -30 %)"},
        {100, 0, -100, L"0 (-100 B; -100 %)"},
        {0, 5, 0, L"5 (+5 B)"},
        {5000000000ull, 2500000000ull, -50, L"2500000000 (-2500000000 B; -50 %)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(sizeChangePercent(row.size, row.optimized), row.percent) << row.size << " " << row.optimized;
        EXPECT_EQ(formatOptimizedSize(row.size, row.optimized), row.text) << row.size << " " << row.optimized;
    }
}

TEST(BatchFormat, JobLines)
{
    EXPECT_EQ(formatJobLine(L"C:\\a b\\x.png", 200, formatOptimizedSize(200, 150), L"optimize PNG", L"OK"),
              L"C:\\a b\\x.png\t200\t150 (-50 B; -25 %)\toptimize PNG\tOK");
    EXPECT_EQ(formatJobLine(L"C:\\y.jpg", 10, L"-", L"optimize JPEG", L"ERROR: tool\tfailed"),
              L"C:\\y.jpg\t10\t-\toptimize JPEG\tERROR: tool failed");
    EXPECT_EQ(formatJobLine(L"C:\\Thumbs.db", 512, formatOptimizedSize(512, 0), L"delete", L"OK"),
              L"C:\\Thumbs.db\t512\t0 (-512 B; -100 %)\tdelete\tOK");
    EXPECT_EQ(formatJobLine(L"C:\\a.7z", 900, formatFolderResult(20), L"extract 7z", L"OK"),
              L"C:\\a.7z\t900\tfolder (-20 B)\textract 7z\tOK");
}

TEST(BatchFormat, FolderResult)
{
    EXPECT_EQ(formatFolderResult(0), L"folder");
    EXPECT_EQ(formatFolderResult(20), L"folder (-20 B)");
    EXPECT_EQ(formatFolderResult(-3), L"folder (+3 B)");
    EXPECT_EQ(formatFolderResult(5000000000ll), L"folder (-5000000000 B)");
}

TEST(BatchFormat, ContentPathShowsTheArchive)
{
    const struct {
        const wchar_t* archive;
        const wchar_t* folder;
        const wchar_t* path;
        const wchar_t* shown;
    } rows[] = {
        {L"C:\\in\\a.docx", L"T:\\zarn0000000A\\x", L"T:\\zarn0000000A\\x\\word\\media\\i.png",
         L"C:\\in\\a.docx > word\\media\\i.png"},
        // The walk doubles the separator when the folder path ends with one.
        {L"C:\\in\\b.7z", L"C:\\in\\b.7z", L"C:\\in\\b.7z\\\\p.png", L"C:\\in\\b.7z > p.png"},
        {L"C:\\in\\o.zip > i.zip", L"c:\\T\\Z\\x", L"C:\\t\\z\\x\\deep\\g.gif",
         L"C:\\in\\o.zip > i.zip > deep\\g.gif"},
        // A folder that is only the start of a name is no folder of the path.
        {L"C:\\a.zip", L"C:\\x", L"C:\\xy\\p.png", L"C:\\a.zip > C:\\xy\\p.png"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(contentDisplayPath(row.archive, row.folder, row.path), row.shown) << row.path;
}

TEST(BatchFormat, TotalsCountWhatIsOnTheDiskAfterwards)
{
    const BatchRole F = ROLE_FILE, C = ROLE_CONTAINER, X = ROLE_EXTRACTION;
    const size_t N = NO_PARENT;
    // 0 plain file; 1 repacked ZIP holding 2 (PNG) and 3 (an extraction inside it, holding 4);
    // 5 extraction holding 6 (PNG), 7 (repacked ZIP holding 8) and 9 (an extraction holding 10);
    // 11 a failed file; 12 an extraction without content.
    const std::vector<BatchEntry> entries = {
        {N, F, true, 100, 90},  {N, C, true, 500, 450}, {1, F, true, 40, 30},  {1, X, true, 60, 0},
        {3, F, true, 20, 10},   {N, X, true, 999, 0},   {5, F, true, 50, 45},  {5, C, true, 80, 70},
        {7, F, true, 30, 20},   {5, X, true, 70, 0},    {9, F, true, 25, 22},  {N, F, false, 33, 0},
        {N, X, true, 10, 0},
    };
    BatchTotals totals = batchTotals(entries);
    // Counted: 0, 1, 6, 7, 10, 11.
    EXPECT_EQ(totals.files, 6u);
    EXPECT_EQ(totals.before, 100u + 500 + 50 + 80 + 25 + 33);
    EXPECT_EQ(totals.after, 90u + 450 + 45 + 70 + 22 + 33);

    const struct {
        size_t index;
        int64_t saved;
    } rows[] = {{3, 10}, {5, 5 + 10 + 3}, {9, 3}, {12, 0}};
    for (const auto& row : rows)
        EXPECT_EQ(savedByContent(entries, row.index), row.saved) << row.index;
}

TEST(BatchFormat, TotalLine)
{
    EXPECT_EQ(formatTotalLine({3, 99, 69}), L"Total: 3 files, 99 bytes before, 69 after, 30 saved (30.3 %)");
    EXPECT_EQ(formatTotalLine({0, 0, 0}), L"Total: 0 files, 0 bytes before, 0 after, 0 saved");
    EXPECT_EQ(formatTotalLine({1, 10, 10}), L"Total: 1 files, 10 bytes before, 10 after, 0 saved (0.0 %)");
}

TEST(BatchFormat, ProgressLineNeverWraps)
{
    EXPECT_EQ(formatProgressLine(2, 5, 1, L"", 80), L"[2/5] 1 running");
    EXPECT_EQ(formatProgressLine(2, 5, 1, L"C:\\x.png", 80), L"[2/5] 1 running, adding C:\\x.png");
    std::wstring longPath = L"C:\\" + std::wstring(200, L'd') + L"\\name.png";
    for (size_t width : {1u, 2u, 10u, 40u, 80u}) {
        std::wstring line = formatProgressLine(10, 20, 2, longPath.c_str(), width);
        EXPECT_LE(line.size(), width > 0 ? width - 1 : 0) << width;
        if (width >= 40) {
            EXPECT_EQ(line.substr(line.size() - 8), L"name.png") << "the end of the path stays";
        }
    }
}

} // namespace
