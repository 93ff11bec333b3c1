#include "optimizers/png.h"
#include "base/file_util.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <wincodec.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string MARKER = "Number of files rewritten  :        ";
const uint64_t DEFLOPT_LIMIT = 0x20000000;

std::string samplePng()
{
    std::string bytes("\x89PNG\r\n\x1a\n", 8);
    for (int i = 0; i < 300; ++i)
        bytes += static_cast<char>('a' + i % 26);
    return bytes;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

enum Pipeline { OPTIMIZE, FOR_7Z, CONVERT, CONVERT_FOR_7Z };

const char* pipelineName(Pipeline pipeline)
{
    switch (pipeline) {
    case OPTIMIZE:
        return "optimizePng";
    case FOR_7Z:
        return "optimizePngFor7z";
    case CONVERT:
        return "convertToPng";
    case CONVERT_FOR_7Z:
        return "convertToPng for 7z";
    }
    return "?";
}

class PngPipelineTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        scratch = tools.work(L"scratch");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        source = tools.work(L"picture.png");
        original = samplePng();
        ASSERT_TRUE(writeBytes(source, original));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        ASSERT_TRUE(tools.install(TOOL_ECT));
        ASSERT_TRUE(tools.install(TOOL_OPTIPNG));
        ASSERT_TRUE(tools.install(TOOL_ARCHIPNG));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    void TearDown() override { destroyTestJob(job); }

    bool run(Pipeline pipeline, bool strip = false, bool clear = false, bool lowPriority = false)
    {
        switch (pipeline) {
        case OPTIMIZE:
            return optimizePng(source.c_str(), job->scratchDir, strip, clear, lowPriority, &job->sink);
        case FOR_7Z:
            return optimizePngFor7z(source.c_str(), job->scratchDir, strip, lowPriority, &job->sink);
        case CONVERT:
            return convertToPng(source.c_str(), job->scratchDir, false, strip, clear, lowPriority,
                                &job->sink);
        case CONVERT_FOR_7Z:
            return convertToPng(source.c_str(), job->scratchDir, true, strip, clear, lowPriority,
                                &job->sink);
        }
        return false;
    }

    bool postPass(const std::wstring& file, const wchar_t* suffix, bool strip = false)
    {
        return deflatePostPass(file.c_str(), suffix, strip, job->scratchDir, false, &job->sink);
    }

    std::wstring working() const { return scratch + L"\\x.png"; }
    std::wstring temporary() const { return working() + L".2.png"; }
    std::wstring quoted(const std::wstring& path) const { return L"\"" + path + L"\""; }
    std::string log() const { return logFileBytes(job); }
    size_t count(const char* tool) const { return tools.calls(tool).size(); }

    ToolSandbox tools;
    std::wstring scratch;
    std::wstring source;
    std::string original;
    Job* job = nullptr;
};

// ---- argument strings and working folder ------------------------------------------

struct EctCase {
    bool strip, clear, lowPriority;
    const wchar_t* ectOptions;
    const wchar_t* deflOptOptions;
};

const EctCase ECT_CASES[] = {
    {false, false, false, L"-30060 --allfilters-b --pal_sort=120 --strict ", L"/bk "},
    {true, false, true, L"-30060 --allfilters-b --pal_sort=120 -strip --strict ", L"/b "},
    {false, true, true, L"-30060 --allfilters-b --pal_sort=120 ", L"/bk "},
    {true, true, false, L"-30060 --allfilters-b --pal_sort=120 -strip ", L"/b "},
};

TEST_F(PngPipelineTest, OptimizePngCommandLines)
{
    for (const EctCase& c : ECT_CASES) {
        SCOPED_TRACE(testing::Message() << "strip " << c.strip << " clear " << c.clear << " low "
                                        << c.lowPriority);
        for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG})
            tools.clearCalls(tool);
        ASSERT_TRUE(run(OPTIMIZE, c.strip, c.clear, c.lowPriority)) << log();

        std::vector<ToolCall> ect = tools.calls(TOOL_ECT);
        ASSERT_EQ(ect.size(), 1u);
        EXPECT_EQ(ect[0].commandLine, tools.commandPrefix(TOOL_ECT) + c.ectOptions + quoted(working()));
        EXPECT_EQ(ect[0].workingDirectory, scratch);

        // defluff gets no arguments: the command line ends with the blank.
        std::vector<ToolCall> defluff = tools.calls(TOOL_DEFLUFF);
        ASSERT_EQ(defluff.size(), 1u);
        EXPECT_EQ(defluff[0].commandLine, tools.commandPrefix(TOOL_DEFLUFF));
        EXPECT_EQ(defluff[0].standardInput, original);
        EXPECT_EQ(defluff[0].workingDirectory, scratch);

        std::vector<ToolCall> deflOpt = tools.calls(TOOL_DEFLOPT);
        ASSERT_EQ(deflOpt.size(), 1u);
        EXPECT_EQ(deflOpt[0].commandLine,
                  tools.commandPrefix(TOOL_DEFLOPT) + c.deflOptOptions + quoted(temporary()));
        EXPECT_EQ(deflOpt[0].workingDirectory, scratch);

        EXPECT_EQ(count(TOOL_OPTIPNG), 0u);
        EXPECT_EQ(count(TOOL_ARCHIPNG), 0u);
        EXPECT_FALSE(pathExists(working()));
        EXPECT_FALSE(pathExists(temporary()));
        EXPECT_TRUE(pathExists(scratch + L"\\deflopt.txt"));
    }
}

