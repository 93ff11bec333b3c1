// The tool double's own commands, so pipeline tests can rely on them.
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string>

namespace {

class ToolDoubleTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tools.ready()); }

    // Runs the tool with the work folder as working folder; standard output into a file.
    uint32_t run(const char* toolName, const std::wstring& arguments, std::string* output)
    {
        std::wstring outputPath = tools.work(L"stdout.bin");
        HANDLE file = CreateFileW(outputPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        uint32_t code = runTool(toolName, arguments.c_str(), tools.workDir().c_str(), nullptr,
                                file, false, nullptr);
        CloseHandle(file);
        *output = readBytes(outputPath);
        return code;
    }

    ToolSandbox tools;
};

TEST_F(ToolDoubleTest, CannedOutputs)
{
    std::string output;
    ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 1\n"));
    EXPECT_EQ(run(TOOL_DEFLOPT, L"/a \"x.png\"", &output), 0u);
    EXPECT_GE(output.size(), 150u);
    const std::string rewritten = "Number of files rewritten  :        1\r\n";
    EXPECT_EQ(output.substr(output.size() - rewritten.size()), rewritten);

    std::string hex(64, 'a');
    ASSERT_TRUE(tools.install(TOOL_7Z, "sha256 " + hex + "\n"));
    EXPECT_EQ(run(TOOL_7Z, L"h -scrcSHA256 \"x.zip\"", &output), 0u);
    EXPECT_NE(output.find("SHA256 for data:              " + hex + "\r\n"), std::string::npos);

    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "call 1: gif-info 1\ncall 2+: gif-info 4 b.gif\n"));
    EXPECT_EQ(run(TOOL_GIFSICLE, L"--info \"a.gif\"", &output), 0u);
    EXPECT_EQ(output.substr(0, output.find('\n') + 1), "* a.gif 1 image\r\n");
    EXPECT_EQ(run(TOOL_GIFSICLE, L"--info \"a.gif\"", &output), 0u);
    EXPECT_EQ(output.substr(0, output.find('\n') + 1), "* b.gif 4 images\r\n");

    ASSERT_TRUE(tools.install(TOOL_PERL, "exiftool-tag Orientation 6\n"));
    EXPECT_EQ(run(TOOL_PERL, L"exiftool -n -Orientation \"x.jpg\"", &output), 0u);
    ASSERT_EQ(output.size(), 37u);
    EXPECT_EQ(output.substr(34), "6\r\n");
    EXPECT_EQ(output.substr(0, 13), "Orientation  ");
}

TEST_F(ToolDoubleTest, FileCommandsAndCallNumbers)
{
    ASSERT_TRUE(writeBytes(tools.work(L"a.bin"), "0123456789"));
    ASSERT_TRUE(tools.install(TOOL_ECT, "call 1: shrink @2 3\n"
                                        "call 2: grow @last 2\n"
                                        "call 3: copy @2 \"c d.bin\"\n"
                                        "call 3: write @last x\\x41\\0y\n"
                                        "call 4: empty a.bin\n"
                                        "call 4: delete \"c d.bin\"\n"
                                        "call 4: exit 0xC0000005\n"
                                        "exit 3\n"));
    std::string output;
    EXPECT_EQ(run(TOOL_ECT, L"-9 a.bin", &output), 3u);
    EXPECT_EQ(readBytes(tools.work(L"a.bin")), "0123456");
    EXPECT_EQ(run(TOOL_ECT, L"-9 a.bin", &output), 3u);
    EXPECT_EQ(readBytes(tools.work(L"a.bin")), "0123456GG");
    EXPECT_EQ(run(TOOL_ECT, L"-9 a.bin", &output), 3u);
    EXPECT_EQ(readBytes(tools.work(L"c d.bin")), "0123456GG");
    EXPECT_EQ(readBytes(tools.work(L"a.bin")), std::string("xA\0y", 4));
    EXPECT_EQ(run(TOOL_ECT, L"-9 a.bin", &output), 0xC0000005u);
    EXPECT_EQ(readBytes(tools.work(L"a.bin")), "");
    EXPECT_FALSE(pathExists(tools.work(L"c d.bin")));
    std::vector<ToolCall> calls = tools.calls(TOOL_ECT);
    ASSERT_EQ(calls.size(), 4u);
    for (unsigned i = 0; i < 4; ++i) {
        EXPECT_EQ(calls[i].number, i + 1);
        EXPECT_NE(calls[i].processId, 0u);
    }
}

TEST_F(ToolDoubleTest, StandardStreamsAndRepeats)
{
    ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdout-repeat 3 ab\\t\nstdout \\\\end\\r\\n\n"));
    std::string output;
    EXPECT_EQ(run(TOOL_DEFLUFF, L"", &output), 0u);
    EXPECT_EQ(output, "ab\tab\tab\t\\end\r\n");
    ASSERT_TRUE(writeBytes(tools.work(L"in.bin"), "payload"));
    ASSERT_TRUE(tools.setBehavior(TOOL_DEFLUFF, "cat @1\n"));
    EXPECT_EQ(run(TOOL_DEFLUFF, L"in.bin", &output), 0u);
    EXPECT_EQ(output, "payload");
    tools.clearCalls(TOOL_DEFLUFF);
    EXPECT_TRUE(tools.calls(TOOL_DEFLUFF).empty());
}

TEST_F(ToolDoubleTest, UnknownCommandFailsLoudly)
{
    ASSERT_TRUE(tools.install(TOOL_FLAC, "frobnicate\n"));
    std::string output;
    EXPECT_EQ(run(TOOL_FLAC, L"", &output), 0x7Du);
}

} // namespace
