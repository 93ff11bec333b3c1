#include "runner/job_log.h"
#include "base/file_util.h"
#include "runner/tool_runner.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

// A message-only window that receives the job's notifications; the test counts
// what was posted by draining the queue.
class JobLogTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(sandbox.ready());
        window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window, nullptr);
        job = createTestJob(sandbox.workDir(), window);
        ASSERT_NE(job, nullptr);
        drainPosts();
    }

    void TearDown() override
    {
        destroyTestJob(job);
        if (window)
            DestroyWindow(window);
    }

    int drainPosts()
    {
        int count = 0;
        MSG message;
        while (PeekMessageW(&message, window, WM_JOB_LOG, WM_JOB_LOG, PM_REMOVE)) {
            EXPECT_EQ(message.lParam, reinterpret_cast<LPARAM>(job));
            EXPECT_EQ(message.wParam, 0u);
            ++count;
        }
        return count;
    }

    void append(const std::string& bytes) { appendToLog(job, bytes.data(), bytes.size()); }

    std::string memory() const
    {
        return std::string(job->logData ? job->logData : "", static_cast<size_t>(job->logLength));
    }

    std::string status() const
    {
        return std::string(job->logData + job->statusLineStart,
                           static_cast<size_t>(job->statusLineLength));
    }

    std::wstring statusCopy()
    {
        wchar_t* text = copyStatusLine(job);
        std::wstring copy = text ? text : L"";
        release(text);
        return copy;
    }

    ToolSandbox sandbox;
    HWND window = nullptr;
    Job* job = nullptr;
};

TEST_F(JobLogTest, CrLfInOneCallIsOneLineEnd)
{
    append("a\r\nb\n");
    EXPECT_EQ(memory(), "a\nb\n");
    EXPECT_EQ(status(), "b");
    EXPECT_EQ(drainPosts(), 1);
    EXPECT_EQ(logFileBytes(job), "a\r\nb\n");
}

TEST_F(JobLogTest, CrLfSplitAcrossCallsGivesTwoLineEnds)
{
    append("a\r");
    EXPECT_EQ(status(), "a");
    EXPECT_EQ(drainPosts(), 1);
    append("\nb");
    EXPECT_EQ(memory(), "a\n\nb");
    // The empty line between the two line ends changes nothing.
    EXPECT_EQ(status(), "a");
    EXPECT_EQ(drainPosts(), 0);
    append("\n");
    EXPECT_EQ(status(), "b");
    EXPECT_EQ(drainPosts(), 1);
    EXPECT_EQ(logFileBytes(job), "a\r\nb\n");
}

TEST_F(JobLogTest, BackspaceProgressFollowsTheStatusLine)
{
    append("10%\b\b\b");
    EXPECT_EQ(status(), "10%");
    EXPECT_EQ(drainPosts(), 1);
    append("20%\b\b\b");
    EXPECT_EQ(status(), "20%");
    EXPECT_EQ(drainPosts(), 1);
    EXPECT_EQ(memory(), "10%\n\n\n20%\n\n\n");
    EXPECT_EQ(logFileBytes(job), "10%\b\b\b20%\b\b\b");
}

TEST_F(JobLogTest, LoneCarriageReturnEndsALine)
{
    append("x\ry\r");
    EXPECT_EQ(memory(), "x\ny\n");
    EXPECT_EQ(status(), "y");
}

TEST_F(JobLogTest, SameLineTwicePostsOnce)
{
    append("same\n");
    append("same\n");
    EXPECT_EQ(drainPosts(), 1);
    append("same\nsame\n");
    EXPECT_EQ(drainPosts(), 0);
    append("other\nsame\n");
    EXPECT_EQ(status(), "same");
    EXPECT_EQ(drainPosts(), 1); // at most one notice per append
}

TEST_F(JobLogTest, UnfinishedLineIsNotTheStatusLine)
{
    append("done\npartial");
    EXPECT_EQ(status(), "done");
    EXPECT_EQ(drainPosts(), 1);
    append(" more\n");
    EXPECT_EQ(status(), "partial more");
    EXPECT_EQ(drainPosts(), 1);
}

