// The compound-file, MP3 and FLAC pipelines against the tool double: which
// tools run with which arguments, and when the user's file is replaced.
#include "optimizers/media.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"
#include "support/tool_double_setup.h"
#include "cfbf/sample_file.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

const char EMPTY_RESULT[] = "ERROR: broken optimization (empty result)\n";
const char CANNOT_COPY[] = "ERROR: can't copy the source file\n";
const char MP3_FAILED[] = "ERROR: optimization failed\n";
const char NEW_OPTIMUM[] = "new optimium\n";
const wchar_t MP3_OPTIONS[] = L"-z -A --keep-ok out --keep-bad in --workers 0 ";
const wchar_t FLAC_OPTIONS[] =
    L"--best -r 0,7 --exhaustive-model-search --qlp-coeff-precision-search --force ";

size_t countOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class MediaPipelines : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        scratch = tools.work(L"zarn0000ABCD");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override
    {
        destroyTestJob(job);
        settings.general_verifyResults = 0; // what the other cases run with
    }

    std::wstring scratchFile(const wchar_t* name) const { return scratch + L"\\" + name; }
    std::string log() const { return logFileBytes(job); }
    // A fresh job log, for tables that run a pipeline once per row.
    void restartJob()
    {
        destroyTestJob(job);
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    std::wstring commandLine(const char* tool, const std::wstring& arguments) const
    {
        return tools.commandPrefix(tool) + arguments;
    }

    ToolSandbox tools;
    std::wstring scratch;
    Job* job = nullptr;
};

// ---- compound file ----

struct PassCase {
    const wchar_t* name; // relative to the work folder
    int passes;
};

TEST_F(MediaPipelines, CompoundPassesFollowTheExtension)
{
    const PassCase table[] = {
        {L"report.DOC", 1},       {L"a.doc", 1},         {L"a.dot", 1},
        {L"a.xls", 1},            {L"a.xlt", 1},         {L"a.xlw", 1},
        {L"a.pot", 1},            {L"a.pps", 1},         {L"Deck.PpT", 1},
        {L"Setup.msi", 2},        {L"noextension", 2},   {L"a.docx", 2},
        {L"a.do", 2},             {L"a.", 2},            {L"dir.doc\\inside", 2},
        {L"a.d\x00D3" L"c", 2},   {L"a.doc.msg", 2},
    };
    ASSERT_TRUE(CreateDirectoryW(tools.work(L"dir.doc").c_str(), nullptr));
    // The result is larger than the file, so nothing is replaced.
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "write @last a longer result than the input\nexit 0\n"));
    const std::wstring result = scratchFile(L"x.doc");
    for (const PassCase& row : table) {
        std::wstring file = tools.work(row.name);
        ASSERT_TRUE(writeBytes(file, "cfbf")) << narrow(row.name);
        tools.clearCalls(TOOL_VELLCFBF);
        EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink))
            << narrow(row.name);
        std::vector<ToolCall> calls = tools.calls(TOOL_VELLCFBF);
        ASSERT_EQ(calls.size(), static_cast<size_t>(row.passes)) << narrow(row.name);
        std::wstring paths = L"\"" + scratchFile(L"in.doc") + L"\" \"" + result + L"\"";
        EXPECT_EQ(calls[0].commandLine, commandLine(TOOL_VELLCFBF, paths)) << narrow(row.name);
        if (row.passes == 2) {
            EXPECT_EQ(calls[1].commandLine, commandLine(TOOL_VELLCFBF, L"-v4 " + paths));
        }
        for (const ToolCall& call : calls) {
            EXPECT_EQ(call.workingDirectory, scratch);
            EXPECT_EQ(call.priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
        }
        EXPECT_EQ(readBytes(file), "cfbf") << narrow(row.name);
    }
    EXPECT_EQ(countOf(log(), NEW_OPTIMUM), 0u);
}

// Compound files for the rewriter's double to hand back: the sample tree, or the
// sample tree with one thing changed.
enum CompoundVariant { SAME_TREE, CHANGED_BYTE, NO_INNER_CLASS, NO_ROOT_CLASS, STREAM_MISSING, STREAM_ADDED };