TEST_F(PngPipelineTest, OptimizePngFor7zCommandLines)
{
    const struct {
        bool strip, lowPriority;
        const wchar_t* options;
    } cases[] = {
        {false, false, L"-force -o7 -out "},
        {true, true, L"-force -strip all -o7 -out "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "strip " << c.strip);
        tools.clearCalls(TOOL_OPTIPNG);
        tools.clearCalls(TOOL_ARCHIPNG);
        ASSERT_TRUE(run(FOR_7Z, c.strip, false, c.lowPriority)) << log();
        std::vector<ToolCall> optiPng = tools.calls(TOOL_OPTIPNG);
        ASSERT_EQ(optiPng.size(), 1u);
        EXPECT_EQ(optiPng[0].commandLine, tools.commandPrefix(TOOL_OPTIPNG) + c.options +
                                              quoted(working()) + L" " + quoted(working()));
        EXPECT_EQ(optiPng[0].workingDirectory, scratch);
        std::vector<ToolCall> archiPng = tools.calls(TOOL_ARCHIPNG);
        ASSERT_EQ(archiPng.size(), 1u);
        EXPECT_EQ(archiPng[0].commandLine, tools.commandPrefix(TOOL_ARCHIPNG) + quoted(working()));
        EXPECT_EQ(archiPng[0].workingDirectory, scratch);
    }
    EXPECT_EQ(count(TOOL_ECT), 0u);
    EXPECT_EQ(count(TOOL_DEFLUFF), 0u);
    EXPECT_EQ(count(TOOL_DEFLOPT), 0u);
}

TEST_F(PngPipelineTest, ConvertToPngCommandLines)
{
    const struct {
        bool for7z, strip, clear;
        const wchar_t* ectOptions; // null: ArchiPNG instead of ECT
        const wchar_t* deflOptOptions;
    } cases[] = {
        {false, false, false, L"-30060 --allfilters-b --pal_sort=120 --strict ", L"/bk "},
        {false, true, true, L"-30060 --allfilters-b --pal_sort=120 -strip ", L"/b "},
        {true, false, false, nullptr, nullptr},
        {true, true, true, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "for7z " << c.for7z << " strip " << c.strip);
        for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG})
            tools.clearCalls(tool);
        ASSERT_TRUE(run(c.for7z ? CONVERT_FOR_7Z : CONVERT, c.strip, c.clear, true)) << log();
        std::vector<ToolCall> optiPng = tools.calls(TOOL_OPTIPNG);
        ASSERT_EQ(optiPng.size(), 1u);
        // The conversion always drops metadata, whatever the strip option says.
        EXPECT_EQ(optiPng[0].commandLine, tools.commandPrefix(TOOL_OPTIPNG) +
                                              L"-force -strip all -o7 -out " + quoted(working()) +
                                              L" " + quoted(working()));
        if (c.ectOptions) {
            std::vector<ToolCall> ect = tools.calls(TOOL_ECT);
            ASSERT_EQ(ect.size(), 1u);
            EXPECT_EQ(ect[0].commandLine,
                      tools.commandPrefix(TOOL_ECT) + c.ectOptions + quoted(working()));
            std::vector<ToolCall> deflOpt = tools.calls(TOOL_DEFLOPT);
            ASSERT_EQ(deflOpt.size(), 1u);
            EXPECT_EQ(deflOpt[0].commandLine,
                      tools.commandPrefix(TOOL_DEFLOPT) + c.deflOptOptions + quoted(temporary()));
            EXPECT_EQ(count(TOOL_ARCHIPNG), 0u);
        } else {
            std::vector<ToolCall> archiPng = tools.calls(TOOL_ARCHIPNG);
            ASSERT_EQ(archiPng.size(), 1u);
            EXPECT_EQ(archiPng[0].commandLine,
                      tools.commandPrefix(TOOL_ARCHIPNG) + quoted(working()));
            EXPECT_EQ(count(TOOL_ECT), 0u);
            EXPECT_EQ(count(TOOL_DEFLOPT), 0u);
        }
    }
}

