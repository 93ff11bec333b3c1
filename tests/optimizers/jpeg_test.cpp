// The JPEG pipeline against the tool double: every command line it composes,
// the order of its steps, its messages and when the result may replace the file.
#include "optimizers/jpeg.h"
#include "jobs/scratch.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class JpegPipeline : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        scratch = tools.work(L"zarn00C0FFEE");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        work = scratch + L"\\x.jpg";
        source = tools.work(L"holiday photo.jpg");
        original = std::string("\xFF\xD8\xFF\xE0", 4);
        for (int i = 0; i < 3000; ++i)
            original += static_cast<char>('a' + i % 26);
        ASSERT_TRUE(writeBytes(source, original));
        ASSERT_TRUE(tools.install(TOOL_PERL));
        ASSERT_TRUE(tools.install(TOOL_MOZJPEGTRAN));
        ASSERT_TRUE(tools.install(TOOL_ECT));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override { destroyTestJob(job); }

    bool run(bool optimize, uint8_t derotateMode, uint8_t strategy, bool lowPriority = false)
    {
        return optimizeJpeg(source.c_str(), scratch.c_str(), optimize, derotateMode, strategy, lowPriority,
                            &job->sink);
    }
    std::wstring exifTool(const std::wstring& options, const std::wstring& file) const
    {
        return tools.commandPrefix(TOOL_PERL) + L"\"" + tools.toolsDir() + L"ExifTool\\exiftool\" " + options +
               L" \"" + file + L"\"";
    }
    std::wstring exifTool(const std::wstring& options) const { return exifTool(options, work); }
    std::wstring moz(const std::wstring& options, const std::wstring& file) const
    {
        return tools.commandPrefix(TOOL_MOZJPEGTRAN) + options + L"-copy all -outfile \"" + file + L"\" \"" +
               file + L"\"";
    }
    std::wstring ect(const std::wstring& file) const
    {
        return tools.commandPrefix(TOOL_ECT) + L"-progressive \"" + file + L"\"";
    }
    std::vector<std::wstring> lines(const char* tool) const
    {
        std::vector<std::wstring> result;
        for (const ToolCall& call : tools.calls(tool))
            result.push_back(call.commandLine);
        return result;
    }
    std::string log() const { return logFileBytes(job); }

    ToolSandbox tools;
    std::wstring scratch;
    std::wstring work;
    std::wstring source;
    std::string original;
    Job* job = nullptr;
};

struct StrategyCase {
    uint8_t strategy;
    const char* adobeRead; // perl's behaviour on its first run
    std::vector<std::wstring> options; // every ExifTool run, in order
};

