#include "optimizers/archive.h"
#include "runner/tool_names.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <string>

namespace {

const std::string DIGEST_A(64, 'A');
const std::string DIGEST_B = "0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
const std::string MARKER = "SHA256 for data:              ";
const std::string ELLIPSIS = "\xE2\x80\xA6";

class ArchiveTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        scratch = tools.work(L"scratch");
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        folder = tools.work(L"content folder");
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        archive = scratch + L"\\x.zip";
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override { destroyTestJob(job); }

    const ErrorSink* sink() const { return &job->sink; }
    std::string log() const { return logFileBytes(job); }
    std::wstring listingPath() const { return scratch + L"\\sha256.txt"; }
    std::wstring prefix(const char* tool) const { return tools.commandPrefix(tool); }

    // The ZIP pass with every tool content; the 7-Zip double hashes the folder,
    // builds the archive (argument 6) and hashes the archive.
    void installZipTools(const std::string& folderDigest, const std::string& archiveDigest)
    {
        ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: sha256 " + folderDigest + "\n" +
                                               "call 2: write @6 PK archive bytes\n" +
                                               "call 3: sha256 " + archiveDigest + "\n"));
        ASSERT_TRUE(tools.install(TOOL_LEANIFY));
        ASSERT_TRUE(tools.install(TOOL_ECT));
        ASSERT_TRUE(tools.install(TOOL_ADVZIP));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    void installGzipTools(const std::string& ectBehavior)
    {
        ASSERT_TRUE(tools.install(TOOL_7Z, "write @6 gzip bytes\n"));
        ASSERT_TRUE(tools.install(TOOL_ECT, ectBehavior));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    ToolSandbox tools;
    std::wstring scratch;
    std::wstring folder;
    std::wstring archive;
    Job* job = nullptr;
};

TEST_F(ArchiveTest, ExtractionHandsArchiveAndFolderTo7Zip)
{
    ASSERT_TRUE(tools.install(TOOL_7Z));
    std::wstring source = tools.work(L"some archive.rar");
    EXPECT_TRUE(extractArchive(source.c_str(), folder.c_str(), scratch.c_str(), false, sink()));
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "exit 2\n"));
    EXPECT_FALSE(extractArchive(source.c_str(), folder.c_str(), scratch.c_str(), true, sink()));
    std::vector<ToolCall> calls = tools.calls(TOOL_7Z);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].commandLine,
              prefix(TOOL_7Z) + L"x \"" + source + L"\" -y -o\"" + folder + L"\"");
    EXPECT_EQ(calls[0].workingDirectory, scratch);
}

// Every pass hands the low-priority choice to every tool it starts.
TEST_F(ArchiveTest, LowPriorityReachesEveryTool)
{
    ASSERT_TRUE(tools.install(TOOL_7Z));
    ASSERT_TRUE(extractArchive(archive.c_str(), folder.c_str(), scratch.c_str(), true, sink()));
    if (tools.calls(TOOL_7Z)[0].priorityClass != IDLE_PRIORITY_CLASS)
        GTEST_SKIP() << "this Wine does not apply the priority class given to CreateProcess (the tool "
                        "reports " << tools.calls(TOOL_7Z)[0].priorityClass << ")";
    tools.clearCalls(TOOL_7Z);
    installZipTools(DIGEST_A, DIGEST_A);
    ASSERT_TRUE(recompressZip(folder.c_str(), archive.c_str(), scratch.c_str(), true, sink()));
    std::wstring gz = scratch + L"\\x.gz";
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "write @6 gzip bytes\n"));
    ASSERT_TRUE(recompressGzip(folder.c_str(), gz.c_str(), scratch.c_str(), true, sink()));
    ASSERT_TRUE(addStoredEntry(archive.c_str(), archive.c_str(), scratch.c_str(), true, sink()));
    ASSERT_TRUE(renameMimetypeEntry(archive.c_str(), scratch.c_str(), true, sink()));
    std::wstring file = tools.work(L"doc.xml");
    ASSERT_TRUE(writeBytes(file, "<?xml version=\"1.0\"?><root/>"));
    ASSERT_TRUE(minifyFile(file.c_str(), scratch.c_str(), true, sink()));
    for (const char* tool : {TOOL_7Z, TOOL_LEANIFY, TOOL_ECT, TOOL_ADVZIP, TOOL_DEFLUFF, TOOL_DEFLOPT}) {
        std::vector<ToolCall> calls = tools.calls(tool);
        EXPECT_FALSE(calls.empty()) << tool;
        for (const ToolCall& call : calls)
            EXPECT_EQ(call.priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS)) << tool;
    }
}