// ---- acceptance ----------------------------------------------------------------

struct AcceptCase {
    Pipeline pipeline;
    const char* tool; // the tool given a behaviour
    const char* behavior;
    bool succeeds;
    int sizeChange; // of the user's file; 0 with replaced false: untouched
    bool replaced;
    const char* logText; // must appear in the log, or null
};

const AcceptCase ACCEPT_CASES[] = {
    {OPTIMIZE, TOOL_ECT, "", true, 0, false, nullptr},
    {OPTIMIZE, TOOL_ECT, "grow @last 5\n", true, 0, false, nullptr},
    {OPTIMIZE, TOOL_ECT, "shrink @last 7\n", true, -7, true, nullptr},
    {OPTIMIZE, TOOL_ECT, "empty @last\n", false, 0, false,
     "ERROR: broken optimization (empty result)\n"},
    {FOR_7Z, TOOL_ARCHIPNG, "grow @last 5\n", true, 5, true, nullptr},
    {FOR_7Z, TOOL_OPTIPNG, "shrink @last 9\n", true, -9, true, nullptr},
    {FOR_7Z, TOOL_ARCHIPNG, "empty @last\n", false, 0, false,
     "ERROR: broken optimization (empty result)\n"},
    {CONVERT, TOOL_ECT, "", true, 0, false, nullptr},
    {CONVERT, TOOL_OPTIPNG, "grow @last 3\n", true, 0, false, nullptr},
    {CONVERT, TOOL_ECT, "shrink @last 4\n", true, -4, true, nullptr},
    {CONVERT, TOOL_ECT, "empty @last\n", false, 0, false,
     "ERROR: broken optimization (empty result)\n"},
    {CONVERT_FOR_7Z, TOOL_ARCHIPNG, "grow @last 3\n", true, 3, true, nullptr},
    {CONVERT_FOR_7Z, TOOL_OPTIPNG, "empty @last\n", false, 0, false,
     "ERROR: broken optimization (empty result)\n"},
};

TEST_F(PngPipelineTest, AcceptanceRules)
{
    for (const AcceptCase& c : ACCEPT_CASES) {
        SCOPED_TRACE(testing::Message() << pipelineName(c.pipeline) << " " << c.tool << " "
                                        << c.behavior);
        ASSERT_TRUE(writeBytes(source, original));
        const uint64_t written = 130000000000000000ull;
        ASSERT_TRUE(setTestFileTime(source, 0, written));
        DeleteFileW(working().c_str());
        ASSERT_TRUE(tools.setBehavior(c.tool, c.behavior));
        std::string before = log();
        EXPECT_EQ(run(c.pipeline), c.succeeds) << log();
        std::string added = log().substr(before.size());

        std::string expected = original;
        if (c.sizeChange < 0)
            expected.resize(original.size() - static_cast<size_t>(-c.sizeChange));
        else
            expected += std::string(static_cast<size_t>(c.sizeChange), 'G');
        EXPECT_EQ(readBytes(source), expected);
        if (!c.replaced) {
            EXPECT_EQ(lastWriteTimeOfPath(source.c_str()), written) << "the file was rewritten";
        }
        // Only a failed pipeline leaves its working copy behind.
        EXPECT_EQ(pathExists(working()), !c.succeeds);
        if (c.logText)
            EXPECT_TRUE(contains(added, c.logText)) << added;
        else
            EXPECT_FALSE(contains(added, "ERROR")) << added;
        ASSERT_TRUE(tools.setBehavior(c.tool, ""));
    }
}

TEST_F(PngPipelineTest, ExistingWorkingCopyIsNeverOverwritten)
{
    const struct {
        Pipeline pipeline;
        const char* text;
    } cases[] = {
        {OPTIMIZE, "ERROR: can't copy the source file\n"},
        {FOR_7Z, "can't copy the source file"},
        {CONVERT, "can't copy the source file"},
        {CONVERT_FOR_7Z, "can't copy the source file"},
    };
    ASSERT_TRUE(writeBytes(working(), "occupied"));
    for (const auto& c : cases) {
        SCOPED_TRACE(pipelineName(c.pipeline));
        std::string before = log();
        EXPECT_FALSE(run(c.pipeline));
        EXPECT_EQ(log().substr(before.size()), c.text);
        EXPECT_EQ(readBytes(working()), "occupied");
        EXPECT_EQ(readBytes(source), original);
    }
    for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG})
        EXPECT_EQ(count(tool), 0u) << tool;
}