bool makeCompound(const std::wstring& path, CompoundVariant variant, bool largeSectors)
{
    std::vector<SampleElement> tree(SAMPLE_TREE, SAMPLE_TREE + SAMPLE_TREE_COUNT);
    for (SampleElement& element : tree) {
        if (variant == NO_INNER_CLASS && wcscmp(element.path, L"Inner") == 0)
            element.classId = nullptr;
    }
    if (variant == STREAM_MISSING) {
        for (size_t i = 0; i < tree.size(); ++i) {
            if (wcscmp(tree[i].path, L"Inner/Tiny") == 0)
                tree.erase(tree.begin() + static_cast<long>(i));
        }
    }
    if (variant == STREAM_ADDED)
        tree.push_back({L"Added", false, 10, nullptr, 0});
    const CLSID* rootClass = variant == NO_ROOT_CLASS ? nullptr : &SAMPLE_ROOT_CLASS;
    if (FAILED(createSampleFile(path.c_str(), tree.data(), tree.size(), rootClass, largeSectors)))
        return false;
    if (variant != CHANGED_BYTE)
        return true;
    // One byte deep inside, past the first chunk of a stream longer than one sector.
    const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    IStorage* root = nullptr;
    IStorage* inner = nullptr;
    IStream* stream = nullptr;
    bool changed = false;
    if (SUCCEEDED(StgOpenStorage(path.c_str(), nullptr, mode, nullptr, 0, &root)) &&
        SUCCEEDED(root->OpenStorage(L"Inner", nullptr, mode, nullptr, 0, &inner)) &&
        SUCCEEDED(inner->OpenStream(L"Nested", nullptr, mode, 0, &stream))) {
        LARGE_INTEGER at;
        at.QuadPart = 4321;
        unsigned char flipped = static_cast<unsigned char>(sampleByte(L"Inner/Nested", 4321) ^ 0x01);
        ULONG written = 0;
        changed = SUCCEEDED(stream->Seek(at, STREAM_SEEK_SET, nullptr)) &&
                  SUCCEEDED(stream->Write(&flipped, 1, &written)) && written == 1;
    }
    if (stream)
        stream->Release();
    if (inner)
        inner->Release();
    if (root)
        root->Release();
    return changed;
}

std::string copyOver(const std::wstring& from, const char* to)
{
    return "copy \"" + narrow(from) + "\" " + to + "\n";
}

// The original has 4096-byte sectors, every result 512-byte ones and so is smaller:
// only what the check says decides whether the file is replaced.
TEST_F(MediaPipelines, CompoundResultsReplaceOnlyWhenTheirContentIsEqual)
{
    struct ResultCase {
        const char* name;
        CompoundVariant variant;
        bool garbage; // the double writes text instead of a compound file
        bool verify;
        const char* line;
    };
    const ResultCase table[] = {
        {"equal", SAME_TREE, false, true, "verified: storages, classes and 14 streams equal\n"},
        {"garbage", SAME_TREE, true, true,
         "ERROR: result differs from the original (the result cannot be opened as a compound file)\n"},
        {"byte", CHANGED_BYTE, false, true, "ERROR: result differs from the original (bytes of stream Inner/Nested)\n"},
        {"class", NO_INNER_CLASS, false, true, "ERROR: result differs from the original (class of storage Inner)\n"},
        {"root class", NO_ROOT_CLASS, false, true, "ERROR: result differs from the original (class of storage (root))\n"},
        {"missing", STREAM_MISSING, false, true,
         "ERROR: result differs from the original (missing stream Inner/Tiny)\n"},
        {"added", STREAM_ADDED, false, true,
         "ERROR: result differs from the original (elements added to storage (root))\n"},
        {"byte, unchecked", CHANGED_BYTE, false, false, ""},
    };
    const std::wstring file = tools.work(L"Setup.msi");
    const std::wstring original = tools.work(L"original.msi");
    ASSERT_TRUE(makeCompound(original, SAME_TREE, true));
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF));
    int number = 0;
    for (const ResultCase& row : table) {
        SCOPED_TRACE(row.name);
        restartJob();
        settings.general_verifyResults = row.verify ? 1 : 0;
        const std::wstring result = tools.work((L"result" + std::to_wstring(++number) + L".msi").c_str());
        ASSERT_TRUE(makeCompound(result, row.variant, false));
        ASSERT_LT(readBytes(result).size(), readBytes(original).size());
        ASSERT_TRUE(writeBytes(file, readBytes(original)));
        // Both passes hand back the same result, so only the first can replace.
        ASSERT_TRUE(tools.setBehavior(TOOL_VELLCFBF, row.garbage ? "write @last garbage!!\n"
                                                                 : copyOver(result, "@last")));
        bool replaces = !row.verify || (row.variant == SAME_TREE && !row.garbage);
        EXPECT_EQ(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink), replaces) << log();
        EXPECT_EQ(readBytes(file) == readBytes(result), replaces);
        EXPECT_EQ(readBytes(file) == readBytes(original), !replaces);
        EXPECT_EQ(countOf(log(), NEW_OPTIMUM), replaces ? 1u : 0u) << log();
        if (row.verify)
            EXPECT_NE(log().find(row.line), std::string::npos) << log();
        else
            EXPECT_EQ(log().find("verified"), std::string::npos) << log();
    }
}