TEST_F(ArchiveTest, DigestCommandsHashFoldersWithOneBackslashAndArchivesWithAStar)
{
    ASSERT_TRUE(tools.install(TOOL_7Z, "sha256 " + DIGEST_B + "\n"));
    struct Case {
        std::wstring target;
        bool isArchive;
        std::wstring arguments;
    } table[] = {
        {folder, false, L"h -r -scrcSHA256 \"" + folder + L"\\*\""},
        {folder + L"\\", false, L"h -r -scrcSHA256 \"" + folder + L"\\*\""},
        {archive, true, L"t -r -scrcSHA256 \"" + archive + L"\" *"},
    };
    for (const Case& c : table) {
        tools.clearCalls(TOOL_7Z);
        char digest[CONTENT_DIGEST_LENGTH] = {};
        EXPECT_TRUE(computeContentDigest(digest, c.target.c_str(), c.isArchive, scratch.c_str(), false,
                                         sink()));
        EXPECT_EQ(std::string(digest, CONTENT_DIGEST_LENGTH), DIGEST_B);
        std::vector<ToolCall> calls = tools.calls(TOOL_7Z);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].commandLine, prefix(TOOL_7Z) + c.arguments);
        EXPECT_EQ(calls[0].workingDirectory, scratch);
        EXPECT_FALSE(pathExists(listingPath()));
    }
    // The listing went to the file, never into the log; the launch line did.
    EXPECT_EQ(log().find(DIGEST_B), std::string::npos);
    EXPECT_NE(log().find("-scrcSHA256"), std::string::npos);
}

// "stdout" lines building a listing: filler, the marker and digest, then tail bytes.
std::string listing(size_t filler, size_t tail)
{
    std::string behavior;
    if (filler)
        behavior += "stdout-repeat " + std::to_string(filler) + " f\n";
    behavior += "stdout " + MARKER + DIGEST_B + "\n";
    if (tail)
        behavior += "stdout-repeat " + std::to_string(tail) + " t\n";
    return behavior;
}

TEST_F(ArchiveTest, DigestIsTakenOnlyFromTheLast400BytesOfASuccessfulListing)
{
    struct Case {
        const char* name;
        std::string behavior;
        bool found;
    } table[] = {
        {"7-Zip's listing", "sha256 " + DIGEST_B + "\n", true},
        {"marker at window position 304", listing(500, 2), true},
        {"marker at window position 305", listing(500, 1), false},
        {"digest ends the listing", listing(500, 0), false},
        {"marker exactly 400 bytes before the end", listing(500, 306), true},
        {"marker 401 bytes before the end", listing(500, 307), false},
        {"marker far before the end", "sha256 " + DIGEST_B + "\nstdout-repeat 300 f\n", false},
        {"listing of exactly 400 bytes", listing(0, 306), true},
        {"listing of 399 bytes", listing(0, 305), false},
        {"no marker", "stdout-repeat 600 f\n", false},
        {"marker only on standard error", "stderr " + MARKER + DIGEST_B + "\n" + "stdout-repeat 600 f\n",
         false},
        {"non-zero exit", "sha256 " + DIGEST_B + "\nexit 2\n", false},
        {"exit 1", "sha256 " + DIGEST_B + "\nexit 1\n", false},
    };
    ASSERT_TRUE(tools.install(TOOL_7Z));
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tools.setBehavior(TOOL_7Z, c.behavior));
        char digest[CONTENT_DIGEST_LENGTH] = {};
        bool found = computeContentDigest(digest, folder.c_str(), false, scratch.c_str(), false, sink());
        EXPECT_EQ(found, c.found);
        if (c.found) {
            EXPECT_EQ(std::string(digest, CONTENT_DIGEST_LENGTH), DIGEST_B);
        }
        EXPECT_FALSE(pathExists(listingPath()));
    }
    EXPECT_EQ(log().find("ERROR"), std::string::npos);
}