TEST_F(PngPipelineTest, MissingSourceCannotBeCopied)
{
    DeleteFileW(source.c_str());
    EXPECT_FALSE(run(OPTIMIZE));
    EXPECT_EQ(log(), "ERROR: can't copy the source file\n");
    EXPECT_FALSE(pathExists(working()));
}

TEST_F(PngPipelineTest, EctExitCodes)
{
    const struct {
        uint32_t code;
        bool succeeds;
        bool outOfMemory;
    } cases[] = {
        {0, true, false}, {1, false, true}, {2, false, false}, {5, false, true}, {3, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "exit " << c.code);
        DeleteFileW(working().c_str());
        tools.clearCalls(TOOL_DEFLUFF);
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 2\nexit " + std::to_string(c.code) + "\n"));
        std::string before = log();
        EXPECT_EQ(run(OPTIMIZE), c.succeeds);
        std::string added = log().substr(before.size());
        EXPECT_EQ(contains(added, "ERROR: out of memory\n"), c.outOfMemory) << added;
        // A failing ECT never reaches the post-pass nor the user's file.
        EXPECT_EQ(count(TOOL_DEFLUFF), c.succeeds ? 1u : 0u);
        EXPECT_EQ(readBytes(source), c.succeeds ? original.substr(0, original.size() - 2) : original);
        ASSERT_TRUE(writeBytes(source, original));
    }
}

TEST_F(PngPipelineTest, FailingToolsFailThePipeline)
{
    const struct {
        Pipeline pipeline;
        const char* tool;
    } cases[] = {
        {FOR_7Z, TOOL_OPTIPNG}, {FOR_7Z, TOOL_ARCHIPNG}, {CONVERT, TOOL_OPTIPNG},
        {CONVERT, TOOL_ECT},    {CONVERT_FOR_7Z, TOOL_ARCHIPNG}, {OPTIMIZE, TOOL_DEFLOPT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << pipelineName(c.pipeline) << " " << c.tool);
        DeleteFileW(working().c_str());
        tools.clearCalls(TOOL_ARCHIPNG);
        ASSERT_TRUE(tools.setBehavior(c.tool, "shrink @last 3\nexit 1\n"));
        EXPECT_FALSE(run(c.pipeline));
        EXPECT_EQ(readBytes(source), original);
        EXPECT_TRUE(pathExists(working()));
        if (c.tool == TOOL_OPTIPNG) {
            EXPECT_EQ(count(TOOL_ARCHIPNG), 0u);
        }
        ASSERT_TRUE(tools.setBehavior(c.tool, c.tool == TOOL_DEFLOPT ? "deflopt-report 0\n" : ""));
    }
}

// ---- the Deflate post-pass -----------------------------------------------------

class DeflatePostPassTest : public PngPipelineTest {
protected:
    void SetUp() override
    {
        PngPipelineTest::SetUp();
        file = scratch + L"\\x.zip";
        ASSERT_TRUE(writeBytes(file, original));
    }
    std::wstring fileTemporary() const { return file + L".2.zip"; }
    std::wstring file;
};

struct LoopCase {
    const char* name;
    const char* defluff;
    const char* deflOpt;
    bool succeeds;
    size_t defluffCalls, deflOptCalls;
    int sizeChange;
    const char* content; // the file's content when not the original resized
};

const LoopCase LOOP_CASES[] = {
    {"nothing gained: one round", "stdin-to-stdout\n", "deflopt-report 0\n", true, 1, 1, 0},
    {"DeflOpt rewrites once: two rounds", "stdin-to-stdout\n",
     "call 1: shrink @last 3\ncall 1: deflopt-report 1\ncall 2+: deflopt-report 0\n", true, 2, 2, -3},
    {"DeflOpt rewrites twice: three rounds", "stdin-to-stdout\n",
     "call 1: shrink @last 3\ncall 2: shrink @last 2\ncall 1: deflopt-report 1\n"
     "call 2: deflopt-report 1\ncall 3+: deflopt-report 0\n",
     true, 3, 3, -5},
    {"defluff shrinks once: two rounds", "call 1: stdout small\ncall 2+: stdin-to-stdout\n",
     "deflopt-report 0\n", true, 2, 2, 0, "small"},
    {"defluff fails: output ignored", "stdout s\nexit 1\n", "deflopt-report 0\n", true, 1, 1, 0},
    {"defluff empty output is no gain", "exit 0\n", "deflopt-report 0\n", true, 1, 1, 0},
    {"defluff larger output is no gain", "stdin-to-stdout\nstdout more\n", "deflopt-report 0\n",
     true, 1, 1, 0},
    {"DeflOpt fails", "stdin-to-stdout\n", "deflopt-report 1\nexit 2\n", false, 1, 1, 0},
    {"DeflOpt fails in the second round", "stdin-to-stdout\n",
     "call 1: shrink @last 3\ncall 1: deflopt-report 1\ncall 2+: exit 1\n", false, 2, 2, -3},
    {"report shorter than 150 bytes", "stdin-to-stdout\n",
     "call 1: stdout Number of files rewritten  :        1\\r\\n\ncall 2+: deflopt-report 0\n",
     true, 1, 1, 0},
    // The report file is created anew: a short second report must not be read
    // behind the first one.
    {"report created anew", "stdin-to-stdout\n",
     "call 1: deflopt-report 1\ncall 2: stdout short\\r\\n\ncall 3+: deflopt-report 0\n", true, 2,
     2, 0},
};