// VellCFBF is given a copy, so whatever it does to its input stays in the scratch folder.
TEST_F(MediaPipelines, ACompoundToolDeletingItsInputLeavesTheFile)
{
    std::wstring file = tools.work(L"Setup.msi");
    ASSERT_TRUE(makeCompound(file, SAME_TREE, true));
    const std::string before = readBytes(file);
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "delete @1\ndelete @last\nexit 0\n"));
    EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink)) << log();
    EXPECT_EQ(readBytes(file), before);
}

TEST_F(MediaPipelines, BothCompoundPassesShrinkingAreBothKept)
{
    settings.general_verifyResults = 1;
    std::wstring file = tools.work(L"Setup.msi");
    std::wstring larger = tools.work(L"larger.cfb");
    std::wstring smaller = tools.work(L"smaller.cfb");
    ASSERT_TRUE(makeCompound(file, SAME_TREE, true));
    // Each pass's result is equal and smaller than what the file is by then.
    ASSERT_TRUE(makeCompound(larger, SAME_TREE, false));
    ASSERT_TRUE(writeBytes(smaller, readBytes(larger)));
    ASSERT_TRUE(writeBytes(file, readBytes(file) + std::string(1024, '\0')));
    ASSERT_LT(readBytes(larger).size(), readBytes(file).size());
    ASSERT_TRUE(writeBytes(larger, readBytes(larger) + std::string(512, '\0')));
    ASSERT_LT(readBytes(larger).size(), readBytes(file).size());
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "call 1: " + copyOver(larger, "@last") +
                                             "call 2: " + copyOver(smaller, "@last")));
    EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink)) << log();
    EXPECT_EQ(readBytes(file), readBytes(smaller));
    EXPECT_EQ(countOf(log(), NEW_OPTIMUM), 2u) << log();
    // The scratch result stays for the record.
    EXPECT_EQ(readBytes(scratchFile(L"x.doc")), readBytes(smaller));
}

TEST_F(MediaPipelines, OnlyAShrinkingCompoundPassReplaces)
{
    settings.general_verifyResults = 1;
    std::wstring file = tools.work(L"Setup.msi");
    std::wstring smaller = tools.work(L"smaller.cfb");
    ASSERT_TRUE(makeCompound(file, SAME_TREE, true));
    ASSERT_TRUE(makeCompound(smaller, SAME_TREE, false));
    // The first result is as long as the file, so only the second one counts.
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "call 1: " + copyOver(file, "@last") +
                                             "call 2: " + copyOver(smaller, "@last")));
    EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink)) << log();
    EXPECT_EQ(readBytes(file), readBytes(smaller));
    EXPECT_EQ(countOf(log(), NEW_OPTIMUM), 1u) << log();
}

TEST_F(MediaPipelines, SecondCompoundPassFailingKeepsTheFirstResult)
{
    std::wstring file = tools.work(L"Setup.msi");
    ASSERT_TRUE(writeBytes(file, std::string(100, 'o')));
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "call 1: write @last first\n"
                                             "call 2: write @last 2\n"
                                             "call 2: stderr result is broken\\n\n"
                                             "call 2: exit 0xFFFFFFEF\n"));
    EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink));
    EXPECT_EQ(readBytes(file), "first");
    std::string text = log();
    EXPECT_EQ(countOf(text, NEW_OPTIMUM), 1u) << text;
    EXPECT_TRUE(endsWith(text, "result is broken\n\nexit code FFFFFFEF\n")) << text;
}