TEST_F(JpegPipeline, MetadataStrategiesPassTheirOptionsAndTheAdobePart)
{
    const std::wstring read = L"-Adobe:ColorTransform -n";
    const std::wstring end0 = L"-overwrite_original_in_place";
    const std::wstring end1 = L"-ifd1:all= -overwrite_original_in_place";
    const std::wstring end2 = L"-all= -tagsFromFile @ -EXIF:CreateDate -overwrite_original_in_place";
    const std::wstring end3 = L"-all= -overwrite_original_in_place";
    const std::wstring drop2 = L"-all= -adobe:all= -exif:all= -tagsFromFile @ -EXIF:CreateDate";
    const std::wstring keep2 = L"-all= -exif:all= -tagsFromFile @ -EXIF:CreateDate";
    const std::wstring drop3 = L"-all= -adobe:all= -exif:all=";
    const std::wstring keep3 = L"-all= -exif:all=";
    const StrategyCase table[] = {
        {0, "", {end0}},
        {0, "call 1: exiftool-tag ColorTransform 0\n", {end0}},
        {1, "", {L"-ifd1:all=", end1}},
        {1, "call 1: exiftool-tag ColorTransform 0\n", {L"-ifd1:all=", end1}},
        {2, "", {read, drop2, end2}},
        {2, "call 1: exiftool-tag ColorTransform 0\n", {read, drop2, end2}},
        {2, "call 1: exiftool-tag ColorTransform 1\n", {read, keep2, end2}},
        {2, "call 1: exiftool-tag ColorTransform 2\n", {read, keep2, end2}},
        {3, "", {read, drop3, end3}},
        {3, "call 1: exiftool-tag ColorTransform 0\n", {read, drop3, end3}},
        {3, "call 1: exiftool-tag ColorTransform 1\n", {read, keep3, end3}},
        {3, "call 1: exiftool-tag ColorTransform 2\n", {read, keep3, end3}},
        // Only exactly "1" or "2" keeps the segment; a failed read drops it.
        {3, "call 1: exiftool-tag ColorTransform 12\n", {read, drop3, end3}},
        {3, "call 1: exiftool-tag ColorTransform 2 \n", {read, drop3, end3}},
        {3, "call 1: exiftool-tag ColorTransform 2\ncall 1: exit 1\n", {read, drop3, end3}},
        {2, "call 1: exiftool-tag ColorTransform 1\ncall 1: exit 1\n", {read, drop2, end2}},
    };
    for (const StrategyCase& c : table) {
        SCOPED_TRACE(testing::Message() << "strategy " << int(c.strategy) << " behaviour " << c.adobeRead);
        DeleteFileW(work.c_str());
        tools.clearCalls(TOOL_PERL);
        ASSERT_TRUE(tools.setBehavior(TOOL_PERL, c.adobeRead));
        EXPECT_TRUE(run(false, 0, c.strategy));
        std::vector<std::wstring> expected;
        for (const std::wstring& options : c.options)
            expected.push_back(exifTool(options));
        EXPECT_EQ(lines(TOOL_PERL), expected);
        for (const ToolCall& call : tools.calls(TOOL_PERL))
            EXPECT_EQ(call.workingDirectory, scratch);
        EXPECT_FALSE(pathExists(scratch + L"\\jpegtag.txt"));
        EXPECT_EQ(readBytes(source), original);
    }
    EXPECT_TRUE(tools.calls(TOOL_MOZJPEGTRAN).empty());
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());
}

TEST_F(JpegPipeline, OptimizingRunsThumbnailMozjpegtranAndEctInOrder)
{
    EXPECT_TRUE(run(true, 0, 0));
    EXPECT_EQ(lines(TOOL_PERL), (std::vector<std::wstring>{exifTool(L"-binary -ThumbnailImage"),
                                                          exifTool(L"-overwrite_original_in_place")}));
    EXPECT_EQ(lines(TOOL_MOZJPEGTRAN), std::vector<std::wstring>{moz(L"", work)});
    EXPECT_EQ(lines(TOOL_ECT), std::vector<std::wstring>{ect(work)});
    for (const char* tool : {TOOL_PERL, TOOL_MOZJPEGTRAN, TOOL_ECT}) {
        for (const ToolCall& call : tools.calls(tool)) {
            EXPECT_EQ(call.workingDirectory, scratch);
            EXPECT_EQ(call.priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
        }
    }
    std::string text = log();
    size_t thumbnail = text.find("no thumbnail embedded\n");
    ASSERT_NE(thumbnail, std::string::npos);
    EXPECT_LT(thumbnail, text.find("mozjpegtran.exe -copy all"));
    EXPECT_FALSE(pathExists(scratch + L"\\thumbnail"));
    // Nothing was gained: the source stays and the working copy is gone.
    EXPECT_EQ(readBytes(source), original);
    EXPECT_FALSE(pathExists(work));
}

TEST_F(JpegPipeline, LowPriorityReachesEveryTool)
{
    // The runner itself shows whether this Wine applies the class at all.
    ASSERT_TRUE(tools.install("probe.exe"));
    runTool("probe.exe", nullptr, scratch.c_str(), nullptr, nullptr, true, nullptr);
    ASSERT_EQ(tools.calls("probe.exe").size(), 1u);
    uint32_t applied = tools.calls("probe.exe")[0].priorityClass;
    if (applied != IDLE_PRIORITY_CLASS)
        GTEST_SKIP() << "this Wine does not apply the priority class given to CreateProcess (the tool reports "
                     << applied << ")";
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 6\n"));
    EXPECT_TRUE(run(true, 1, 3, true));
    for (const char* tool : {TOOL_PERL, TOOL_MOZJPEGTRAN, TOOL_ECT}) {
        ASSERT_FALSE(tools.calls(tool).empty()) << tool;
        for (const ToolCall& call : tools.calls(tool))
            EXPECT_EQ(call.priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS)) << tool;
    }
}

struct TagCase {
    std::string behavior;
    bool found;
    std::string value;
};