TEST_F(ArchiveTest, DigestListingIsCreatedAnew)
{
    // A listing left by an earlier run must not be read as this run's.
    ASSERT_TRUE(tools.install(TOOL_7Z));
    std::string stale = std::string(500, 'f') + MARKER + DIGEST_B + "\r\n";
    ASSERT_TRUE(writeBytes(listingPath(), stale));
    char digest[CONTENT_DIGEST_LENGTH] = {};
    EXPECT_FALSE(computeContentDigest(digest, folder.c_str(), false, scratch.c_str(), false, sink()));
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ArchiveTest, DigestFailsWithoutStartingTheToolWhenTheListingCannotBeCreated)
{
    ASSERT_TRUE(tools.install(TOOL_7Z, "sha256 " + DIGEST_B + "\n"));
    ASSERT_TRUE(CreateDirectoryW(listingPath().c_str(), nullptr));
    char digest[CONTENT_DIGEST_LENGTH] = {};
    EXPECT_FALSE(computeContentDigest(digest, folder.c_str(), false, scratch.c_str(), false, sink()));
    EXPECT_TRUE(tools.calls(TOOL_7Z).empty());
}

TEST_F(ArchiveTest, ZipPassRunsEveryToolInOrderAndChecksTheContent)
{
    installZipTools(DIGEST_A, DIGEST_A);
    EXPECT_TRUE(recompressZip(folder.c_str(), archive.c_str(), scratch.c_str(), true, sink()));

    std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
    ASSERT_EQ(sevenZip.size(), 3u);
    EXPECT_EQ(sevenZip[0].commandLine, prefix(TOOL_7Z) + L"h -r -scrcSHA256 \"" + folder + L"\\*\"");
    EXPECT_EQ(sevenZip[1].commandLine, prefix(TOOL_7Z) +
                                           L"a -mm=Deflate -mfb=258 -mpass=16 -mmt=off  \"" + archive +
                                           L"\" \"" + folder + L"\\*\"");
    EXPECT_EQ(sevenZip[2].commandLine, prefix(TOOL_7Z) + L"t -r -scrcSHA256 \"" + archive + L"\" *");
    const struct {
        const char* tool;
        std::wstring arguments;
    } single[] = {
        {TOOL_LEANIFY, L"--verbose --max_depth 1 \"" + archive + L"\""},
        {TOOL_ECT, L"-60500 --disable-jpg --disable-png -zip \"" + archive + L"\""},
        {TOOL_ADVZIP, L"--recompress --shrink-insane \"" + archive + L"\""},
        {TOOL_DEFLOPT, L"/b \"" + archive + L".2.zip\""},
    };
    for (const auto& s : single) {
        std::vector<ToolCall> calls = tools.calls(s.tool);
        ASSERT_EQ(calls.size(), 1u) << s.tool;
        EXPECT_EQ(calls[0].commandLine, prefix(s.tool) + s.arguments);
        EXPECT_EQ(calls[0].workingDirectory, scratch);
    }
    for (const ToolCall& call : sevenZip)
        EXPECT_EQ(call.workingDirectory, scratch);
    ASSERT_EQ(tools.calls(TOOL_DEFLUFF).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_DEFLUFF)[0].standardInput, "PK archive bytes");

    std::string text = log();
    size_t done = text.find("optimization done; checking for errors " + ELLIPSIS + "\n");
    ASSERT_NE(done, std::string::npos);
    // The archive is hashed after the message, and the verdict follows.
    EXPECT_LT(done, text.find("t -r -scrcSHA256"));
    EXPECT_EQ(text.substr(text.size() - 10), "CRC is OK\n");
    EXPECT_EQ(readBytes(archive), "PK archive bytes");
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ArchiveTest, ZipPassStopsAtTheFirstFailingStep)
{
    struct Case {
        const char* name;
        const char* tool;
        std::string behavior;
        const char* firstSkipped; // null: every tool ran
        const char* message;      // null: no message of the pass
    } table[] = {
        {"folder digest missing", TOOL_7Z, "call 1: exit 0\n", TOOL_LEANIFY, nullptr},
        {"7-Zip cannot build", TOOL_7Z, "call 1: sha256 " + DIGEST_A + "\ncall 2: exit 2\n", TOOL_LEANIFY,
         nullptr},
        {"Leanify fails", TOOL_LEANIFY, "exit 1\n", TOOL_ECT, nullptr},
        {"ECT exits 1", TOOL_ECT, "exit 1\n", TOOL_ADVZIP, "ERROR: out of memory\n"},
        {"ECT exits 5", TOOL_ECT, "exit 5\n", TOOL_ADVZIP, "ERROR: out of memory\n"},
        {"ECT exits 2", TOOL_ECT, "exit 2\n", TOOL_ADVZIP, nullptr},
        {"advzip fails", TOOL_ADVZIP, "exit 1\n", TOOL_DEFLUFF, nullptr},
        {"DeflOpt fails", TOOL_DEFLOPT, "exit 1\n", nullptr, nullptr},
        {"archive digest missing", TOOL_7Z,
         "call 1: sha256 " + DIGEST_A + "\ncall 2: write @6 PK\ncall 3: exit 2\n", nullptr, nullptr},
        {"content changed", TOOL_7Z,
         "call 1: sha256 " + DIGEST_A + "\ncall 2: write @6 PK\ncall 3: sha256 " + DIGEST_B + "\n", nullptr,
         "ERROR: archive broke during optimization\n"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        ToolSandbox sandbox;
        ASSERT_TRUE(sandbox.ready());
        std::wstring work = sandbox.work(L"s");
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        Job* own = createTestJob(work);
        ASSERT_NE(own, nullptr);
        ASSERT_TRUE(sandbox.install(TOOL_7Z, "call 1: sha256 " + DIGEST_A + "\ncall 2: write @6 PK\n" +
                                                 "call 3: sha256 " + DIGEST_A + "\n"));
        for (const char* tool : {TOOL_LEANIFY, TOOL_ECT, TOOL_ADVZIP})
            ASSERT_TRUE(sandbox.install(tool));
        ASSERT_TRUE(sandbox.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(sandbox.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
        ASSERT_TRUE(sandbox.setBehavior(c.tool, c.behavior));
        std::wstring zip = work + L"\\x.zip";
        EXPECT_FALSE(recompressZip(folder.c_str(), zip.c_str(), work.c_str(), false, &own->sink));
        if (c.firstSkipped) {
            EXPECT_TRUE(sandbox.calls(c.firstSkipped).empty());
        }
        std::string text = logFileBytes(own);
        for (const char* message : {"ERROR: out of memory\n", "ERROR: archive broke during optimization\n"}) {
            bool expected = c.message && std::string(c.message) == message;
            EXPECT_EQ(text.find(message) != std::string::npos, expected) << message;
        }
        EXPECT_EQ(text.find("CRC is OK"), std::string::npos);
        EXPECT_FALSE(pathExists(work + L"\\sha256.txt"));
        destroyTestJob(own);
    }
}

TEST_F(ArchiveTest, ZipPassStartsFromAFreshArchive)
{
    // 7-Zip adds to an archive that exists; a leftover must not be carried along.
    installZipTools(DIGEST_A, DIGEST_A);
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "call 1: sha256 " + DIGEST_A + "\ncall 2: append @6 new\n" +
                                               "call 3: sha256 " + DIGEST_A + "\n"));
    ASSERT_TRUE(writeBytes(archive, "stale "));
    EXPECT_TRUE(recompressZip(folder.c_str(), archive.c_str(), scratch.c_str(), false, sink()));
    EXPECT_EQ(readBytes(archive), "new");
}

TEST_F(ArchiveTest, CanceledJobMakesTheNextToolCallFail)
{
    installZipTools(DIGEST_A, DIGEST_A);
    job->canceled.exchange(1);
    EXPECT_FALSE(recompressZip(folder.c_str(), archive.c_str(), scratch.c_str(), false, sink()));
    EXPECT_TRUE(tools.calls(TOOL_7Z).empty());
    EXPECT_FALSE(pathExists(listingPath()));
}

TEST_F(ArchiveTest, EctInZipModeReportsOutOfMemoryOnlyForOneAndFive)
{
    const struct {
        std::string behavior;
        bool ok;
        bool message;
    } table[] = {
        {"", true, false}, {"exit 1\n", false, true}, {"exit 5\n", false, true},
        {"exit 2\n", false, false}, {"exit 3\n", false, false},
    };
    ASSERT_TRUE(tools.install(TOOL_ECT));
    for (const auto& c : table) {
        SCOPED_TRACE(c.behavior);
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, c.behavior));
        size_t before = log().size();
        EXPECT_EQ(runEctZip(archive.c_str(), scratch.c_str(), false, sink()), c.ok);
        EXPECT_EQ(log().find("ERROR: out of memory\n", before) != std::string::npos, c.message);
    }
    // A tool that does not start fails without that message.
    ASSERT_TRUE(DeleteFileW(tools.toolPath(TOOL_ECT).c_str()));
    size_t before = log().size();
    EXPECT_FALSE(runEctZip(archive.c_str(), scratch.c_str(), false, sink()));
    EXPECT_EQ(log().find("ERROR: out of memory", before), std::string::npos);
}