TEST_F(DeflatePostPassTest, LoopRules)
{
    for (const LoopCase& c : LOOP_CASES) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeBytes(file, original));
        DeleteFileW(fileTemporary().c_str());
        tools.clearCalls(TOOL_DEFLUFF);
        tools.clearCalls(TOOL_DEFLOPT);
        ASSERT_TRUE(tools.setBehavior(TOOL_DEFLUFF, c.defluff));
        ASSERT_TRUE(tools.setBehavior(TOOL_DEFLOPT, c.deflOpt));
        EXPECT_EQ(postPass(file, L".zip"), c.succeeds) << log();
        EXPECT_EQ(count(TOOL_DEFLUFF), c.defluffCalls);
        std::vector<ToolCall> deflOpt = tools.calls(TOOL_DEFLOPT);
        EXPECT_EQ(deflOpt.size(), c.deflOptCalls);
        for (const ToolCall& call : deflOpt)
            EXPECT_EQ(call.commandLine,
                      tools.commandPrefix(TOOL_DEFLOPT) + L"/bk " + quoted(fileTemporary()));
        std::string expected =
            c.content ? std::string(c.content) : original.substr(0, original.size() + c.sizeChange);
        EXPECT_EQ(readBytes(file), expected);
        // A failed pass leaves its temporary file; a finished one removes it.
        EXPECT_EQ(pathExists(fileTemporary()), !c.succeeds);
    }
}

TEST_F(DeflatePostPassTest, EveryRoundReadsTheCurrentFile)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_DEFLOPT, "call 1: shrink @last 10\ncall 1: deflopt-report 1\n"
                                                "call 2+: deflopt-report 0\n"));
    ASSERT_TRUE(postPass(file, L".zip", true)) << log();
    std::vector<ToolCall> defluff = tools.calls(TOOL_DEFLUFF);
    ASSERT_EQ(defluff.size(), 2u);
    EXPECT_EQ(defluff[0].standardInput, original);
    EXPECT_EQ(defluff[1].standardInput, original.substr(0, original.size() - 10));
    std::vector<ToolCall> deflOpt = tools.calls(TOOL_DEFLOPT);
    ASSERT_EQ(deflOpt.size(), 2u);
    EXPECT_EQ(deflOpt[0].commandLine, tools.commandPrefix(TOOL_DEFLOPT) + L"/b " + quoted(fileTemporary()));
    EXPECT_EQ(readBytes(scratch + L"\\deflopt.txt").substr(0, 3), "***");
}

TEST_F(DeflatePostPassTest, ReportMarkerPositionsInTheLast150Bytes)
{
    // Position of the marker in the report's last 150 bytes = 150 - 36 - 1 - tail length.
    const struct {
        std::string tail; // after the digit
        bool rewritten;
    } cases[] = {
        {"\r\n", true},                      // position 111
        {"\n", false},                       // position 112
        {"", false},                         // position 113
        {std::string(113, 'z'), true},       // position 0
        {std::string(114, 'z'), false},      // marker starts before the window
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "tail of " << c.tail.size() << " bytes");
        tools.clearCalls(TOOL_DEFLOPT);
        std::string tail;
        for (char ch : c.tail)
            tail += ch == '\r' ? "\\r" : ch == '\n' ? "\\n" : std::string(1, ch);
        ASSERT_TRUE(tools.setBehavior(TOOL_DEFLOPT, "call 1: stdout-repeat 300 x\ncall 1: stdout " +
                                                        MARKER + "1" + tail +
                                                        "\ncall 2+: deflopt-report 0\n"));
        ASSERT_TRUE(postPass(file, L".zip")) << log();
        EXPECT_EQ(count(TOOL_DEFLOPT), c.rewritten ? 2u : 1u);
    }
}

TEST_F(DeflatePostPassTest, OnlyTheDigitOneMeansRewritten)
{
    for (const char* digit : {"0", "2", "1"}) {
        SCOPED_TRACE(digit);
        tools.clearCalls(TOOL_DEFLOPT);
        ASSERT_TRUE(tools.setBehavior(TOOL_DEFLOPT, std::string("call 1: deflopt-report ") + digit +
                                                        "\ncall 2+: deflopt-report 0\n"));
        ASSERT_TRUE(postPass(file, L".zip")) << log();
        EXPECT_EQ(count(TOOL_DEFLOPT), digit[0] == '1' ? 2u : 1u);
    }
}