TEST_F(JpegPipeline, TagValueIsReadFromByte34WithOneLineEndRemoved)
{
    const std::string name = "stdout Orientation" + std::string(21, ' ') + ": "; // 34 bytes
    const TagCase table[] = {
        {"exiftool-tag Orientation 6\n", true, "6"},
        {name + "6\\n\n", true, "6\n"}, // a lone line feed stays
        {name + "6\\r\\n\\r\\n\n", true, "6\r\n"}, // one pair only
        {name + "\n", false, ""},
        {name + "8\n", true, "8"},
        {"exiftool-tag Comment " + std::string(40, 'v') + "\n", true, std::string(31, 'v')},
        {"exiftool-tag Comment " + std::string(30, 'v') + "\n", true, std::string(30, 'v') + "\r"},
        {"exiftool-tag Comment \n", true, ""},
        {"exiftool-tag Orientation 6\nexit 1\n", false, ""},
        {"stderr " + name.substr(7) + "6\\r\\n\n", false, ""},
    };
    const std::wstring file = tools.work(L"tagged file.jpg");
    for (const TagCase& c : table) {
        SCOPED_TRACE(c.behavior);
        tools.clearCalls(TOOL_PERL);
        ASSERT_TRUE(tools.setBehavior(TOOL_PERL, c.behavior));
        char value[EXIF_TAG_ROOM] = "unchanged";
        EXPECT_EQ(readExifTag(file.c_str(), L"-orientation -n", scratch.c_str(), false, &job->sink, value),
                  c.found);
        if (c.found) {
            EXPECT_EQ(std::string(value), c.value);
        }
        EXPECT_EQ(lines(TOOL_PERL), std::vector<std::wstring>{exifTool(L"-orientation -n", file)});
        EXPECT_FALSE(pathExists(scratch + L"\\jpegtag.txt"));
    }
}

struct OrientationCase {
    const char* read; // perl's first run
    uint8_t mode;
    const wchar_t* rotate; // the options before "-copy all", or null for no turn
};

TEST_F(JpegPipeline, OrientationDecidesTheTurn)
{
    const OrientationCase table[] = {
        {"call 1: exiftool-tag Orientation 3\n", 1, L"-rotate 180 -perfect "},
        {"call 1: exiftool-tag Orientation 6\n", 1, L"-rotate 90 -perfect "},
        {"call 1: exiftool-tag Orientation 8\n", 1, L"-rotate 270 -perfect "},
        {"call 1: exiftool-tag Orientation 3\n", 2, L"-rotate 180 -trim "},
        {"call 1: exiftool-tag Orientation 6\n", 2, L"-rotate 90 -trim "},
        {"call 1: exiftool-tag Orientation 8\n", 2, L"-rotate 270 -trim "},
        {"call 1: exiftool-tag Orientation 1\n", 1, nullptr},
        {"call 1: exiftool-tag Orientation 5\n", 2, nullptr},
        {"", 1, nullptr}, // no orientation tag
        {"call 1: exiftool-tag Orientation 6\ncall 1: exit 1\n", 1, nullptr}, // failed read
    };
    for (const OrientationCase& c : table) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode) << " behaviour " << c.read);
        DeleteFileW(work.c_str());
        ASSERT_TRUE(writeBytes(source, original));
        tools.clearCalls(TOOL_PERL);
        tools.clearCalls(TOOL_MOZJPEGTRAN);
        ASSERT_TRUE(tools.setBehavior(TOOL_PERL, c.read));
        ASSERT_TRUE(tools.setBehavior(TOOL_MOZJPEGTRAN, "grow @last 1\n"));
        EXPECT_TRUE(run(false, c.mode, 0));
        std::vector<std::wstring> perl{exifTool(L"-orientation -n")};
        std::vector<std::wstring> turns;
        if (c.rotate) {
            perl.push_back(exifTool(L"-orientation="));
            turns.push_back(moz(c.rotate, work));
        }
        perl.push_back(exifTool(L"-overwrite_original_in_place"));
        EXPECT_EQ(lines(TOOL_PERL), perl);
        EXPECT_EQ(lines(TOOL_MOZJPEGTRAN), turns);
        // A turned image replaces the source although it grew by a byte.
        EXPECT_EQ(readBytes(source), c.rotate ? original + "G" : original);
    }
}