TEST_F(MediaPipelines, FirstCompoundPassFailingStopsAtOnce)
{
    std::wstring file = tools.work(L"Setup.msi");
    ASSERT_TRUE(writeBytes(file, std::string(100, 'o')));
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "write @last x\nexit 14\n"));
    EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink));
    EXPECT_EQ(tools.calls(TOOL_VELLCFBF).size(), 1u);
    EXPECT_EQ(readBytes(file), std::string(100, 'o'));
    EXPECT_TRUE(endsWith(log(), "\nexit code 0000000E\n")) << log();
}

TEST_F(MediaPipelines, CompoundSuccessWithoutAResultNeverReplaces)
{
    struct EmptyCase {
        const char* behavior;
        bool staleResult; // a smaller x.doc left from before in the scratch folder
    };
    const EmptyCase table[] = {
        {"exit 0\n", false},
        {"exit 0\n", true},
        {"write @last x\nempty @last\n", false},
        {"write @last x\nempty @last\n", true},
    };
    std::wstring file = tools.work(L"plain.doc");
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF));
    for (const EmptyCase& row : table) {
        restartJob();
        ASSERT_TRUE(writeBytes(file, std::string(100, 'o')));
        if (row.staleResult) {
            ASSERT_TRUE(writeBytes(scratchFile(L"x.doc"), "stale"));
        }
        ASSERT_TRUE(tools.setBehavior(TOOL_VELLCFBF, row.behavior));
        EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink))
            << row.behavior;
        EXPECT_EQ(readBytes(file), std::string(100, 'o')) << row.behavior;
        EXPECT_TRUE(endsWith(log(), EMPTY_RESULT)) << log();
        EXPECT_EQ(countOf(log(), NEW_OPTIMUM), 0u);
    }
}

TEST_F(MediaPipelines, MissingRewriterFailsTheCompoundPipeline)
{
    std::wstring file = tools.work(L"a.doc");
    ASSERT_TRUE(writeBytes(file, "cfbf"));
    EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink));
    EXPECT_TRUE(endsWith(log(), "ERROR: cannot launch tools\\VellCFBF.exe (not found)\n")) << log();
    EXPECT_EQ(readBytes(file), "cfbf");
}

// ---- MP3 ----

struct StripCase {
    bool strip;
    const wchar_t* extra;
};

TEST_F(MediaPipelines, Mp3packerArgumentsWithAndWithoutStripping)
{
    const StripCase table[] = {{false, L""}, {true, L"-t -s "}};
    std::wstring file = tools.work(L"my song.mp3");
    std::wstring copy = scratchFile(L"x.mp3");
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER, "copy @last x-vbr.mp3\nshrink x-vbr.mp3 3\n"));
    for (const StripCase& row : table) {
        restartJob();
        DeleteFileW(copy.c_str());
        ASSERT_TRUE(writeBytes(file, "ID3 frames of a song"));
        tools.clearCalls(TOOL_MP3PACKER);
        EXPECT_TRUE(optimizeMp3(file.c_str(), scratch.c_str(), row.strip, false, &job->sink))
            << log();
        std::vector<ToolCall> calls = tools.calls(TOOL_MP3PACKER);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].commandLine,
                  commandLine(TOOL_MP3PACKER,
                              std::wstring(MP3_OPTIONS) + row.extra + L"\"" + copy + L"\""));
        EXPECT_EQ(calls[0].workingDirectory, scratch);
        EXPECT_EQ(readBytes(file), "ID3 frames of a s");
        EXPECT_FALSE(pathExists(scratchFile(L"x-vbr.mp3")));
        EXPECT_TRUE(pathExists(copy));
    }
}

struct ResultCase {
    const char* behavior;
    bool success;
    const char* endOfLog; // null: the pipeline logs nothing of its own
    const char* file;     // the file afterwards
};