TEST_F(DeflatePostPassTest, MissingDefluffOnlySkipsIt)
{
    ASSERT_TRUE(DeleteFileW(tools.toolPath(TOOL_DEFLUFF).c_str()));
    EXPECT_TRUE(postPass(file, L".zip")) << log();
    EXPECT_TRUE(contains(log(), "ERROR: cannot launch tools\\defluff.exe (not found)\n"));
    EXPECT_EQ(count(TOOL_DEFLOPT), 1u);
    EXPECT_EQ(readBytes(file), original);
}

// DeflOpt is skipped from 512 MiB on; the files are sparse where the file system allows.
TEST_F(DeflatePostPassTest, LargeFilesSkipDeflOpt)
{
    ASSERT_TRUE(DeleteFileW(tools.toolPath(TOOL_DEFLUFF).c_str())); // would read it all
    const struct {
        uint64_t size;
        size_t deflOptCalls;
    } cases[] = {{DEFLOPT_LIMIT, 0}, {DEFLOPT_LIMIT - 1, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << " bytes");
        tools.clearCalls(TOOL_DEFLOPT);
        ASSERT_TRUE(writeSizedTestFile(file, "PK", c.size));
        EXPECT_TRUE(postPass(file, L".zip")) << log();
        EXPECT_EQ(count(TOOL_DEFLOPT), c.deflOptCalls);
        EXPECT_EQ(sizeOfPath(file.c_str()), c.size);
        EXPECT_FALSE(pathExists(fileTemporary()));
        DeleteFileW(file.c_str());
    }
}

// ---- replacing the user's file ---------------------------------------------------

TEST_F(PngPipelineTest, LockedSourceFailsThePipelineAndStaysIntact)
{
    for (Pipeline pipeline : {OPTIMIZE, FOR_7Z, CONVERT, CONVERT_FOR_7Z}) {
        SCOPED_TRACE(pipelineName(pipeline));
        DeleteFileW(working().c_str());
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 6\n"));
        ASSERT_TRUE(tools.setBehavior(TOOL_OPTIPNG, "shrink @last 6\n"));
        // Readers may share it, but nobody may write, rename or delete it.
        HANDLE lock = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        std::string before = log();
        EXPECT_FALSE(run(pipeline));
        CloseHandle(lock);
        std::string added = log().substr(before.size());
        EXPECT_TRUE(contains(added, "ERROR: cannot replace the file")) << added;
        EXPECT_EQ(readBytes(source), original);
        EXPECT_TRUE(pathExists(working())) << "the result stays in the scratch folder";
    }
}