TEST_F(JpegPipeline, ModeZeroDoesNotReadTheOrientation)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 6\n"));
    EXPECT_TRUE(run(false, 0, 0));
    EXPECT_EQ(lines(TOOL_PERL), std::vector<std::wstring>{exifTool(L"-overwrite_original_in_place")});
    EXPECT_TRUE(tools.calls(TOOL_MOZJPEGTRAN).empty());
}

TEST_F(JpegPipeline, TurnedImageReplacesTheSourceEvenWhenLarger)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 6\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_MOZJPEGTRAN, "call 1: grow @last 100\n"));
    EXPECT_TRUE(run(false, 1, 0));
    EXPECT_EQ(readBytes(source), original + std::string(100, 'G'));
    EXPECT_FALSE(pathExists(work));
}

TEST_F(JpegPipeline, LargerUnturnedResultLeavesTheSource)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "grow @last 100\n"));
    EXPECT_TRUE(run(true, 1, 0));
    EXPECT_EQ(readBytes(source), original);
    EXPECT_FALSE(pathExists(work));
}

TEST_F(JpegPipeline, SmallerResultReplacesTheSource)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 7\n"));
    EXPECT_TRUE(run(true, 0, 3));
    EXPECT_EQ(readBytes(source), original.substr(0, original.size() - 7));
    EXPECT_FALSE(pathExists(work));
}

TEST_F(JpegPipeline, ImpossibleLosslessTurnGoesOnWithTheImageAsItWas)
{
    // The tool damages the file before it gives up; the pipeline must not go
    // on with that damage.
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 6\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_MOZJPEGTRAN, "call 1: write @last torn\ncall 1: exit 1\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 3\n"));
    EXPECT_TRUE(run(true, 1, 0));
    std::vector<std::wstring> perl = lines(TOOL_PERL);
    for (const std::wstring& line : perl)
        EXPECT_EQ(line.find(L"-orientation="), std::wstring::npos);
    ASSERT_EQ(lines(TOOL_MOZJPEGTRAN).size(), 2u);
    EXPECT_EQ(lines(TOOL_MOZJPEGTRAN)[0], moz(L"-rotate 90 -perfect ", work));
    EXPECT_EQ(readBytes(source), original.substr(0, original.size() - 3));
    EXPECT_FALSE(pathExists(scratch + L"\\before.jpg"));
}

TEST_F(JpegPipeline, FailedTrimmingTurnFailsThePipeline)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 8\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_MOZJPEGTRAN, "call 1: exit 1\n"));
    EXPECT_FALSE(run(true, 2, 0));
    EXPECT_EQ(lines(TOOL_PERL), std::vector<std::wstring>{exifTool(L"-orientation -n")});
    EXPECT_EQ(lines(TOOL_MOZJPEGTRAN), std::vector<std::wstring>{moz(L"-rotate 270 -trim ", work)});
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());
    EXPECT_EQ(readBytes(source), original);
}

TEST_F(JpegPipeline, FailedOrientationClearingFailsThePipeline)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 3\ncall 2: exit 1\n"));
    EXPECT_FALSE(run(true, 1, 0));
    EXPECT_EQ(lines(TOOL_PERL),
              (std::vector<std::wstring>{exifTool(L"-orientation -n"), exifTool(L"-orientation=")}));
    EXPECT_EQ(readBytes(source), original);
}

struct MozCase {
    uint8_t mode;
    bool succeeds;
};

TEST_F(JpegPipeline, ReencodeFailureIsToleratedOnlyInLosslessMode)
{
    const MozCase table[] = {{0, false}, {1, true}, {2, false}};
    for (const MozCase& c : table) {
        SCOPED_TRACE(testing::Message() << "mode " << int(c.mode));
        DeleteFileW(work.c_str());
        tools.clearCalls(TOOL_ECT);
        tools.clearCalls(TOOL_PERL);
        tools.clearCalls(TOOL_MOZJPEGTRAN);
        ASSERT_TRUE(tools.setBehavior(TOOL_MOZJPEGTRAN, "write @last torn\nexit 2\n"));
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 1\n"));
        EXPECT_EQ(run(true, c.mode, 0), c.succeeds);
        EXPECT_EQ(tools.calls(TOOL_ECT).size(), c.succeeds ? 1u : 0u);
        // Where the pipeline went on, it went on with the untouched copy.
        EXPECT_EQ(readBytes(source), c.succeeds ? original.substr(0, original.size() - 1) : original);
        ASSERT_TRUE(writeBytes(source, original));
    }
}