TEST_F(ArchiveTest, GzipPassBuildsWithSevenZipThenEctThenThePostPass)
{
    std::wstring gz = scratch + L"\\x.gz";
    installGzipTools("");
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "write @6 gzip bytes\n"));
    EXPECT_TRUE(recompressGzip(folder.c_str(), gz.c_str(), scratch.c_str(), false, sink()));
    std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
    ASSERT_EQ(sevenZip.size(), 1u); // no digest for gzip
    EXPECT_EQ(sevenZip[0].commandLine, prefix(TOOL_7Z) + L"a -mm=Deflate -mfb=258 -mpass=48 -mmt=off \"" + gz +
                                           L"\" \"" + folder + L"\\*\"");
    ASSERT_EQ(tools.calls(TOOL_ECT).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_ECT)[0].commandLine, prefix(TOOL_ECT) + L"-60500 -gzip --strict \"" + gz + L"\"");
    ASSERT_EQ(tools.calls(TOOL_DEFLOPT).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_DEFLOPT)[0].commandLine, prefix(TOOL_DEFLOPT) + L"/b \"" + gz + L".2.gz\"");
    EXPECT_EQ(readBytes(gz), "gzip bytes");
    EXPECT_EQ(log().find("ERROR"), std::string::npos);
}

TEST_F(ArchiveTest, EctInGzipModeGoesOnAfterOneAndFailsOnFive)
{
    const struct {
        const char* name;
        std::string ect;
        std::string deflOpt;
        bool ok;
        bool postPassRan;
        const char* message;
    } table[] = {
        {"gain", "shrink @last 2\n", "deflopt-report 0\n", true, true, nullptr},
        {"cannot optimize", "exit 1\n", "deflopt-report 0\n", true, true, "ERROR: cannot optimize this file\n"},
        {"out of memory", "exit 5\n", "deflopt-report 0\n", false, false, "ERROR: out of memory\n"},
        {"other failure", "exit 2\n", "deflopt-report 0\n", false, false, nullptr},
        {"post-pass fails", "", "exit 1\n", false, true, nullptr},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.name);
        ToolSandbox sandbox;
        ASSERT_TRUE(sandbox.ready());
        std::wstring work = sandbox.work(L"s");
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
        Job* own = createTestJob(work);
        ASSERT_NE(own, nullptr);
        ASSERT_TRUE(sandbox.install(TOOL_7Z, "write @6 gzip bytes\n"));
        ASSERT_TRUE(sandbox.install(TOOL_ECT, c.ect));
        ASSERT_TRUE(sandbox.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(sandbox.install(TOOL_DEFLOPT, c.deflOpt));
        std::wstring gz = work + L"\\x.gz";
        EXPECT_EQ(recompressGzip(folder.c_str(), gz.c_str(), work.c_str(), false, &own->sink), c.ok);
        EXPECT_EQ(!sandbox.calls(TOOL_DEFLUFF).empty(), c.postPassRan);
        std::string text = logFileBytes(own);
        for (const char* message : {"ERROR: cannot optimize this file\n", "ERROR: out of memory\n"}) {
            bool expected = c.message && std::string(c.message) == message;
            EXPECT_EQ(text.find(message) != std::string::npos, expected) << message;
        }
        destroyTestJob(own);
    }
}