TEST_F(MediaPipelines, Mp3ResultsAreJudged)
{
    const ResultCase table[] = {
        // no gain: untouched, success
        {"copy @last x-vbr.mp3\n", true, nullptr, "frame data"},
        {"copy @last x-vbr.mp3\ngrow x-vbr.mp3 4\n", true, nullptr, "frame data"},
        // a gain
        {"write x-vbr.mp3 frames\n", true, nullptr, "frames"},
        // no output, or a failure even with output
        {"exit 0\n", false, MP3_FAILED, "frame data"},
        {"write x-vbr.mp3 frames\nexit 1\n", false, MP3_FAILED, "frame data"},
        {"mkdir x-vbr.mp3\n", false, MP3_FAILED, "frame data"},
        // empty output
        {"write x-vbr.mp3 f\nempty x-vbr.mp3\n", false, EMPTY_RESULT, "frame data"},
    };
    std::wstring file = tools.work(L"song.mp3");
    std::wstring copy = scratchFile(L"x.mp3");
    std::wstring result = scratchFile(L"x-vbr.mp3");
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER));
    for (const ResultCase& row : table) {
        restartJob();
        DeleteFileW(copy.c_str());
        DeleteFileW(result.c_str());
        RemoveDirectoryW(result.c_str());
        ASSERT_TRUE(writeBytes(file, "frame data"));
        ASSERT_TRUE(tools.setBehavior(TOOL_MP3PACKER, row.behavior));
        EXPECT_EQ(optimizeMp3(file.c_str(), scratch.c_str(), false, false, &job->sink), row.success)
            << row.behavior;
        EXPECT_EQ(readBytes(file), row.file) << row.behavior;
        std::string text = log();
        if (row.endOfLog) {
            EXPECT_TRUE(endsWith(text, row.endOfLog)) << row.behavior << text;
        } else {
            EXPECT_EQ(text.find("ERROR"), std::string::npos) << row.behavior << text;
        }
        if (row.success) {
            EXPECT_FALSE(pathExists(result)) << row.behavior;
        }
    }
    RemoveDirectoryW(result.c_str());
}

// ---- FLAC ----

TEST_F(MediaPipelines, FlacToolsAndArgumentsWithAndWithoutStripping)
{
    const StripCase table[] = {{false, nullptr}, {true, L"--dont-use-padding --remove-all "}};
    std::wstring file = tools.work(L"track 01.flac");
    std::wstring copy = scratchFile(L"x.flac");
    ASSERT_TRUE(tools.install(TOOL_METAFLAC, "shrink @last 2\n"));
    ASSERT_TRUE(tools.install(TOOL_FLAC, "shrink @last 1\n"));
    for (const StripCase& row : table) {
        restartJob();
        ASSERT_TRUE(writeBytes(file, "fLaC and frames"));
        tools.clearCalls(TOOL_METAFLAC);
        tools.clearCalls(TOOL_FLAC);
        EXPECT_TRUE(optimizeFlac(file.c_str(), scratch.c_str(), row.strip, false, &job->sink))
            << log();
        std::vector<ToolCall> metaflac = tools.calls(TOOL_METAFLAC);
        std::vector<ToolCall> flac = tools.calls(TOOL_FLAC);
        ASSERT_EQ(flac.size(), 1u);
        EXPECT_EQ(flac[0].commandLine,
                  commandLine(TOOL_FLAC, std::wstring(FLAC_OPTIONS) + L"\"" + copy + L"\""));
        EXPECT_EQ(flac[0].workingDirectory, scratch);
        if (row.strip) {
            ASSERT_EQ(metaflac.size(), 1u);
            EXPECT_EQ(metaflac[0].commandLine,
                      commandLine(TOOL_METAFLAC, std::wstring(row.extra) + L"\"" + copy + L"\""));
            EXPECT_EQ(metaflac[0].workingDirectory, scratch);
            EXPECT_EQ(readBytes(file), "fLaC and fra");
        } else {
            EXPECT_TRUE(metaflac.empty());
            EXPECT_EQ(readBytes(file), "fLaC and frame");
        }
        EXPECT_FALSE(pathExists(copy));
    }
}