TEST_F(PngPipelineTest, SourceTurnedIntoAFolderFailsThePipeline)
{
    const struct {
        Pipeline pipeline;
        const char* tool;
        const char* text;
    } cases[] = {
        {OPTIMIZE, TOOL_ECT, "ERROR: can't read the source file\n"},
        {CONVERT, TOOL_ECT, "ERROR: can't read the source file\n"},
        {FOR_7Z, TOOL_ARCHIPNG, "ERROR: cannot replace the file"},
        {CONVERT_FOR_7Z, TOOL_ARCHIPNG, "ERROR: cannot replace the file"},
    };
    std::string path = narrow(source);
    for (const auto& c : cases) {
        SCOPED_TRACE(pipelineName(c.pipeline));
        RemoveDirectoryW(source.c_str());
        ASSERT_TRUE(writeBytes(source, original));
        DeleteFileW(working().c_str());
        ASSERT_TRUE(tools.setBehavior(c.tool, "shrink @last 6\ndelete \"" + path +
                                                  "\"\nmkdir \"" + path + "\"\n"));
        std::string before = log();
        EXPECT_FALSE(run(c.pipeline));
        std::string added = log().substr(before.size());
        EXPECT_TRUE(contains(added, c.text)) << added;
        EXPECT_TRUE(GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_TRUE(pathExists(working()));
        ASSERT_TRUE(tools.setBehavior(c.tool, ""));
    }
    RemoveDirectoryW(source.c_str());
}

TEST_F(PngPipelineTest, ReplacementKeepsReadOnlyAttribute)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 6\n"));
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(run(OPTIMIZE)) << log();
    EXPECT_EQ(readBytes(source), original.substr(0, original.size() - 6));
    EXPECT_TRUE(GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A hidden source (a BMP to convert, or a file unpacked from an archive) gives a
// working copy that the Deflate post-pass must be able to copy over.
TEST_F(PngPipelineTest, HiddenSourceIsOptimizedAndStaysHidden)
{
    for (Pipeline pipeline : {OPTIMIZE, CONVERT}) {
        SCOPED_TRACE(pipelineName(pipeline));
        ASSERT_TRUE(writeBytes(source, original));
        DeleteFileW(working().c_str());
        ASSERT_TRUE(tools.setBehavior(TOOL_DEFLOPT, "call 1: shrink @last 3\ncall 1: deflopt-report 1\n"
                                                    "call 2+: deflopt-report 0\n"));
        tools.clearCalls(TOOL_DEFLOPT);
        ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_HIDDEN));
        EXPECT_TRUE(run(pipeline)) << log();
        EXPECT_EQ(readBytes(source), original.substr(0, original.size() - 3));
        EXPECT_TRUE(GetFileAttributesW(source.c_str()) & FILE_ATTRIBUTE_HIDDEN);
        SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // Wine copies over hidden files; the copy a failed pipeline leaves shows its attributes.
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "exit 2\n"));
    DeleteFileW(working().c_str());
    ASSERT_TRUE(SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(run(OPTIMIZE));
    EXPECT_EQ(GetFileAttributesW(working().c_str()) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY), 0u);
    SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    SetFileAttributesW(working().c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A copy that fails inside the post-pass says so in the log.
TEST_F(DeflatePostPassTest, FailedCopyIsReported)
{
    // A folder at the temporary file's name makes the copy for DeflOpt fail.
    ASSERT_TRUE(CreateDirectoryW(fileTemporary().c_str(), nullptr));
    EXPECT_FALSE(postPass(file, L".zip")) << log();
    RemoveDirectoryW(fileTemporary().c_str());
    EXPECT_TRUE(contains(log(), "ERROR: cannot copy the file for DeflOpt (system error ")) << log();
    EXPECT_EQ(count(TOOL_DEFLOPT), 0u);
    EXPECT_EQ(readBytes(file), original);
}

// Every tool of every pipeline gets the idle class when asked for low priority.
TEST_F(PngPipelineTest, LowPriorityReachesEveryTool)
{
    ASSERT_TRUE(tools.install(TOOL_7Z));
    EXPECT_EQ(runTool(TOOL_7Z, nullptr, job->scratchDir, nullptr, nullptr, true, &job->sink), 0u);
    std::vector<ToolCall> probe = tools.calls(TOOL_7Z);
    ASSERT_EQ(probe.size(), 1u);
    if (probe[0].priorityClass != IDLE_PRIORITY_CLASS)
        GTEST_SKIP() << "this Wine does not apply the priority class given to CreateProcess "
                        "(the tool reports " << probe[0].priorityClass << ")";
    for (bool lowPriority : {true, false}) {
        SCOPED_TRACE(lowPriority ? "low" : "normal");
        uint32_t expected = lowPriority ? IDLE_PRIORITY_CLASS : NORMAL_PRIORITY_CLASS;
        for (Pipeline pipeline : {OPTIMIZE, FOR_7Z, CONVERT, CONVERT_FOR_7Z}) {
            SCOPED_TRACE(pipelineName(pipeline));
            for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG})
                tools.clearCalls(tool);
            ASSERT_TRUE(run(pipeline, false, false, lowPriority)) << log();
            size_t calls = 0;
            for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG}) {
                for (const ToolCall& call : tools.calls(tool)) {
                    EXPECT_EQ(call.priorityClass, expected) << tool;
                    ++calls;
                }
            }
            EXPECT_GE(calls, 2u);
        }
    }
}

// ---- cancel ------------------------------------------------------------------------

TEST_F(PngPipelineTest, CanceledJobStopsAtTheFirstTool)
{
    job->canceled.exchange(1);
    for (Pipeline pipeline : {OPTIMIZE, FOR_7Z, CONVERT, CONVERT_FOR_7Z}) {
        SCOPED_TRACE(pipelineName(pipeline));
        DeleteFileW(working().c_str());
        std::string before = log();
        EXPECT_FALSE(run(pipeline));
        EXPECT_TRUE(contains(log().substr(before.size()), "ERROR: aborted per user request\n"));
        EXPECT_EQ(readBytes(source), original);
    }
    for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_OPTIPNG, TOOL_ARCHIPNG})
        EXPECT_EQ(count(tool), 0u) << tool;
}