TEST_F(ArchiveTest, GzipPassStopsWhenSevenZipFails)
{
    installGzipTools("");
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "exit 2\n"));
    std::wstring gz = scratch + L"\\x.gz";
    EXPECT_FALSE(recompressGzip(folder.c_str(), gz.c_str(), scratch.c_str(), false, sink()));
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());
}

TEST_F(ArchiveTest, EpubFixUpsReAddStoredAndRename)
{
    ASSERT_TRUE(tools.install(TOOL_7Z));
    std::wstring entry = folder + L"\\!!!!!!!!";
    EXPECT_TRUE(addStoredEntry(archive.c_str(), entry.c_str(), scratch.c_str(), false, sink()));
    EXPECT_TRUE(renameMimetypeEntry(archive.c_str(), scratch.c_str(), false, sink()));
    ASSERT_TRUE(tools.setBehavior(TOOL_7Z, "exit 2\n"));
    EXPECT_FALSE(addStoredEntry(archive.c_str(), entry.c_str(), scratch.c_str(), false, sink()));
    EXPECT_FALSE(renameMimetypeEntry(archive.c_str(), scratch.c_str(), false, sink()));
    std::vector<ToolCall> calls = tools.calls(TOOL_7Z);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].commandLine, prefix(TOOL_7Z) + L"a \"" + archive + L"\" \"" + entry +
                                        L"\" -mm=Deflate -m0=Copy -mtc=off -mcl=off -mcu=off");
    EXPECT_EQ(calls[1].commandLine, prefix(TOOL_7Z) + L"rn \"" + archive + L"\" \"!!!!!!!!\" \"mimetype\"");
    EXPECT_EQ(calls[1].workingDirectory, scratch);
    // The messages for these failures are the container's, not the pass's.
    EXPECT_EQ(log().find("ERROR"), std::string::npos);
}