TEST_F(MediaPipelines, FlacResultsAreJudged)
{
    struct FlacCase {
        const char* metaflac;
        const char* flac;
        bool success;
        const char* endOfLog;
        const char* file;
        bool copyLeft; // x.flac still in the scratch folder afterwards
    };
    const FlacCase table[] = {
        {"", "write @last smaller\n", true, nullptr, "smaller", false},
        {"", "grow @last 10\n", true, nullptr, "fLaC and frames", false},
        {"", "", true, nullptr, "fLaC and frames", false},
        {"", "write @last smaller\nexit 1\n", false, "\nexit code 00000001\n", "fLaC and frames",
         true},
        {"exit 2\n", "write @last smaller\n", false, "\nexit code 00000002\n", "fLaC and frames",
         true},
        {"", "empty @last\n", false, EMPTY_RESULT, "fLaC and frames", true},
        {"", "delete @last\n", false, EMPTY_RESULT, "fLaC and frames", false},
    };
    std::wstring file = tools.work(L"track.flac");
    std::wstring copy = scratchFile(L"x.flac");
    ASSERT_TRUE(tools.install(TOOL_METAFLAC));
    ASSERT_TRUE(tools.install(TOOL_FLAC));
    for (const FlacCase& row : table) {
        restartJob();
        DeleteFileW(copy.c_str());
        ASSERT_TRUE(writeBytes(file, "fLaC and frames"));
        ASSERT_TRUE(tools.setBehavior(TOOL_METAFLAC, row.metaflac));
        ASSERT_TRUE(tools.setBehavior(TOOL_FLAC, row.flac));
        tools.clearCalls(TOOL_FLAC);
        EXPECT_EQ(optimizeFlac(file.c_str(), scratch.c_str(), true, false, &job->sink), row.success)
            << row.metaflac << row.flac;
        EXPECT_EQ(readBytes(file), row.file) << row.flac;
        std::string text = log();
        if (row.endOfLog) {
            EXPECT_TRUE(endsWith(text, row.endOfLog)) << text;
        } else {
            EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
        }
        EXPECT_EQ(pathExists(copy), row.copyLeft) << row.flac;
        // A failing metaflac stops the pipeline before flac.
        EXPECT_EQ(tools.calls(TOOL_FLAC).size(), row.metaflac[0] ? 0u : 1u) << row.metaflac;
    }
}

// ---- both single-copy pipelines ----

TEST_F(MediaPipelines, LeftoverScratchCopyStopsBeforeAnyTool)
{
    struct LeftoverCase {
        const wchar_t* copy;
        bool mp3;
    };
    const LeftoverCase table[] = {{L"x.mp3", true}, {L"x.flac", false}};
    std::wstring file = tools.work(L"audio");
    ASSERT_TRUE(writeBytes(file, "audio frames"));
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER, "write x-vbr.mp3 a\n"));
    ASSERT_TRUE(tools.install(TOOL_METAFLAC));
    ASSERT_TRUE(tools.install(TOOL_FLAC, "write @last a\n"));
    for (const LeftoverCase& row : table) {
        restartJob();
        ASSERT_TRUE(writeBytes(scratchFile(row.copy), "left from before"));
        bool done = row.mp3 ? optimizeMp3(file.c_str(), scratch.c_str(), true, false, &job->sink)
                            : optimizeFlac(file.c_str(), scratch.c_str(), true, false, &job->sink);
        EXPECT_FALSE(done);
        EXPECT_EQ(log(), CANNOT_COPY);
        EXPECT_EQ(readBytes(scratchFile(row.copy)), "left from before");
        EXPECT_EQ(readBytes(file), "audio frames");
    }
    EXPECT_TRUE(tools.calls(TOOL_MP3PACKER).empty());
    EXPECT_TRUE(tools.calls(TOOL_METAFLAC).empty());
    EXPECT_TRUE(tools.calls(TOOL_FLAC).empty());
}

TEST_F(MediaPipelines, MissingSourceCannotBeCopied)
{
    std::wstring file = tools.work(L"gone.mp3");
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER));
    ASSERT_TRUE(tools.install(TOOL_FLAC));
    EXPECT_FALSE(optimizeMp3(file.c_str(), scratch.c_str(), false, false, &job->sink));
    EXPECT_FALSE(optimizeFlac(file.c_str(), scratch.c_str(), false, false, &job->sink));
    EXPECT_EQ(log(), std::string(CANNOT_COPY) + CANNOT_COPY);
    EXPECT_FALSE(pathExists(file));
}

