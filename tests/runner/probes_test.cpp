#include "jobs/probes.h"
#include "runner/tool_names.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string.h>
#include <string>

namespace {

class ProbesTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        folder = tools.work(L"probe");
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        file = tools.work(L"picture one.gif");
        ASSERT_TRUE(writeBytes(file, "GIF89a"));
    }

    std::wstring listingPath() const { return folder + L"\\gifanalysis.txt"; }

    ToolSandbox tools;
    std::wstring folder;
    std::wstring file;
};

TEST_F(ProbesTest, GifsicleIsAskedForTheListingInTheProbeFolder)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "gif-info 1\n"));
    EXPECT_TRUE(analyzeGifImages(file.c_str(), folder.c_str(), false, &defaultSink));
    std::vector<ToolCall> calls = tools.calls(TOOL_GIFSICLE);
    ASSERT_EQ(calls.size(), 1u);
    // A copy in the probe folder, gone again once the probe has answered.
    EXPECT_EQ(calls[0].commandLine, tools.commandPrefix(TOOL_GIFSICLE) + L"--info \"" + folder + L"\\x.gif\"");
    EXPECT_FALSE(pathExists(folder + L"\\x.gif"));
    EXPECT_EQ(calls[0].workingDirectory, folder);
    EXPECT_EQ(calls[0].priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ProbesTest, LowPriorityIsHandedToTheTool)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "gif-info 1\n"));
    ASSERT_TRUE(tools.install(TOOL_7Z));
    EXPECT_TRUE(analyzeGifImages(file.c_str(), folder.c_str(), true, &defaultSink));
    EXPECT_TRUE(extractMarkerFiles(file.c_str(), folder.c_str(), true, &defaultSink));
    ASSERT_EQ(tools.calls(TOOL_GIFSICLE).size(), 1u);
    ASSERT_EQ(tools.calls(TOOL_7Z).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_GIFSICLE)[0].priorityClass,
              static_cast<uint32_t>(IDLE_PRIORITY_CLASS));
    EXPECT_EQ(tools.calls(TOOL_7Z)[0].priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS));
}

struct ListingCase {
    const char* behavior;
    bool single;
};

TEST_F(ProbesTest, OnlyAFirstLineEndingInOneImageCounts)
{
    std::string filler(283 - 2, 'f'); // "* " and the filler make 283 bytes
    const std::string longSingle = "stdout * " + filler + " 1 images\\n\n"; // cut to " 1 image"
    const std::string tooLong = "stdout * " + filler + "ff 1 image\\n\n";  // ending beyond 291
    const ListingCase table[] = {
        {"gif-info 1\n", true},
        {"gif-info 3\n", false},
        {"gif-info 11\n", false},
        {"stdout * a.gif 1 image\\r\\n  + image #0 1x1\\r\\n\n", true},
        {"stdout * a.gif 1 image\\n  + image #0 1x1\\n\n", true},
        {"stdout * a.gif 1 image\n", true},
        {"stdout * a.gif 1 image \\n\n", false},
        {"stdout * a.gif 1 image\\r\\r\\n\n", false},
        {"stdout * a.gif 1 images\\n\n", false},
        {"stdout 1 image\\n\n", false},
        {"stdout  1 image\\n\n", true},
        {"stdout \\n* a.gif 1 image\\n\n", false},
        {"stderr * a.gif 1 image\\n\n", false},
        {"", false},
        {longSingle.c_str(), true},
        {tooLong.c_str(), false},
        {"gif-info 1\nexit 1\n", false},
        {"gif-info 1\nexit 0xC0000005\n", false},
    };
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE));
    for (const ListingCase& row : table) {
        ASSERT_TRUE(tools.setBehavior(TOOL_GIFSICLE, row.behavior));
        EXPECT_EQ(analyzeGifImages(file.c_str(), folder.c_str(), false, &defaultSink), row.single)
            << row.behavior;
        EXPECT_FALSE(pathExists(listingPath())) << row.behavior;
    }
    EXPECT_EQ(tools.calls(TOOL_GIFSICLE).size(), sizeof(table) / sizeof(table[0]));
}