TEST_F(ArchiveTest, MinifyWorksOnAScratchCopyAndReplacesOnlyWithASmallerResult)
{
    const std::string original = "<?xml version=\"1.0\"?>\r\n<root>   <item/>   </root>\r\n";
    struct Case {
        const char* name;
        const wchar_t* fileName;
        std::string behavior;
        bool ok;
        bool replaced;
        const char* message;
    } table[] = {
        {"smaller", L"doc one.xml", "shrink @last 4\n", true, true, nullptr},
        {"smaller svg", L"pic.SVG", "shrink @last 4\n", true, true, nullptr},
        {"unchanged", L"doc.xml", "", true, false, nullptr},
        {"larger", L"doc.xml", "grow @last 3\n", true, false, nullptr},
        {"emptied", L"doc.xml", "empty @last\n", false, false, "ERROR: broken optimization (empty result)\n"},
        {"Leanify fails after writing", L"doc.xml", "shrink @last 4\nexit 1\n", false, false, nullptr},
    };
    ASSERT_TRUE(tools.install(TOOL_LEANIFY));
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(tools.setBehavior(TOOL_LEANIFY, c.behavior));
        tools.clearCalls(TOOL_LEANIFY);
        std::wstring file = tools.work(c.fileName);
        ASSERT_TRUE(writeBytes(file, original));
        size_t before = log().size();
        EXPECT_EQ(minifyFile(file.c_str(), scratch.c_str(), false, sink()), c.ok);
        EXPECT_EQ(readBytes(file), c.replaced ? original.substr(0, original.size() - 4) : original);
        bool svg = std::wstring(c.fileName).find(L".SVG") != std::wstring::npos;
        std::wstring copy = scratch + (svg ? L"\\x.svg" : L"\\x.xml");
        std::vector<ToolCall> calls = tools.calls(TOOL_LEANIFY);
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].commandLine, prefix(TOOL_LEANIFY) + L"--verbose \"" + copy + L"\"");
        EXPECT_EQ(calls[0].workingDirectory, scratch);
        EXPECT_FALSE(pathExists(copy));
        if (c.message) {
            EXPECT_NE(log().find(c.message, before), std::string::npos);
        }
        ASSERT_TRUE(DeleteFileW(file.c_str()));
    }
}

