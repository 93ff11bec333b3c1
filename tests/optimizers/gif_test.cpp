// The GIF pipeline against the tool double: Gifsicle writes B from A, flexiGIF
// reads B and writes A; the smaller non-empty of the two may replace the file.
#include "optimizers/gif.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class GifPipeline : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        scratch = tools.work(L"zarn0000617F");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        copyA = scratch + L"\\a.gif";
        copyB = scratch + L"\\b.gif";
        path = tools.work(L"moving picture.gif");
        original = "GIF89a";
        for (int i = 0; i < 500; ++i)
            original += static_cast<char>('0' + i % 10);
        ASSERT_TRUE(writeBytes(path, original));
        ASSERT_TRUE(tools.install(TOOL_GIFSICLE));
        ASSERT_TRUE(tools.install(TOOL_FLEXIGIF));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override { destroyTestJob(job); }

    bool run(bool lowPriority = false)
    {
        return optimizeGif(path.c_str(), scratch.c_str(), lowPriority, &job->sink);
    }
    std::string cut(size_t count) const { return original.substr(0, original.size() - count); }

    ToolSandbox tools;
    std::wstring scratch;
    std::wstring copyA;
    std::wstring copyB;
    std::wstring path;
    std::string original;
    Job* job = nullptr;
};

// Gifsicle's arguments: @5 is B (its output), @6 is A; flexiGIF's: @5 is B, @6 is A.
const char GIFSICLE_COPIES[] = "copy @6 @5\n";

TEST_F(GifPipeline, ToolsGetTheirArgumentsInTheScratchFolder)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, GIFSICLE_COPIES));
    EXPECT_TRUE(run());
    std::vector<ToolCall> gifsicle = tools.calls(TOOL_GIFSICLE);
    std::vector<ToolCall> flexi = tools.calls(TOOL_FLEXIGIF);
    ASSERT_EQ(gifsicle.size(), 1u);
    ASSERT_EQ(flexi.size(), 1u);
    EXPECT_EQ(gifsicle[0].commandLine, tools.commandPrefix(TOOL_GIFSICLE) +
                                           L"--optimize=3 --no-comments --no-extensions -o \"" + copyB +
                                           L"\" \"" + copyA + L"\"");
    EXPECT_EQ(flexi[0].commandLine,
              tools.commandPrefix(TOOL_FLEXIGIF) + L"-f -p -a=1 -y \"" + copyB + L"\" \"" + copyA + L"\"");
    EXPECT_EQ(gifsicle[0].workingDirectory, scratch);
    EXPECT_EQ(flexi[0].workingDirectory, scratch);
    EXPECT_EQ(gifsicle[0].priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(flexi[0].priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
}

TEST_F(GifPipeline, LowPriorityReachesBothTools)
{
    // The runner itself shows whether this Wine applies the class at all.
    ASSERT_TRUE(tools.install("probe.exe"));
    runTool("probe.exe", nullptr, scratch.c_str(), nullptr, nullptr, true, nullptr);
    ASSERT_EQ(tools.calls("probe.exe").size(), 1u);
    uint32_t applied = tools.calls("probe.exe")[0].priorityClass;
    if (applied != IDLE_PRIORITY_CLASS)
        GTEST_SKIP() << "this Wine does not apply the priority class given to CreateProcess (the tool reports "
                     << applied << ")";
    ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, GIFSICLE_COPIES));
    EXPECT_TRUE(run(true));
    ASSERT_EQ(tools.calls(TOOL_GIFSICLE).size(), 1u);
    ASSERT_EQ(tools.calls(TOOL_FLEXIGIF).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_GIFSICLE)[0].priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS));
    EXPECT_EQ(tools.calls(TOOL_FLEXIGIF)[0].priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS));
}

struct ResultCase {
    const char* name;
    std::string gifsicle;
    std::string flexi;
    bool succeeds;
    size_t removed; // bytes the kept result is shorter than the original
};