// Every pipeline must fail, leaving the file as it was, when the smaller result
// cannot be put in place (here the file is held open without delete sharing).
TEST_F(MediaPipelines, AFailedReplacementFailsThePipeline)
{
    enum Pipeline { COMPOUND, MP3, FLAC };
    const Pipeline table[] = {COMPOUND, MP3, FLAC};
    std::wstring file = tools.work(L"held.bin");
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "write @last tiny\n"));
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER, "write x-vbr.mp3 tiny\n"));
    ASSERT_TRUE(tools.install(TOOL_FLAC, "write @last tiny\n"));
    for (Pipeline pipeline : table) {
        restartJob();
        DeleteFileW(scratchFile(L"x.mp3").c_str());
        DeleteFileW(scratchFile(L"x.flac").c_str());
        ASSERT_TRUE(writeBytes(file, "original content"));
        HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        bool done = false;
        if (pipeline == COMPOUND)
            done = optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink);
        else if (pipeline == MP3)
            done = optimizeMp3(file.c_str(), scratch.c_str(), false, false, &job->sink);
        else
            done = optimizeFlac(file.c_str(), scratch.c_str(), false, false, &job->sink);
        CloseHandle(held);
        EXPECT_FALSE(done) << pipeline;
        EXPECT_EQ(readBytes(file), "original content") << pipeline;
        std::string text = log();
        EXPECT_NE(text.find("ERROR: cannot replace the file"), std::string::npos) << text;
        EXPECT_EQ(countOf(text, NEW_OPTIMUM), 0u) << text;
    }
    // Only the first compound pass ran: its failure ends the pipeline.
    EXPECT_EQ(tools.calls(TOOL_VELLCFBF).size(), 1u);
}

// Every tool runs at the priority the runner gives for the setting. Under Wine 8
// a started tool reports the normal class whatever was asked, so the runner's
// own result is the reference rather than IDLE_PRIORITY_CLASS itself.
TEST_F(MediaPipelines, ToolsRunAtThePriorityOfTheSetting)
{
    const bool table[] = {false, true};
    std::wstring file = tools.work(L"any.bin");
    ASSERT_TRUE(tools.install(TOOL_VELLCFBF, "write @last longer than the file\n"));
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER, "copy @last x-vbr.mp3\n"));
    ASSERT_TRUE(tools.install(TOOL_METAFLAC));
    ASSERT_TRUE(tools.install(TOOL_FLAC));
    const char* pipelineTools[] = {TOOL_VELLCFBF, TOOL_MP3PACKER, TOOL_METAFLAC, TOOL_FLAC};
    for (bool lowPriority : table) {
        restartJob();
        for (const char* tool : pipelineTools)
            tools.clearCalls(tool);
        ASSERT_EQ(runTool(TOOL_FLAC, L"reference", scratch.c_str(), nullptr, nullptr, lowPriority,
                          &job->sink),
                  0u);
        std::vector<ToolCall> reference = tools.calls(TOOL_FLAC);
        ASSERT_EQ(reference.size(), 1u);
        tools.clearCalls(TOOL_FLAC);
        DeleteFileW(scratchFile(L"x.mp3").c_str());
        DeleteFileW(scratchFile(L"x.flac").c_str());
        ASSERT_TRUE(writeBytes(file, "content"));
        EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), lowPriority, &job->sink));
        EXPECT_TRUE(optimizeMp3(file.c_str(), scratch.c_str(), true, lowPriority, &job->sink));
        EXPECT_TRUE(optimizeFlac(file.c_str(), scratch.c_str(), true, lowPriority, &job->sink));
        size_t callCount = 0;
        for (const char* tool : pipelineTools) {
            for (const ToolCall& call : tools.calls(tool)) {
                EXPECT_EQ(call.priorityClass, reference[0].priorityClass) << tool << lowPriority;
                ++callCount;
            }
        }
        EXPECT_EQ(callCount, 5u) << log();
    }
}

} // namespace
