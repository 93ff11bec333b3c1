#include <gtest/gtest.h>
#include "jobs/tool_needs.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include <string.h>
#include <string>
#include <vector>

namespace {

TEST(ToolNeeds, EachActionNamesTheToolsItsPipelineStarts)
{
    const struct {
        Action action;
        uint8_t pngStrategy;
        std::vector<std::string> tools;
    } rows[] = {
        {ACTION_NONE, 1, {}},
        {ACTION_DELETE, 1, {}},
        {ACTION_OPTIMIZE_PNG, 1, {TOOL_ECT, TOOL_DEFLOPT, TOOL_DEFLUFF}},
        {ACTION_OPTIMIZE_PNG, PNG_FOR_7Z, {TOOL_OPTIPNG, TOOL_ARCHIPNG}},
        {ACTION_CONVERT_TO_PNG, 1, {TOOL_OPTIPNG, TOOL_ECT, TOOL_DEFLOPT, TOOL_DEFLUFF}},
        {ACTION_OPTIMIZE_JPEG, 1, {TOOL_MOZJPEGTRAN, TOOL_PERL, TOOL_EXIFTOOL_SCRIPT, TOOL_ECT}},
        {ACTION_OPTIMIZE_GIF, 1, {TOOL_GIFSICLE, TOOL_FLEXIGIF}},
        {ACTION_OPTIMIZE_EPUB, 1, {TOOL_7Z, TOOL_LEANIFY, TOOL_ECT, TOOL_ADVZIP, TOOL_DEFLOPT, TOOL_DEFLUFF}},
        {ACTION_OPTIMIZE_GZIP, 1, {TOOL_7Z, TOOL_ECT}},
        {ACTION_OPTIMIZE_CFBF, 1, {TOOL_VELLCFBF}},
        {ACTION_OPTIMIZE_FLAC, 1, {TOOL_METAFLAC, TOOL_FLAC}},
        {ACTION_MINIFY_SVG, 1, {TOOL_LEANIFY}},
        {ACTION_EXTRACT_DMG, 1, {TOOL_7Z}},
    };
    for (const auto& row : rows) {
        const char* const* tools = nullptr;
        size_t count = toolsOfAction(row.action, row.pngStrategy, &tools);
        std::vector<std::string> got(tools, tools + count);
        EXPECT_EQ(got, row.tools) << static_cast<int>(row.action) << " " << static_cast<int>(row.pngStrategy);
    }
    // Every tool file is needed by some action, and every action's tools are tool files.
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i)
        EXPECT_FALSE(actionsNeedingText(i).empty()) << TOOL_FILES[i];
    EXPECT_EQ(actionsNeedingText(0), L"optimize PNG, convert to PNG"); // OptiPNG, in either PNG strategy
}

TEST(ToolNeeds, MissingToolsAreFoundAndTold)
{
    std::wstring saved = toolsDirectory;
    std::wstring folder = makeTestFolder(L"toolneeds") + L"\\";
    setToolsDirectory(folder.c_str());
    ASSERT_TRUE(CreateDirectoryW((folder + L"Perl").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((folder + L"ExifTool").c_str(), nullptr));
    // A folder by a tool's name is no tool.
    ASSERT_TRUE(CreateDirectoryW((folder + L"flac.exe").c_str(), nullptr));
    for (const char* tool : TOOL_FILES) {
        if (std::string(tool) != TOOL_FLAC && std::string(tool) != TOOL_OPTIPNG) {
            ASSERT_TRUE(writeTestFile(folder + std::wstring(tool, tool + strlen(tool)), "")) << tool;
        }
    }
    const struct {
        uint8_t pngStrategy;
        const wchar_t* notice;
        bool pngFails;
    } rows[] = {
        {1, L"2 tools missing: FLAC and BMP/TIFF files will fail", false},
        {PNG_FOR_7Z, L"2 tools missing: PNG, FLAC and BMP/TIFF files will fail", true},
    };
    for (const auto& row : rows) {
        MissingTools missing;
        findMissingTools(row.pngStrategy, &missing);
        EXPECT_EQ(missing.count, 2u);
        EXPECT_TRUE(missing.missing[0]) << TOOL_FILES[0];
        EXPECT_EQ(missingToolsNotice(missing), row.notice);
        EXPECT_EQ(missing.actionFails[ACTION_OPTIMIZE_PNG], row.pngFails);
        // A job's own PNG strategy decides, whatever the settings say.
        EXPECT_FALSE(needsMissingTool(missing, ACTION_OPTIMIZE_PNG, 1));
        EXPECT_TRUE(needsMissingTool(missing, ACTION_OPTIMIZE_PNG, PNG_FOR_7Z));
        EXPECT_TRUE(needsMissingTool(missing, ACTION_OPTIMIZE_FLAC, 1));
        EXPECT_FALSE(needsMissingTool(missing, ACTION_DELETE, 1));
    }
    ASSERT_TRUE(RemoveDirectoryW((folder + L"flac.exe").c_str()));
    for (const char* tool : {TOOL_FLAC, TOOL_OPTIPNG})
        ASSERT_TRUE(writeTestFile(folder + std::wstring(tool, tool + strlen(tool)), ""));
    MissingTools none;
    findMissingTools(1, &none);
    EXPECT_EQ(none.count, 0u);
    EXPECT_EQ(missingToolsNotice(none), L"");
    setToolsDirectory(saved.c_str());
    removeTestFolder(folder.substr(0, folder.size() - 1));
}

} // namespace
