#include <gtest/gtest.h>
#include "jobs/adding.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include <string>
#include <vector>

namespace {

const std::string pngBytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0", 29);

struct Posted {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};

// Notifications posted to a null window land in this thread's queue.
std::vector<Posted> takePosted()
{
    std::vector<Posted> posted;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 100, PM_REMOVE))
        posted.push_back({msg.message, msg.wParam, msg.lParam});
    return posted;
}

class AnalyzeFile : public testing::Test {
protected:
    void SetUp() override
    {
        takePosted();
        setDefaultSettings(&s);
        folder = makeTestFolder(L"analyze");
        temp = folder + L"\\temp\\";
        CreateDirectoryW(temp.c_str(), nullptr);
        initJobList(&list);
    }
    void TearDown() override
    {
        for (size_t i = 0; i < list.length; ++i) {
            deleteTree(list.entries[i]->scratchDir);
        }
        clearJobList(&list);
        DeleteCriticalSection(&list.lock);
        removeTestFolder(folder);
    }
    // Analyses one file as the adder would, without progress.
    void analyze(const std::wstring& path, uint64_t lastWrite = 0, ContentContext context = CONTEXT_TOP,
                 Job* parent = nullptr)
    {
        analyzeFile(nullptr, duplicateString(path.c_str(), nullptr), temp.c_str(), lastWrite, &s, &list,
                    parent, context, nullptr);
    }
    Settings s;
    std::wstring folder;
    std::wstring temp;
    JobList list;
};

TEST_F(AnalyzeFile, PngBecomesPendingJobWithEveryField)
{
    std::wstring path = folder + L"\\picture.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    const uint64_t created = 132000000000000000ull;
    const uint64_t written = 132000000012345678ull;
    ASSERT_TRUE(setTestFileTime(path, created, written));
    analyze(path, written);

    ASSERT_EQ(list.length, 1u);
    Job* job = list.entries[0];
    EXPECT_STREQ(job->path, path.c_str());
    EXPECT_EQ(job->state, JOB_PENDING);
    EXPECT_EQ(job->kind, KIND_PNG);
    EXPECT_EQ(job->action, ACTION_OPTIMIZE_PNG);
    EXPECT_EQ(job->options[1], 1);
    EXPECT_EQ(job->ready.load(), 1);
    EXPECT_EQ(job->canceled.load(), 0);
    EXPECT_EQ(job->parent, nullptr);
    EXPECT_EQ(job->size, pngBytes.size());
    EXPECT_EQ(job->lastWriteTime, written);
    if (testFileTime(path, true) == created) {
        EXPECT_EQ(job->creationTime, created);
    }
    EXPECT_EQ(job->optimizedSize, 0u);
    EXPECT_EQ(job->sink.context, job);
    EXPECT_EQ(job->toolProcess, nullptr);

    std::wstring dir = job->scratchDir;
    ASSERT_EQ(dir.size(), temp.size() + 12);
    EXPECT_EQ(dir.substr(0, temp.size() + 4), temp + L"zarn");
    EXPECT_EQ(dir.find_first_not_of(L"0123456789ABCDEF", temp.size() + 4), std::wstring::npos);
    EXPECT_TRUE(testPathExists(dir));
    wchar_t working[SCRATCH_FILE_ROOM];
    ASSERT_TRUE(jobScratchFile(job, working));
    EXPECT_EQ(std::wstring(working), dir + L"\\x.png");

    std::vector<Posted> posted = takePosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, static_cast<UINT>(WM_JOB_ADDED));
    EXPECT_EQ(posted[0].wParam, 0u);
}

TEST_F(AnalyzeFile, MarkedFilesAreSkippedUnlessForced)
{
    std::wstring path = folder + L"\\done.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    const uint64_t marked = 132000000000001337ull;
    analyze(path, marked);
    EXPECT_EQ(list.length, 0u);
    EXPECT_TRUE(takePosted().empty());

    analyze(path, marked + 1);
    EXPECT_EQ(list.length, 1u);

    s.general_forceIfAlreadyOptimized = 1;
    analyze(path, marked);
    EXPECT_EQ(list.length, 2u);
}