TEST_F(ProbesTest, MissingGifsicleCountsAsSeveralImages)
{
    EXPECT_FALSE(analyzeGifImages(file.c_str(), folder.c_str(), false, &defaultSink));
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ProbesTest, AnOldListingIsReplaced)
{
    ASSERT_TRUE(writeBytes(listingPath(), "* old.gif 1 image\n"));
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "gif-info 2\n"));
    EXPECT_FALSE(analyzeGifImages(file.c_str(), folder.c_str(), false, &defaultSink));
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ProbesTest, NoListingNoTool)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "gif-info 1\n"));
    std::wstring missingFolder = tools.work(L"absent");
    EXPECT_FALSE(analyzeGifImages(file.c_str(), missingFolder.c_str(), false, &defaultSink));
    EXPECT_TRUE(tools.calls(TOOL_GIFSICLE).empty());
}

TEST_F(ProbesTest, MarkerExtractionArgumentsAreExact)
{
    ASSERT_TRUE(tools.install(TOOL_7Z, "write mimetype application/epub+zip\n"));
    std::wstring archive = tools.work(L"book [1].zip");
    ASSERT_TRUE(writeBytes(archive, "PK"));
    EXPECT_TRUE(extractMarkerFiles(archive.c_str(), folder.c_str(), false, &defaultSink));
    std::vector<ToolCall> calls = tools.calls(TOOL_7Z);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine, tools.commandPrefix(TOOL_7Z) + L"x \"" + archive +
                                        L"\" -y -o\"" + folder +
                                        L"\" [Content_Types].xml mimetype");
    EXPECT_EQ(calls[0].workingDirectory, folder);
    EXPECT_EQ(readBytes(folder + L"\\mimetype"), "application/epub+zip");
}

TEST_F(ProbesTest, MarkerExtractionFailsWithTheTool)
{
    EXPECT_FALSE(extractMarkerFiles(file.c_str(), folder.c_str(), false, &defaultSink));
    ASSERT_TRUE(tools.install(TOOL_7Z, "stderr ERROR: cannot open the file as archive\\n\nexit 2\n"));
    EXPECT_FALSE(extractMarkerFiles(file.c_str(), folder.c_str(), false, &defaultSink));
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "exit 0\n"));
    EXPECT_TRUE(extractMarkerFiles(file.c_str(), folder.c_str(), false, &defaultSink));
}

struct HarmCase {
    const char* tool;
    const char* behavior;
};

// A tool that deletes or rewrites what it is given must not reach the user's file.
TEST_F(ProbesTest, AToolHarmingItsInputLeavesTheFileAsItWas)
{
    const HarmCase table[] = {
        {TOOL_GIFSICLE, "delete @2\ngif-info 1\n"},
        {TOOL_GIFSICLE, "write @2 ruined\ngif-info 1\n"},
        {TOOL_GIFSICLE, "empty @2\ngif-info 1\n"},
        {TOOL_7Z, "delete @2\n"},
        {TOOL_7Z, "write @2 ruined\n"},
        {TOOL_7Z, "empty @2\n"},
    };
    const std::string content = "GIF89a and the rest of the picture";
    for (const HarmCase& row : table) {
        SCOPED_TRACE(std::string(row.tool) + ": " + row.behavior);
        ASSERT_TRUE(writeBytes(file, content));
        ASSERT_TRUE(tools.install(row.tool, row.behavior));
        if (strcmp(row.tool, TOOL_GIFSICLE) == 0)
            EXPECT_TRUE(analyzeGifImages(file.c_str(), folder.c_str(), false, &defaultSink));
        else
            extractMarkerFiles(file.c_str(), folder.c_str(), false, &defaultSink);
        EXPECT_EQ(tools.calls(row.tool).size(), 1u);
        EXPECT_TRUE(pathExists(file));
        EXPECT_EQ(readBytes(file), content);
        tools.clearCalls(row.tool);
    }
}

} // namespace
