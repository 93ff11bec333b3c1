#include <gtest/gtest.h>
#include "console/batch_files.h"
#include "console/batch_format.h"
#include "base/size_text.h"
#include "support/test_files.h"
#include <algorithm>
#include <string>
#include <vector>

namespace {

struct ParseRow {
    std::vector<const wchar_t*> arguments;
    BatchParse result;
    int threads;
    const wchar_t* tools;
    std::vector<std::wstring> paths;
    bool dryRun;
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
        // The usual spellings of a thread count.
        {{L"-j8", L"x"}, BATCH_RUN, 8, L"", {L"x"}},
        {{L"--threads=8", L"x"}, BATCH_RUN, 8, L"", {L"x"}},
        {{L"--threads", L"8", L"x"}, BATCH_RUN, 8, L"", {L"x"}},
        {{L"-j", L"8", L"x"}, BATCH_RUN, 8, L"", {L"x"}},
        {{L"-j0", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"--threads=", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"--threads=65", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"-jx", L"x"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"--dry-run", L"x"}, BATCH_RUN, 0, L"", {L"x"}, true},
        {{L"--dry-run"}, BATCH_USAGE_ERROR, 0, L"", {}},
        {{L"--version"}, BATCH_VERSION, 0, L"", {}},
        {{L"--check-tools"}, BATCH_CHECK_TOOLS, 0, L"", {}},
        {{L"--check-tools", L"--tools", L"C:\\t"}, BATCH_CHECK_TOOLS, 0, L"C:\\t", {}},
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
        if (row.result == BATCH_RUN || row.result == BATCH_CHECK_TOOLS) {
            EXPECT_EQ(options.threads, row.threads);
            EXPECT_EQ(options.toolsDir, row.tools);
            EXPECT_EQ(options.paths, row.paths);
            EXPECT_EQ(options.dryRun, row.dryRun);
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
        {1000, 1001, 0, L"1001 (+1 B; +0 %)"}, // as the window shows a growth too small for a percent
        {33, 23, -30, L"23 (-10 B; -30 %)"},
        {100, 0, -100, L"0 (-100 B; -100 %)"},
        {0, 5, 0, L"5 (+5 B)"},
        {5000000000ull, 2500000000ull, -50, L"2500000000 (-2500000000 B; -50 %)"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(percentChange(row.size, row.optimized), row.percent) << row.size << " " << row.optimized;
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
    EXPECT_EQ(formatTotalLine({1, 10, 10}), L"Total: 1 file, 10 bytes before, 10 after, 0 saved (0.0 %)");
}

TEST(BatchFormat, ProgressLineNeverWraps)
{
    EXPECT_EQ(formatProgressLine(2, 5, 300, 1, L"", 80), L"[2/5] 300 bytes saved, 1 running");
    EXPECT_EQ(formatProgressLine(2, 5, -4, 1, L"C:\\x.png", 80),
              L"[2/5] -4 bytes saved, 1 running, adding C:\\x.png");
    std::wstring longPath = L"C:\\" + std::wstring(200, L'd') + L"\\name.png";
    for (size_t width : {1u, 2u, 10u, 40u, 80u}) {
        std::wstring line = formatProgressLine(10, 20, 0, 2, longPath.c_str(), width);
        EXPECT_LE(line.size(), width > 0 ? width - 1 : 0) << width;
        if (width >= 40) {
            EXPECT_EQ(line.substr(line.size() - 8), L"name.png") << "the end of the path stays";
        }
    }
}

TEST(BatchFormat, LinesOfFilesWithoutAJobAndOfTools)
{
    EXPECT_EQ(formatSkippedLine(L"C:\\notes.txt", 18, SKIP_NO_ACTION), L"C:\\notes.txt\t18\t18\t-\tno action for this kind");
    EXPECT_EQ(formatSkippedLine(L"C:\\a.png", 5, SKIP_ALREADY_OPTIMIZED), L"C:\\a.png\t5\t5\t-\talready optimized");
    EXPECT_EQ(formatSkippedLine(L"C:\\b", 0, SKIP_UNREADABLE), L"C:\\b\t0\t0\t-\tcannot be read");
    EXPECT_EQ(formatDryRunTotal(1, 0), L"Dry run: 1 file, 0 with an action; nothing was changed");
    EXPECT_EQ(formatDryRunTotal(3, 2), L"Dry run: 3 files, 2 with an action; nothing was changed");
    EXPECT_EQ(formatToolLine("Perl\\perl.exe", false, L"optimize JPEG"), L"Perl\\perl.exe\tmissing\toptimize JPEG");
    EXPECT_EQ(formatToolLine("7z.exe", true, L"a, b"), L"7z.exe\tfound\ta, b");
    EXPECT_EQ(formatToolSummary(0, 17, L"C:\\t\\"), L"All 17 tool files found in C:\\t\\");
    EXPECT_EQ(formatToolSummary(2, 17, L"C:\\t\\"), L"2 of 17 tool files missing in C:\\t\\");
}

TEST(BatchFiles, WildcardsExpandAsWindowsProgramsDo)
{
    std::wstring folder = makeTestFolder(L"wild");
    for (const wchar_t* name : {L"a.png", L"b.png", L"c.jpg"})
        ASSERT_TRUE(writeTestFile(folder + L"\\" + name, "x"));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\sub.png").c_str(), nullptr));
    std::vector<std::wstring> paths;
    std::vector<std::wstring> unmatched;
    expandWildcards({folder + L"\\*.png", folder + L"\\c.jpg", folder + L"\\*.gif", folder + L"/?.jpg"}, &paths,
                    &unmatched);
    std::vector<std::wstring> pngs(paths.begin(), paths.begin() + 3);
    std::sort(pngs.begin(), pngs.end());
    EXPECT_EQ(pngs, (std::vector<std::wstring>{folder + L"\\a.png", folder + L"\\b.png", folder + L"\\sub.png"}));
    ASSERT_EQ(paths.size(), 5u);
    EXPECT_EQ(paths[3], folder + L"\\c.jpg") << "a plain path stays as given, found or not";
    EXPECT_EQ(paths[4], folder + L"/c.jpg");
    EXPECT_EQ(unmatched, std::vector<std::wstring>{folder + L"\\*.gif"});
    // Wildcards only count in the last part; a folder name is taken as it is.
    EXPECT_FALSE(isWildcardPattern(L"C:\\a*b\\x.png"));
    EXPECT_TRUE(isWildcardPattern(L"C:*.png"));
    EXPECT_EQ(patternFolder(L"C:*.png"), L"C:");
    EXPECT_EQ(patternFolder(L"*.png"), L"");
    removeTestFolder(folder);
}

TEST(BatchFiles, GivenFilesAreListedAsTheAdderWalks)
{
    std::wstring folder = makeTestFolder(L"given");
    for (const wchar_t* sub : {L"\\deep", L"\\$skip", L"\\.git"})
        ASSERT_TRUE(CreateDirectoryW((folder + sub).c_str(), nullptr));
    for (const wchar_t* name : {L"\\top.txt", L"\\deep\\in.png", L"\\$skip\\no.png", L"\\.git\\in.png"})
        ASSERT_TRUE(writeTestFile(folder + name, "12345"));
    std::vector<GivenFile> files;
    listGivenFiles(folder + L"\\", &files);
    listGivenFiles(folder + L"\\top.txt", &files);
    listGivenFiles(folder + L"\\missing.txt", &files);
    std::vector<std::wstring> paths;
    for (const GivenFile& file : files) {
        paths.push_back(file.path);
        EXPECT_EQ(file.size, 5u);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::wstring>{folder + L"\\.git\\in.png", folder + L"\\deep\\in.png", folder + L"\\top.txt",
                                          folder + L"\\top.txt"}));
    EXPECT_EQ(comparablePath(L"C:\\In\\\\A.PNG"), comparablePath(L"c:/in/a.png"));
    EXPECT_NE(comparablePath(L"C:\\in\\a.png"), comparablePath(L"C:\\in\\b.png"));
    removeTestFolder(folder);
}

} // namespace