TEST_F(ArchiveTest, MinifyCopiesAReadOnlyFileIntoAWritableCopy)
{
    const std::string original = "<?xml version=\"1.0\"?><root>   </root>";
    ASSERT_TRUE(tools.install(TOOL_LEANIFY, "shrink @last 3\n"));
    std::wstring file = tools.work(L"locked.xml");
    ASSERT_TRUE(writeBytes(file, original));
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(minifyFile(file.c_str(), scratch.c_str(), false, sink()));
    EXPECT_EQ(readBytes(file), original.substr(0, original.size() - 3));
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ArchiveTest, MinifyFailsWhenTheResultCannotBePutInPlace)
{
    // Another program holds the file open without allowing its deletion: the
    // copy can be read, but the result cannot be swapped in, and the job fails.
    const std::string original = "<?xml version=\"1.0\"?><root>   </root>";
    std::wstring file = tools.work(L"held.xml");
    ASSERT_TRUE(writeBytes(file, original));
    ASSERT_TRUE(tools.install(TOOL_LEANIFY, "shrink @last 3\n"));
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    bool ok = minifyFile(file.c_str(), scratch.c_str(), false, sink());
    CloseHandle(held);
    EXPECT_FALSE(ok);
    EXPECT_EQ(tools.calls(TOOL_LEANIFY).size(), 1u);
    EXPECT_NE(log().find("ERROR: cannot replace"), std::string::npos);
    EXPECT_EQ(readBytes(file), original);
}

TEST_F(ArchiveTest, MinifyOfACanceledJobLeavesTheFileAlone)
{
    const std::string original = "<?xml version=\"1.0\"?><root>   </root>";
    ASSERT_TRUE(tools.install(TOOL_LEANIFY, "shrink @last 3\n"));
    std::wstring file = tools.work(L"doc.xml");
    ASSERT_TRUE(writeBytes(file, original));
    job->canceled.exchange(1);
    EXPECT_FALSE(minifyFile(file.c_str(), scratch.c_str(), false, sink()));
    EXPECT_TRUE(tools.calls(TOOL_LEANIFY).empty());
    EXPECT_EQ(readBytes(file), original);
    EXPECT_FALSE(pathExists(scratch + L"\\x.xml"));
}

TEST_F(ArchiveTest, MinifyReportsAFileThatCannotBeCopied)
{
    ASSERT_TRUE(tools.install(TOOL_LEANIFY));
    std::wstring file = tools.work(L"missing.xml");
    EXPECT_FALSE(minifyFile(file.c_str(), scratch.c_str(), false, sink()));
    EXPECT_TRUE(tools.calls(TOOL_LEANIFY).empty());
    EXPECT_NE(log().find("ERROR: can't copy the source file\n"), std::string::npos);
}

} // namespace