TEST_F(AnalyzeFile, FilesThatYieldNoJobLeaveNoTrace)
{
    std::wstring empty = folder + L"\\empty.png";
    std::wstring text = folder + L"\\notes.txt";
    std::wstring svg = folder + L"\\drawing.svg"; // svg_optimize is off by default
    std::wstring missing = folder + L"\\missing.png";
    writeTestFile(empty, "");
    writeTestFile(text, std::string(600, 'a'));
    writeTestFile(svg, "<svg xmlns='http://www.w3.org/2000/svg'></svg>");
    for (const std::wstring& path : {empty, text, svg, missing})
        analyze(path);
    EXPECT_EQ(list.length, 0u);
    EXPECT_TRUE(takePosted().empty());
    // No scratch folder was left behind.
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((temp + L"zarn*").c_str(), &entry);
    EXPECT_EQ(find, INVALID_HANDLE_VALUE);
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
}

TEST_F(AnalyzeFile, LockedFileIsSkipped)
{
    std::wstring path = folder + L"\\locked.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    HANDLE lock = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    analyze(path);
    CloseHandle(lock);
    EXPECT_EQ(list.length, 0u);
    analyze(path);
    EXPECT_EQ(list.length, 1u);
}

TEST_F(AnalyzeFile, ImmediateSuccessionGivesDifferentScratchFolders)
{
    std::wstring path = folder + L"\\twice.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    for (int i = 0; i < 20; ++i)
        analyze(path);
    ASSERT_EQ(list.length, 20u);
    for (size_t i = 0; i < list.length; ++i)
        for (size_t j = i + 1; j < list.length; ++j)
            EXPECT_STRNE(list.entries[i]->scratchDir, list.entries[j]->scratchDir);
}

TEST_F(AnalyzeFile, ContentJobCarriesParentAndContext)
{
    std::wstring path = folder + L"\\inner.jpg";
    ASSERT_TRUE(writeTestFile(path, "\xFF\xD8\xFF\xE0"));
    Job parent = {};
    analyze(path, 0, CONTEXT_OOXML, &parent);
    ASSERT_EQ(list.length, 1u);
    EXPECT_EQ(list.entries[0]->parent, &parent);
    EXPECT_EQ(list.entries[0]->options[3], 3);
}

TEST_F(AnalyzeFile, MissingTemporaryFolderGivesAFailedJobThatSaysWhy)
{
    std::wstring path = folder + L"\\picture.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    temp = folder + L"\\no-such-folder\\";
    analyze(path);
    ASSERT_EQ(list.length, 1u);
    Job* job = list.entries[0];
    EXPECT_EQ(job->state, JOB_FAILED);
    EXPECT_EQ(job->ready.load(), 0);
    EXPECT_STREQ(job->scratchDir, L"");
    wchar_t* status = copyStatusLine(job);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, L"ERROR: cannot create the scratch folder under the temporary path");
    release(status);
    std::vector<Posted> posted = takePosted();
    // The row is added first, then told that the job has ended.
    ASSERT_GE(posted.size(), 2u);
    EXPECT_EQ(posted.front().message, static_cast<UINT>(WM_JOB_ADDED));
    EXPECT_EQ(posted.back().message, static_cast<UINT>(WM_JOB_STATE));
    EXPECT_EQ(posted.back().lParam, reinterpret_cast<LPARAM>(job));
}

TEST_F(AnalyzeFile, OverlongTemporaryPathIsRefusedNotCut)
{
    std::wstring path = folder + L"\\picture.png";
    ASSERT_TRUE(writeTestFile(path, pngBytes));
    temp = L"C:\\" + std::wstring(246, L'a') + L"\\"; // 250 units: no room for the scratch name
    analyze(path);
    ASSERT_EQ(list.length, 1u);
    EXPECT_EQ(list.entries[0]->state, JOB_FAILED);
}

TEST(ReportProgress, LongPathsAreShortenedWithAnEllipsis)
{
    AddingRun run = {};
    std::wstring exact(260, L'p');
    reportProgress(&run, exact.c_str());
    EXPECT_EQ(std::wstring(run.currentPath), exact);
    std::wstring longer = std::wstring(258, L'q') + L"rstuvw";
    reportProgress(&run, longer.c_str());
    EXPECT_EQ(std::wstring(run.currentPath), std::wstring(258, L'q') + L"\u2026");
    MSG msg;
    int progress = 0;
    while (PeekMessageW(&msg, nullptr, WM_ADDER_PROGRESS, WM_ADDER_PROGRESS, PM_REMOVE))
        ++progress;
    EXPECT_EQ(progress, 2);
}

} // namespace