struct FailureCase {
    const char* tool;
    const char* behavior;
    uint8_t strategy;
    const char* message; // null: only the runner's lines
};

TEST_F(JpegPipeline, FailuresEndThePipelineAndKeepTheSource)
{
    const FailureCase table[] = {
        {TOOL_ECT, "exit 1\n", 0, nullptr},
        {TOOL_ECT, "exit 2\n", 3, nullptr},
        {TOOL_ECT, "empty @last\n", 0, "ERROR: broken optimization (empty result)\n"},
        {TOOL_ECT, "delete @last\n", 0, "ERROR: broken optimization (empty result)\n"},
        {TOOL_PERL, "call 1: exit 1\n", 1, nullptr}, // options before
        {TOOL_PERL, "call 3: exit 1\n", 1, nullptr}, // options at the end
        {TOOL_PERL, "call 1: exit 1\n", 0, "ERROR: cannot extract thumbnail\n"},
        {TOOL_PERL, "call 2: exit 1\n", 1, "ERROR: cannot extract thumbnail\n"},
    };
    for (const FailureCase& c : table) {
        SCOPED_TRACE(testing::Message() << c.tool << ": " << c.behavior);
        DeleteFileW(work.c_str());
        destroyTestJob(job);
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        for (const char* tool : {TOOL_PERL, TOOL_MOZJPEGTRAN, TOOL_ECT}) {
            tools.clearCalls(tool);
            ASSERT_TRUE(tools.setBehavior(tool, tool == c.tool ? c.behavior : ""));
        }
        EXPECT_FALSE(run(true, 0, c.strategy));
        std::string text = log();
        if (c.message) {
            EXPECT_NE(text.find(c.message), std::string::npos) << text;
        }
        EXPECT_EQ(text.find("ERROR: ", 0) == std::string::npos, c.message == nullptr) << text;
        EXPECT_EQ(readBytes(source), original);
    }
}

TEST_F(JpegPipeline, FailedExtractionRemovesTheThumbnailFile)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, "call 1: stdout \\xFF\\xD8partial\ncall 1: exit 1\n"));
    EXPECT_FALSE(run(true, 0, 0));
    EXPECT_FALSE(pathExists(scratch + L"\\thumbnail.jpg"));
    EXPECT_FALSE(pathExists(scratch + L"\\thumbnail"));
}

TEST_F(JpegPipeline, ExistingWorkingCopyIsNeverOverwritten)
{
    ASSERT_TRUE(writeBytes(work, "left over"));
    EXPECT_FALSE(run(true, 1, 0));
    EXPECT_NE(log().find("ERROR: cannot copy JPG to temp\n"), std::string::npos);
    EXPECT_EQ(readBytes(work), "left over");
    EXPECT_TRUE(tools.calls(TOOL_PERL).empty());
}

TEST_F(JpegPipeline, FailedReplacementFailsThePipeline)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 9\n"));
    // Held open without delete sharing, the source cannot be swapped.
    HANDLE held = CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool result = run(true, 0, 0);
    CloseHandle(held);
    EXPECT_FALSE(result);
    EXPECT_NE(log().find("ERROR: cannot replace the file"), std::string::npos);
    EXPECT_EQ(readBytes(source), original);
}

class JpegThumbnail : public JpegPipeline {
protected:
    void SetUp() override
    {
        JpegPipeline::SetUp();
        embedded = std::string("\xFF\xD8\xFF\xDB", 4) + std::string(200, 't');
        embeddedPath = tools.work(L"embedded thumb.jpg");
        ASSERT_TRUE(writeBytes(embeddedPath, embedded));
        nestedDir = scratch + L"\\thumbnail";
        nestedWork = nestedDir + L"\\x.jpg";
        thumbnail = scratch + L"\\thumbnail.jpg";
    }
    std::string extract() const { return "call 1: cat \"" + narrow(embeddedPath) + "\"\n"; }

    std::string embedded;
    std::wstring embeddedPath;
    std::wstring nestedDir;
    std::wstring nestedWork;
    std::wstring thumbnail;
};