// A cancel that kills defluff alone would only skip it; the pipeline must still
// stop at DeflOpt, whose success it needs.
TEST_F(PngPipelineTest, CancelDuringDefluffFailsThePipeline)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 4\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_DEFLUFF, "hang\n"));
    bool found = false;
    std::thread canceller([&] {
        // The double records its run before it hangs; ECT has ended by then.
        for (int attempt = 0; attempt < 12000 && count(TOOL_DEFLUFF) == 0; ++attempt)
            Sleep(5);
        HANDLE process = waitForToolProcess(job);
        found = process != nullptr;
        if (process)
            CloseHandle(process);
        job->canceled.exchange(1);
        terminateJobTool(job);
    });
    bool result = run(OPTIMIZE);
    canceller.join();
    ASSERT_TRUE(found);
    EXPECT_FALSE(result);
    std::string text = log();
    EXPECT_TRUE(contains(text, "\ncanceled\n")) << text;
    EXPECT_TRUE(contains(text, "ERROR: aborted per user request\n")) << text;
    EXPECT_EQ(count(TOOL_DEFLOPT), 0u);
    EXPECT_EQ(readBytes(source), original);
}

// ---- the real tools kit -----------------------------------------------------------

struct Pixels {
    UINT width = 0, height = 0;
    std::vector<uint8_t> bgra;
};

// Straight (not premultiplied) BGRA, so transparent pixels keep their colours.
bool decodePng(const std::wstring& file, Pixels* out)
{
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IWICImagingFactory, reinterpret_cast<void**>(&factory))))
        return false;
    bool ok = false;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICBitmapSource* converted = nullptr;
    if (FAILED(factory->CreateDecoderFromFilename(file.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)))
        goto cleanup;
    if (FAILED(decoder->GetFrame(0, &frame)))
        goto cleanup;
    if (FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, &converted)))
        goto cleanup;
    converted->GetSize(&out->width, &out->height);
    out->bgra.resize(static_cast<size_t>(out->width) * out->height * 4);
    ok = SUCCEEDED(converted->CopyPixels(nullptr, out->width * 4,
                                         static_cast<UINT>(out->bgra.size()), out->bgra.data()));
cleanup:
    if (converted)
        converted->Release();
    if (frame)
        frame->Release();
    if (decoder)
        decoder->Release();
    factory->Release();
    return ok;
}

TEST(PngRealTools, OptimizePngKeepsEveryPixel)
{
    std::wstring kit = wineHostPath(VELL_PNG_KIT_DIR) + L"\\";
    if (!pathExists(kit + widen(TOOL_ECT)) || !pathExists(kit + widen(TOOL_DEFLOPT)))
        GTEST_SKIP() << "the tools kit is not built at " << narrow(kit);
    std::string sample = readBytes(wineHostPath(VELL_PNG_SAMPLE));
    ASSERT_GT(sample.size(), 1000u) << "sample PNG missing: " << VELL_PNG_SAMPLE;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring previousTools = toolsDirectory;
    setToolsDirectory(kit.c_str());
    std::wstring folder = makeTestFolder(L"png-real");

    const struct {
        bool strip, clear;
    } cases[] = {{false, false}, {true, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "strip " << c.strip << " clear " << c.clear);
        std::wstring scratch = folder + (c.strip ? L"\\scratch-strip" : L"\\scratch");
        std::wstring original = folder + L"\\original.png";
        std::wstring picture = folder + (c.strip ? L"\\strip.png" : L"\\keep.png");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        ASSERT_TRUE(writeBytes(original, sample));
        ASSERT_TRUE(writeBytes(picture, sample));
        Job* job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        bool optimized =
            optimizePng(picture.c_str(), job->scratchDir, c.strip, c.clear, false, &job->sink);
        std::string text = logFileBytes(job);
        destroyTestJob(job);
        EXPECT_TRUE(optimized) << text;
        EXPECT_FALSE(contains(text, "ERROR")) << text;
        std::string result = readBytes(picture);
        EXPECT_LT(result.size(), sample.size()) << "an uncompressed PNG always shrinks";
        printf("[ figures  ] strip %d clear %d: %zu -> %zu bytes\n", c.strip, c.clear,
               sample.size(), result.size());

        Pixels before, after;
        ASSERT_TRUE(decodePng(original, &before));
        ASSERT_TRUE(decodePng(picture, &after));
        ASSERT_EQ(before.width, after.width);
        ASSERT_EQ(before.height, after.height);
        ASSERT_EQ(before.bgra.size(), after.bgra.size());
        size_t differing = 0;
        for (size_t i = 0; i < before.bgra.size(); i += 4) {
            bool transparent = before.bgra[i + 3] == 0;
            bool same = c.clear && transparent
                            ? after.bgra[i + 3] == 0
                            : memcmp(&before.bgra[i], &after.bgra[i], 4) == 0;
            if (!same)
                ++differing;
        }
        EXPECT_EQ(differing, 0u);
    }
    setToolsDirectory(previousTools.c_str());
    removeTestFolder(folder);
    CoUninitialize();
}

} // namespace