TEST_F(GifPipeline, SmallerNonEmptyResultReplacesTheFile)
{
    const std::string copies = GIFSICLE_COPIES;
    const ResultCase table[] = {
        {"no gain", copies, "", true, 0},
        {"both larger", copies + "grow @5 4\n", "grow @6 2\n", true, 0},
        {"A smaller, B smaller too", copies + "shrink @5 3\n", "shrink @6 10\n", true, 10},
        {"B smaller, A smaller too", copies + "shrink @5 12\n", "shrink @6 4\n", true, 12},
        {"A smaller, B larger", copies + "grow @5 30\n", "shrink @6 6\n", true, 6},
        {"B smaller, A unchanged", copies + "shrink @5 8\n", "", true, 8},
        {"B empty, A smaller", "write @5 \n", "shrink @6 5\n", true, 5},
        {"B missing, A smaller", "", "shrink @6 2\n", true, 2},
        {"A empty, B smaller", copies + "shrink @5 9\n", "empty @6\n", true, 9},
        {"A deleted, B smaller", copies + "shrink @5 1\n", "delete @6\n", true, 1},
        {"both empty", "write @5 \n", "empty @6\n", false, 0},
        {"A empty, B missing", "", "empty @6\n", false, 0},
    };
    for (const ResultCase& c : table) {
        SCOPED_TRACE(c.name);
        DeleteFileW(copyA.c_str());
        DeleteFileW(copyB.c_str());
        ASSERT_TRUE(writeBytes(path, original));
        destroyTestJob(job);
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, c.gifsicle));
        ASSERT_TRUE(tools.setBehavior(TOOL_FLEXIGIF, c.flexi));
        bool succeeded = run();
        std::string log = logFileBytes(job);
        EXPECT_EQ(succeeded, c.succeeds) << log;
        EXPECT_EQ(readBytes(path), cut(c.removed));
        bool broken = log.find("ERROR: broken optimization (empty result)\n") != std::string::npos;
        EXPECT_EQ(broken, !c.succeeds) << log;
        // Scratch images go after a successful pass only.
        EXPECT_EQ(pathExists(copyA) || pathExists(copyB), !c.succeeds);
    }
}

TEST_F(GifPipeline, ExistingCopyIsRefused)
{
    ASSERT_TRUE(writeBytes(copyA, "left from a failed run"));
    EXPECT_FALSE(run());
    EXPECT_NE(logFileBytes(job).find("ERROR: can't copy the source file\n"), std::string::npos);
    EXPECT_EQ(readBytes(copyA), "left from a failed run");
    EXPECT_TRUE(tools.calls(TOOL_GIFSICLE).empty());
    EXPECT_EQ(readBytes(path), original);
}

TEST_F(GifPipeline, MissingSourceCannotBeCopied)
{
    DeleteFileW(path.c_str());
    EXPECT_FALSE(run());
    EXPECT_NE(logFileBytes(job).find("ERROR: can't copy the source file\n"), std::string::npos);
    EXPECT_TRUE(tools.calls(TOOL_GIFSICLE).empty());
}

struct ToolFailure {
    std::string gifsicle;
    std::string flexi;
    size_t flexiCalls;
};

TEST_F(GifPipeline, ToolFailureFailsWithoutMessageAndKeepsTheFile)
{
    const ToolFailure table[] = {
        {"copy @6 @5\nshrink @5 20\nexit 1\n", "", 0},
        {"exit 0xC0000005\n", "", 0},
        {"copy @6 @5\nshrink @5 20\n", "shrink @6 30\nexit 3\n", 1},
    };
    for (const ToolFailure& c : table) {
        SCOPED_TRACE(c.gifsicle + "|" + c.flexi);
        DeleteFileW(copyA.c_str());
        DeleteFileW(copyB.c_str());
        ASSERT_TRUE(writeBytes(path, original));
        tools.clearCalls(TOOL_FLEXIGIF);
        destroyTestJob(job);
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, c.gifsicle));
        ASSERT_TRUE(tools.setBehavior(TOOL_FLEXIGIF, c.flexi));
        EXPECT_FALSE(run());
        EXPECT_EQ(tools.calls(TOOL_FLEXIGIF).size(), c.flexiCalls);
        EXPECT_EQ(logFileBytes(job).find("ERROR: "), std::string::npos);
        EXPECT_EQ(readBytes(path), original);
        EXPECT_TRUE(pathExists(copyA));
    }
}

TEST_F(GifPipeline, FailedReplacementFailsThePass)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, std::string(GIFSICLE_COPIES) + "shrink @5 50\n"));
    HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool result = run();
    CloseHandle(held);
    EXPECT_FALSE(result);
    EXPECT_NE(logFileBytes(job).find("ERROR: cannot replace the file"), std::string::npos);
    EXPECT_EQ(readBytes(path), original);
}

}  // namespace