TEST_F(JpegThumbnail, EmbeddedThumbnailRunsANestedPipelineAndIsWrittenBack)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, extract()));
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "call 1: shrink @last 5\n"));
    EXPECT_TRUE(run(true, 0, 0));
    EXPECT_EQ(lines(TOOL_PERL), (std::vector<std::wstring>{
                                    exifTool(L"-binary -ThumbnailImage"),
                                    exifTool(L"-orientation -n", nestedWork),
                                    exifTool(L"-Adobe:ColorTransform -n", nestedWork),
                                    exifTool(L"-all= -adobe:all= -exif:all=", nestedWork),
                                    exifTool(L"-binary -ThumbnailImage", nestedWork),
                                    exifTool(L"-all= -overwrite_original_in_place", nestedWork),
                                    exifTool(L"\"-ThumbnailImage<=" + thumbnail + L"\""),
                                    exifTool(L"-overwrite_original_in_place"),
                                }));
    EXPECT_EQ(lines(TOOL_MOZJPEGTRAN), (std::vector<std::wstring>{moz(L"", nestedWork), moz(L"", work)}));
    EXPECT_EQ(lines(TOOL_ECT), (std::vector<std::wstring>{ect(nestedWork), ect(work)}));
    std::vector<ToolCall> perl = tools.calls(TOOL_PERL);
    ASSERT_EQ(perl.size(), 8u);
    for (size_t i = 0; i < perl.size(); ++i)
        EXPECT_EQ(perl[i].workingDirectory, i >= 1 && i <= 5 ? nestedDir : scratch) << i;
    EXPECT_EQ(tools.calls(TOOL_MOZJPEGTRAN)[0].workingDirectory, nestedDir);
    // The write-back option is one argument: the whole option sits in one pair of quotes.
    ASSERT_EQ(perl[6].arguments.size(), 3u);
    EXPECT_EQ(perl[6].arguments[1], L"-ThumbnailImage<=" + thumbnail);

    // The nested run gained five bytes, which the thumbnail file now holds.
    EXPECT_EQ(readBytes(thumbnail), embedded.substr(0, embedded.size() - 5));
    std::string text = log();
    size_t nested = text.find("no thumbnail embedded\n");
    size_t writeBack = text.find("-ThumbnailImage<=");
    size_t mainEncode = text.rfind("mozjpegtran.exe -copy all");
    ASSERT_NE(nested, std::string::npos);
    EXPECT_LT(nested, writeBack);
    EXPECT_LT(writeBack, mainEncode);
    EXPECT_EQ(readBytes(source), original);
}

TEST_F(JpegThumbnail, ThumbnailIsWrittenBackEvenWithoutGain)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_PERL, extract()));
    EXPECT_TRUE(run(true, 0, 0));
    EXPECT_EQ(readBytes(thumbnail), embedded);
    ASSERT_EQ(lines(TOOL_PERL).size(), 8u);
    EXPECT_EQ(lines(TOOL_PERL)[6], exifTool(L"\"-ThumbnailImage<=" + thumbnail + L"\""));
}

struct ThumbnailFailure {
    const char* perl;
    const char* ect;
    const char* message;
};

TEST_F(JpegThumbnail, ThumbnailFailuresFailThePipeline)
{
    const std::string embeddedThen = extract();
    const ThumbnailFailure table[] = {
        {"call 7: exit 1\n", "", "ERROR: cannot replace thumbnail\n"},
        {"", "call 1: exit 2\n", "ERROR: cannot optimize thumbnail\n"},
        {"call 4: exit 1\n", "", "ERROR: cannot optimize thumbnail\n"},
    };
    for (const ThumbnailFailure& c : table) {
        SCOPED_TRACE(testing::Message() << c.perl << c.ect);
        DeleteFileW(work.c_str());
        deleteTree(nestedDir.c_str());
        tools.clearCalls(TOOL_PERL);
        tools.clearCalls(TOOL_ECT);
        destroyTestJob(job);
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
        ASSERT_TRUE(tools.setBehavior(TOOL_PERL, embeddedThen + c.perl));
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, c.ect));
        EXPECT_FALSE(run(true, 0, 0));
        EXPECT_NE(log().find(c.message), std::string::npos) << log();
        EXPECT_EQ(readBytes(source), original);
    }
}

}  // namespace