TEST_F(JobLogTest, CompactionKeepsTheUnfinishedLine)
{
    std::string big;
    for (int i = 0; big.size() <= 13000; ++i)
        big += "line " + std::to_string(i) + " of some progress output\n";
    std::string lastLine = big.substr(big.rfind('\n', big.size() - 2) + 1);
    lastLine.pop_back();
    append(big + "unfinished");
    EXPECT_EQ(drainPosts(), 1);
    // Everything before the status line is gone; the tail stays behind it.
    EXPECT_EQ(job->statusLineStart, 0u);
    EXPECT_EQ(status(), lastLine);
    EXPECT_EQ(memory(), lastLine + "\nunfinished");
    EXPECT_EQ(job->currentLineStart, lastLine.size() + 1);
    EXPECT_EQ(job->previousLineStart, 0u);
    EXPECT_EQ(statusCopy(), widen(lastLine));

    append(" and finished\n");
    EXPECT_EQ(status(), "unfinished and finished");
    EXPECT_EQ(drainPosts(), 1);
    EXPECT_EQ(logFileBytes(job), big + "unfinished and finished\n");
}

TEST_F(JobLogTest, CompactionInALaterAppendKeepsTheUnfinishedLine)
{
    std::string lines;
    for (int i = 0; lines.size() <= 12288; ++i)
        lines += "entry " + std::to_string(i) + "\n";
    append("start\n");
    append("unfin");
    // The status line start moves past the threshold while the unfinished line
    // grows; it must survive the compaction intact.
    append("ished\n" + lines + "tail");
    EXPECT_EQ(job->statusLineStart, 0u);
    append("end\n");
    EXPECT_EQ(status(), "tailend");
    std::string file = logFileBytes(job);
    EXPECT_EQ(file, "start\nunfinished\n" + lines + "tailend\n");
}

TEST_F(JobLogTest, FileReceivesEveryByteUnchanged)
{
    std::string bytes("a\0b\r\n\r\b\xff\xfe\n", 10);
    append(bytes);
    append(std::string());
    EXPECT_EQ(logFileBytes(job), bytes);
}

TEST_F(JobLogTest, WideTextIsWrittenAsUtf8)
{
    const wchar_t text[] = L"caf\u00e9 \u2026 \U0001F600\n";
    EXPECT_TRUE(jobReport(job, SINK_WIDE_TEXT, reinterpret_cast<uintptr_t>(text)));
    EXPECT_EQ(logFileBytes(job), "caf\xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x98\x80\n");
    EXPECT_EQ(statusCopy(), L"caf\u00e9 \u2026 \U0001F600");
}

TEST_F(JobLogTest, TextReportsAppendUpToTheirNul)
{
    EXPECT_TRUE(jobReport(job, SINK_TEXT, reinterpret_cast<uintptr_t>("one\n")));
    EXPECT_TRUE(jobReport(job, SINK_TEXT_CHECKPOINT, reinterpret_cast<uintptr_t>("two\n")));
    EXPECT_TRUE(jobReport(job, SINK_SYSTEM_ERROR, 5));
    EXPECT_TRUE(jobReport(job, SINK_OUT_OF_MEMORY, 0));
    EXPECT_EQ(logFileBytes(job), "one\ntwo\n");
}

struct ExitLine {
    uint32_t code;
    const char* line;
};

TEST_F(JobLogTest, ExitCodeLinesUseEightUpperCaseDigits)
{
    const ExitLine table[] = {
        {0, "\nexit code 00000000\n"},
        {1, "\nexit code 00000001\n"},
        {255, "\nexit code 000000FF\n"},
        {0xC0000005, "\nexit code C0000005\n"},
    };
    std::string expected;
    for (const ExitLine& row : table) {
        EXPECT_TRUE(jobReport(job, SINK_TOOL_EXITED, row.code));
        expected += row.line;
    }
    EXPECT_EQ(logFileBytes(job), expected);
}

TEST_F(JobLogTest, CanceledJobLogsCanceledAndAnswersStop)
{
    job->canceled.store(1);
    EXPECT_FALSE(jobReport(job, SINK_TOOL_EXITED, ToolKilledExitCode));
    EXPECT_FALSE(jobReport(job, SINK_TEXT, reinterpret_cast<uintptr_t>("")));
    EXPECT_EQ(logFileBytes(job), "\ncanceled\n");
}

TEST_F(JobLogTest, LogFilePathIsScratchFolderAndLogTxt)
{
    wchar_t* path = logFilePath(job);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::wstring(path), sandbox.workDir() + L"\\log.txt");
    release(path);
}

TEST(JobLogWithoutWindow, PostsNothing)
{
    ToolSandbox sandbox;
    Job* job = createTestJob(sandbox.workDir());
    ASSERT_NE(job, nullptr);
    appendTextToLog(job, "line\n");
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_JOB_LOG, WM_JOB_LOG, PM_REMOVE));
    destroyTestJob(job);
}

} // namespace
