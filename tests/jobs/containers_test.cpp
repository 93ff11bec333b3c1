#include "jobs/containers.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <stdio.h>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

namespace {

// Sets the job's cancel flag once its first tool has ended, as a cancel right
// after the unpacking would.
bool cancelAfterFirstTool(void* context, uint32_t code, uintptr_t value)
{
    Job* job = static_cast<Job*>(context);
    bool goOn = jobReport(context, code, value);
    if (code == SINK_TOOL_EXITED)
        job->canceled.exchange(1);
    return goOn;
}

const std::string DIGEST(64, 'C');
const std::string ELLIPSIS = "\xE2\x80\xA6";
const std::string PNG_BYTES = "\\x89PNG\\r\\n\\x1a\\n\\0\\0\\0\\x0dIHDRpicture";
const uint64_t ARCHIVE_TIME = 132000000000000000ull;

bool endsWith(const std::string& text, const std::string& ending)
{
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Finds each piece after the one before.
bool inOrder(const std::string& text, const std::vector<std::string>& pieces)
{
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos)
            return false;
        at += piece.size();
    }
    return true;
}

// 7-Zip's three calls of one ZIP pass from call number first on: folder hash,
// build (the archive is argument 6), archive hash.
std::string zipPassCalls(int first, const std::string& archiveBytes = "PK")
{
    char lines[512];
    snprintf(lines, sizeof(lines), "call %d: sha256 %s\ncall %d: write @6 %s\ncall %d: sha256 %s\n", first,
             DIGEST.c_str(), first + 1, archiveBytes.c_str(), first + 2, DIGEST.c_str());
    return lines;
}

class ContainersTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        static bool listReady = false;
        if (!listReady) {
            initJobList(&jobList);
            resetWorkerSlots(nullptr);
            listReady = true;
        }
        setDefaultSettings(&settings);
        settings.general_backgroundPriority = 0;
        // The archives here are stand-ins with nothing to compare; the check of
        // repacked archives is tested with real ones (tests/optimizers/verify_test.cpp).
        settings.general_verifyResults = 0;
        std::wstring temp = tools.work(L"temp");
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        temp += L"\\";
        wcsncpy(settings.general_tempPath, temp.c_str(), TEMP_PATH_ROOM - 1);
        ASSERT_TRUE(tools.install(TOOL_LEANIFY));
        ASSERT_TRUE(tools.install(TOOL_ECT));
        ASSERT_TRUE(tools.install(TOOL_ADVZIP));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    void TearDown() override
    {
        stopWorkers();
        discardAllJobs();
    }

    // A job as the adder makes it, appended to the global list.
    Job* addJob(const std::wstring& path, FileKind kind, Action action, uint8_t option0)
    {
        TestJob record;
        record.path = path;
        record.kind = kind;
        record.action = action;
        record.options[0] = option0;
        record.temporaryPath = settings.general_tempPath;
        record.append = true;
        Job* job = createTestJob(record);
        EXPECT_NE(job, nullptr);
        return job;
    }

    // What a worker does when it picks a pending job, then the container's first run.
    void firstRun(Job* job)
    {
        job->state = JOB_STARTING;
        job->ready.exchange(0);
        ASSERT_TRUE(createLogFile(job));
        runContainerJob(job, &jobList);
    }

    void secondRun(Job* job)
    {
        EnterCriticalSection(&jobList.lock);
        bool finished = allContentFinished(&jobList, job);
        LeaveCriticalSection(&jobList.lock);
        ASSERT_TRUE(finished);
        ASSERT_EQ(job->state, JOB_WAITING);
        job->state = JOB_RUNNING;
        job->ready.exchange(0);
        runContainerJob(job, &jobList);
    }

    std::vector<Job*> contentOf(const Job* parent)
    {
        std::vector<Job*> content;
        EnterCriticalSection(&jobList.lock);
        for (size_t i = 0; i < jobList.length; ++i) {
            if (jobList.entries[i]->parent == parent)
                content.push_back(jobList.entries[i]);
        }
        LeaveCriticalSection(&jobList.lock);
        return content;
    }

    // One worker runs until nothing can be chosen; the bound only stops a hang.
    void runWorkerUntilIdle()
    {
        setWorkerCount(1);
        for (int i = 0; i < 6000 && jobList.busy.load() != 0; ++i)
            Sleep(20);
        ASSERT_EQ(jobList.busy.load(), 0) << "the worker never went idle";
        stopWorkers();
    }

    void stopWorkers()
    {
        setWorkerCount(0);
        for (int i = 0; i < 6000; ++i) {
            acquireSpinLock(&workerSlots[0].slotLock);
            bool ended = workerSlots[0].thread == nullptr;
            releaseSpinLock(&workerSlots[0].slotLock);
            if (ended)
                return;
            Sleep(20);
        }
        ADD_FAILURE() << "the worker never ended";
    }

    std::wstring writeArchive(const wchar_t* name, const std::string& bytes)
    {
        std::wstring path = tools.work(name);
        EXPECT_TRUE(writeBytes(path, bytes));
        return path;
    }

    static bool isMarked(const std::wstring& path) { return lastWriteTimeOfPath(path.c_str()) % 1000000 == 1337; }

    std::string quoted(const std::wstring& path) const { return "\"" + narrow(path) + "\""; }

    ToolSandbox tools;
};

TEST_F(ContainersTest, ContentIsPickedBeforeOtherPendingJobsAndTheContainerRepacksAfterIt)
{
    std::wstring order = tools.work(L"order.txt");
    std::wstring zip = writeArchive(L"c.zip", "PK\x03\x04" + std::string(3000, 'z'));
    std::wstring xml = writeArchive(L"o.xml", "<?xml version=\"1.0\"?><r>    </r>");
    Job* container = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
    Job* other = addJob(xml, KIND_XML, ACTION_MINIFY_XML, 0);
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\a.png " + PNG_BYTES +
                                           "\ncall 1: append " + quoted(order) + " unpack,\n" +
                                           "call 2: append " + quoted(order) + " pack,\n" +
                                           zipPassCalls(2, "PK small")));
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "append " + quoted(order) + " ECT,\n"));
    ASSERT_TRUE(tools.setBehavior(TOOL_LEANIFY, "append " + quoted(order) + " Leanify,\n"));

    runWorkerUntilIdle();

    // The PNG inside runs before the XML that was queued earlier, and the
    // container repacks (Leanify and ECT of the ZIP pass) before the XML too.
    EXPECT_EQ(readBytes(order), "unpack,ECT,pack,Leanify,ECT,Leanify,");
    std::vector<Job*> content = contentOf(container);
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(content[0]->action, ACTION_OPTIMIZE_PNG);
    EXPECT_EQ(std::wstring(content[0]->path), std::wstring(container->scratchDir) + L"\\x\\a.png");
    EXPECT_EQ(content[0]->state, JOB_DONE) << logFileBytes(content[0]);
    EXPECT_EQ(other->state, JOB_DONE) << logFileBytes(other);
    EXPECT_EQ(container->state, JOB_DONE) << logFileBytes(container);
    EXPECT_EQ(readBytes(zip), "PK small");
    EXPECT_TRUE(isMarked(zip));
    std::string log = logFileBytes(container);
    EXPECT_TRUE(inOrder(log, {"analyzing content " + ELLIPSIS + "\n", "waiting for content to complete " + ELLIPSIS + "\n",
                              "compressing " + ELLIPSIS + "\n", "CRC is OK\n"}))
        << log;
    EXPECT_EQ(log.find("launching " + ELLIPSIS), std::string::npos);
    std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
    ASSERT_EQ(sevenZip.size(), 4u);
    EXPECT_EQ(sevenZip[0].commandLine, tools.commandPrefix(TOOL_7Z) + L"x \"" + zip + L"\" -y -o\"" +
                                           container->scratchDir + L"\\x\"");
    EXPECT_EQ(sevenZip[2].commandLine,
              tools.commandPrefix(TOOL_7Z) + L"a -mm=Deflate -mfb=258 -mpass=16 -mmt=off  \"" +
                  container->scratchDir + L"\\x.zip\" \"" + container->scratchDir + L"\\x\\*\"");
}

TEST_F(ContainersTest, ZipInsideZipFollowsTheZipStrategy)
{
    struct Case {
        uint8_t strategy;
        uint8_t recursive;
        bool hasJob;
        Action action;
        size_t sevenZipCalls;
    } table[] = {
        {0, 0, false, ACTION_NONE, 5},
        {1, 1, true, ACTION_OPTIMIZE_ZIP, 9},
        {1, 0, true, ACTION_OPTIMIZE_ZIP, 9},
        {2, 0, true, ACTION_EXTRACT_ZIP, 6},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << "zip_strategy " << int(c.strategy) << ", zip_recursive "
                                        << int(c.recursive));
        settings.zip_strategy = c.strategy;
        settings.zip_recursive = c.recursive;
        std::wstring zip = writeArchive(L"outer.zip", "PK\x03\x04" + std::string(2000, 'o'));
        Job* outer = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
        std::wstring inner = std::wstring(outer->scratchDir) + L"\\x\\inner.zip";
        // Call 1 unpacks the outer archive, call 2 is the sniffing probe of the inner one.
        std::string behavior = "call 1: mkdir x\ncall 1: write x\\inner.zip PK\\x03\\x04" + std::string(500, 'i') + "\n";
        if (c.strategy == 0) {
            behavior += zipPassCalls(3);
        } else if (c.strategy == 1) {
            behavior += "call 3: mkdir x\n" + zipPassCalls(4) + zipPassCalls(7);
        } else {
            behavior += "call 3: write " + quoted(inner + L"\\file.txt") + " hello\n" + zipPassCalls(4);
        }
        ASSERT_TRUE(tools.install(TOOL_7Z, behavior));

        runWorkerUntilIdle();

        EXPECT_EQ(outer->state, JOB_DONE) << logFileBytes(outer);
        EXPECT_EQ(readBytes(zip), "PK");
        std::vector<Job*> content = contentOf(outer);
        ASSERT_EQ(content.size(), c.hasJob ? 1u : 0u);
        std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
        EXPECT_EQ(sevenZip.size(), c.sevenZipCalls);
        if (c.hasJob) {
            EXPECT_EQ(content[0]->action, c.action);
            EXPECT_EQ(content[0]->options[0], c.recursive);
            EXPECT_EQ(content[0]->state, JOB_DONE) << logFileBytes(content[0]);
            ASSERT_GE(sevenZip.size(), 3u);
            std::wstring target = c.strategy == 2 ? inner : std::wstring(content[0]->scratchDir) +
                                                                (c.recursive ? L"\\x" : L"\\xtr4ct3d");
            std::wstring source = c.strategy == 2 ? inner + L".0r1g1n4l" : inner;
            EXPECT_EQ(sevenZip[2].commandLine,
                      tools.commandPrefix(TOOL_7Z) + L"x \"" + source + L"\" -y -o\"" + target + L"\"");
        }
        if (c.strategy == 1) {
            EXPECT_EQ(readBytes(inner), "PK");
        }
        if (c.strategy == 2) {
            // Extracted inside the content folder, and packed again as a folder.
            EXPECT_EQ(readBytes(inner + L"\\file.txt"), "hello");
            EXPECT_FALSE(pathExists(inner + L".0r1g1n4l"));
        }
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, OfficeDocumentWithoutRecognisedContentIsRepackedAndReplacedOnlyWhenSmaller)
{
    const std::string original = "PK\x03\x04" + std::string(96, 'd');
    struct Case {
        const char* name;
        size_t newSize;
        bool replaced;
    } table[] = {
        {"smaller", original.size() - 1, true},
        {"same size", original.size(), false},
        {"larger", original.size() + 1, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        std::wstring docx = writeArchive(L"report.docx", original);
        ASSERT_TRUE(setTestFileTime(docx, 0, ARCHIVE_TIME));
        Job* job = addJob(docx, KIND_OOXML, ACTION_OPTIMIZE_OOXML, 1);
        std::string packed(c.newSize, 'n');
        ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\data.bin plain words, nothing known\n" +
                                               zipPassCalls(2, packed)));
        firstRun(job);
        EXPECT_EQ(job->state, JOB_WAITING) << logFileBytes(job);
        EXPECT_EQ(job->ready.load(), 1);
        EXPECT_TRUE(contentOf(job).empty());
        secondRun(job);
        EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
        EXPECT_EQ(readBytes(docx), c.replaced ? packed : original);
        EXPECT_TRUE(isMarked(docx));
        EXPECT_EQ(job->optimizedSize, c.replaced ? packed.size() : original.size());
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, EpubGetsItsMimetypeEntryBackOrFailsWithTheFixUpMessage)
{
    const std::string original = "PK\x03\x04" + std::string(300, 'e');
    struct Case {
        const char* name;
        std::string behavior;
        JobState state;
        const char* ending;
        size_t sevenZipCalls;
    } table[] = {
        {"fix-ups succeed", "", JOB_DONE, "\"!!!!!!!!\" \"mimetype\"\n\nexit code 00000000\n", 6},
        {"stored re-add fails", "call 5: exit 2\n", JOB_FAILED,
         "ERROR: cannot replace \"!!!!!!!!\" with uncompressed version!", 5},
        {"rename fails", "call 6: exit 2\n", JOB_FAILED, "ERROR: cannot rename \"!!!!!!!!\" to \"mimetype\"!", 6},
        {"no mimetype", "call 1: delete x\\mimetype\n", JOB_FAILED,
         "ERROR: cannot rename \"mimetype\" to \"!!!!!!!!\"!", 1},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        std::wstring epub = writeArchive(L"book.epub", original);
        Job* job = addJob(epub, KIND_EPUB, ACTION_OPTIMIZE_EPUB, 1);
        ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\mimetype application/epub+zip\n" +
                                               c.behavior + zipPassCalls(2, "PK")));
        firstRun(job);
        if (job->state == JOB_WAITING) {
            std::wstring renamed = std::wstring(job->scratchDir) + L"\\x\\!!!!!!!!";
            EXPECT_EQ(readBytes(renamed), "application/epub+zip");
            EXPECT_FALSE(pathExists(std::wstring(job->scratchDir) + L"\\x\\mimetype"));
            secondRun(job);
        }
        EXPECT_EQ(job->state, c.state) << logFileBytes(job);
        std::string log = logFileBytes(job);
        EXPECT_TRUE(endsWith(log, c.ending)) << log.substr(log.size() > 200 ? log.size() - 200 : 0);
        EXPECT_EQ(readBytes(epub), c.state == JOB_DONE ? "PK" : original);
        std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
        EXPECT_EQ(sevenZip.size(), c.sevenZipCalls);
        if (sevenZip.size() >= 6) {
            std::wstring archive = std::wstring(job->scratchDir) + L"\\x.zip";
            EXPECT_EQ(sevenZip[4].commandLine, tools.commandPrefix(TOOL_7Z) + L"a \"" + archive + L"\" \"" +
                                                   job->scratchDir +
                                                   L"\\x\\!!!!!!!!\" -mm=Deflate -m0=Copy -mtc=off -mcl=off -mcu=off");
            EXPECT_EQ(sevenZip[5].commandLine,
                      tools.commandPrefix(TOOL_7Z) + L"rn \"" + archive + L"\" \"!!!!!!!!\" \"mimetype\"");
        }
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, PackagesThatBeginWithAStoredMimetypeKeepItFirst)
{
    const std::string odfText = "application/vnd.oasis.opendocument.text";
    const std::string storedFirst = zipLocalHeader("mimetype", 0) + odfText;
    const std::string deflatedFirst = zipLocalHeader("mimetype", 8) + odfText;
    const std::string otherFirst = zipLocalHeader("readme.txt", 0) + "plain";
    const char* const renamedBack = "\"!!!!!!!!\" \"mimetype\"\n\nexit code 00000000\n";
    struct Case {
        const char* title;
        const wchar_t* name;
        FileKind kind;
        Action action;
        uint8_t processContent;
        const std::string& head;
        std::string behavior;
        JobState state;
        const char* ending;
        size_t sevenZipCalls;
    } table[] = {
        {"OpenDocument", L"text.odt", KIND_ODF, ACTION_OPTIMIZE_ODF, 1, storedFirst, "", JOB_DONE, renamedBack, 6},
        {"ZIP-like, repacked at once", L"book.epub", KIND_ZIP_LIKE, ACTION_OPTIMIZE_ZIP_LIKE, 0, storedFirst, "",
         JOB_DONE, renamedBack, 6},
        {"repacked at once, stored re-add fails", L"book.epub", KIND_ZIP_LIKE, ACTION_OPTIMIZE_ZIP_LIKE, 0,
         storedFirst, "call 5: exit 2\n", JOB_FAILED,
         "ERROR: cannot replace \"!!!!!!!!\" with uncompressed version!", 5},
        {"repacked at once, no mimetype unpacked", L"book.epub", KIND_ZIP_LIKE, ACTION_OPTIMIZE_ZIP_LIKE, 0,
         storedFirst, "call 1: delete @folder\\mimetype\n", JOB_FAILED,
         "ERROR: cannot rename \"mimetype\" to \"!!!!!!!!\"!", 1},
        {"OpenDocument with a deflated mimetype", L"text.odt", KIND_ODF, ACTION_OPTIMIZE_ODF, 1, deflatedFirst, "",
         JOB_DONE, "CRC is OK\n", 4},
        {"ZIP-like with a deflated mimetype", L"book.epub", KIND_ZIP_LIKE, ACTION_OPTIMIZE_ZIP_LIKE, 0,
         deflatedFirst, "", JOB_DONE, "CRC is OK\n", 4},
        {"ZIP with another first entry", L"data.zip", KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1, otherFirst, "", JOB_DONE,
         "CRC is OK\n", 4},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.title);
        const std::string original = c.head + std::string(300, 'p');
        std::wstring path = writeArchive(c.name, original);
        Job* job = addJob(path, c.kind, c.action, c.processContent);
        const std::string folder = c.processContent ? "x" : "xtr4ct3d";
        std::string behavior = c.behavior;
        size_t at = behavior.find("@folder");
        if (at != std::string::npos)
            behavior.replace(at, 7, folder);
        ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir " + folder + "\ncall 1: write " + folder + "\\mimetype " +
                                               odfText + "\n" + behavior + zipPassCalls(2, "PK")));
        firstRun(job);
        std::wstring unpacked = std::wstring(job->scratchDir) + L"\\" + widen(folder);
        if (job->state == JOB_WAITING) {
            bool fixUps = c.sevenZipCalls == 6;
            EXPECT_EQ(pathExists(unpacked + L"\\!!!!!!!!"), fixUps);
            EXPECT_EQ(pathExists(unpacked + L"\\mimetype"), !fixUps);
            secondRun(job);
        }
        EXPECT_EQ(job->state, c.state) << logFileBytes(job);
        std::string log = logFileBytes(job);
        EXPECT_TRUE(endsWith(log, c.ending)) << log.substr(log.size() > 200 ? log.size() - 200 : 0);
        EXPECT_EQ(readBytes(path), c.state == JOB_DONE ? "PK" : original);
        std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
        EXPECT_EQ(sevenZip.size(), c.sevenZipCalls);
        if (sevenZip.size() >= 6) {
            std::wstring archive = std::wstring(job->scratchDir) + L"\\x.zip";
            EXPECT_EQ(sevenZip[4].commandLine, tools.commandPrefix(TOOL_7Z) + L"a \"" + archive + L"\" \"" +
                                                   unpacked +
                                                   L"\\!!!!!!!!\" -mm=Deflate -m0=Copy -mtc=off -mcl=off -mcu=off");
            EXPECT_EQ(sevenZip[5].commandLine,
                      tools.commandPrefix(TOOL_7Z) + L"rn \"" + archive + L"\" \"!!!!!!!!\" \"mimetype\"");
        }
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, ContainersWithoutContentProcessingRepackAtOnce)
{
    const std::string original = "PK\x03\x04" + std::string(200, 'a');
    struct Case {
        const wchar_t* name;
        FileKind kind;
        Action action;
        std::string behavior;
        const wchar_t* archiveName;
    } table[] = {
        {L"plain.zip", KIND_ZIP, ACTION_OPTIMIZE_ZIP, zipPassCalls(2, "PK"), L"x.zip"},
        {L"data.jar", KIND_ZIP_LIKE, ACTION_OPTIMIZE_ZIP_LIKE, zipPassCalls(2, "PK"), L"x.zip"},
        {L"text.gz", KIND_GZIP, ACTION_OPTIMIZE_GZIP, "call 2: write @6 PK\n", L"x.gz"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(narrow(c.name));
        std::wstring path = writeArchive(c.name, original);
        Job* job = addJob(path, c.kind, c.action, 0);
        ASSERT_TRUE(tools.install(TOOL_7Z, c.behavior));
        firstRun(job);
        EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
        EXPECT_EQ(readBytes(path), "PK");
        EXPECT_TRUE(isMarked(path));
        std::string log = logFileBytes(job);
        EXPECT_EQ(log.compare(0, 14, "launching " + ELLIPSIS + "\n"), 0);
        EXPECT_EQ(log.find("waiting"), std::string::npos);
        std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
        ASSERT_GE(sevenZip.size(), 2u);
        std::wstring scratch = job->scratchDir;
        EXPECT_EQ(sevenZip[0].commandLine, tools.commandPrefix(TOOL_7Z) + L"x \"" + path + L"\" -y -o\"" + scratch +
                                               L"\\xtr4ct3d\"");
        std::wstring packing = L" \"" + scratch + L"\\" + c.archiveName + L"\" \"" + scratch + L"\\xtr4ct3d\\*\"";
        bool packed = false;
        for (const ToolCall& call : sevenZip)
            packed = packed || (!call.arguments.empty() && call.arguments[0] == L"a" && call.commandLine.find(packing) != std::wstring::npos);
        EXPECT_TRUE(packed);
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, GzipWithContentProcessingRepacksTheContentFolder)
{
    std::wstring path = writeArchive(L"page.html.gz", "\x1f\x8b\x08" + std::string(200, 'g'));
    Job* job = addJob(path, KIND_GZIP, ACTION_OPTIMIZE_GZIP, 1);
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\page.html <p>plain</p>\ncall 2: write @6 GZ\n"));
    firstRun(job);
    secondRun(job);
    EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
    EXPECT_EQ(readBytes(path), "GZ");
    std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
    ASSERT_EQ(sevenZip.size(), 2u);
    std::wstring scratch = job->scratchDir;
    EXPECT_EQ(sevenZip[1].commandLine, tools.commandPrefix(TOOL_7Z) + L"a -mm=Deflate -mfb=258 -mpass=48 -mmt=off \"" +
                                           scratch + L"\\x.gz\" \"" + scratch + L"\\x\\*\"");
}

TEST_F(ContainersTest, FailedContentFailsTheContainerAndLeavesItsFileAlone)
{
    const std::string original = "PK\x03\x04" + std::string(300, 'f');
    std::wstring zip = writeArchive(L"f.zip", original);
    ASSERT_TRUE(setTestFileTime(zip, 0, ARCHIVE_TIME));
    Job* job = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\a.png " + PNG_BYTES + "\n" + zipPassCalls(2)));
    firstRun(job);
    std::vector<Job*> content = contentOf(job);
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(content[0]->action, ACTION_OPTIMIZE_PNG);
    EnterCriticalSection(&jobList.lock);
    EXPECT_FALSE(allContentFinished(&jobList, job));
    content[0]->state = JOB_FAILED;
    EXPECT_TRUE(anyContentFailed(&jobList, job));
    LeaveCriticalSection(&jobList.lock);
    secondRun(job);
    EXPECT_EQ(job->state, JOB_FAILED) << logFileBytes(job);
    EXPECT_TRUE(endsWith(logFileBytes(job), "failed (content failure)\n"));
    EXPECT_EQ(tools.calls(TOOL_7Z).size(), 1u);
    EXPECT_EQ(readBytes(zip), original);
    EXPECT_EQ(lastWriteTimeOfPath(zip.c_str()), ARCHIVE_TIME);
}

TEST_F(ContainersTest, ContainerFailsWhenItsSmallerArchiveCannotBePutInPlace)
{
    const std::string original = "PK\x03\x04" + std::string(300, 'h');
    std::wstring zip = writeArchive(L"held.zip", original);
    Job* job = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 0);
    ASSERT_TRUE(tools.install(TOOL_7Z, zipPassCalls(2, "PK")));
    HANDLE held = CreateFileW(zip.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    firstRun(job);
    CloseHandle(held);
    EXPECT_EQ(job->state, JOB_FAILED) << logFileBytes(job);
    EXPECT_NE(logFileBytes(job).find("ERROR: cannot replace"), std::string::npos);
    EXPECT_EQ(readBytes(zip), original);
}

TEST_F(ContainersTest, ExtractionReplacesTheArchiveByAFolderOfItsName)
{
    std::wstring rar = writeArchive(L"a.rar", "Rar!\x1a\x07" + std::string(100, 'r'));
    ASSERT_TRUE(setTestFileTime(rar, 0, ARCHIVE_TIME));
    Job* job = addJob(rar, KIND_RAR, ACTION_EXTRACT_RAR, 0);
    ASSERT_TRUE(tools.install(TOOL_7Z, "write " + quoted(rar + L"\\inside.txt") + " content\n"));
    firstRun(job);
    EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
    EXPECT_NE(GetFileAttributesW(rar.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(readBytes(rar + L"\\inside.txt"), "content");
    EXPECT_FALSE(pathExists(rar + L".0r1g1n4l"));
    EXPECT_EQ(testFileTime(rar, false), ARCHIVE_TIME);
    std::vector<ToolCall> sevenZip = tools.calls(TOOL_7Z);
    ASSERT_EQ(sevenZip.size(), 1u);
    EXPECT_EQ(sevenZip[0].commandLine,
              tools.commandPrefix(TOOL_7Z) + L"x \"" + rar + L".0r1g1n4l\" -y -o\"" + rar + L"\"");
    EXPECT_EQ(sevenZip[0].workingDirectory, std::wstring(job->scratchDir));
    EXPECT_EQ(logFileBytes(job).compare(0, 14, "launching " + ELLIPSIS + "\n"), 0);
    EXPECT_TRUE(endsWith(logFileBytes(job), "\nOK\n"));
    EXPECT_EQ(logFileBytes(job).find("analyzing"), std::string::npos);
    EXPECT_TRUE(contentOf(job).empty());
}

TEST_F(ContainersTest, ExtractionWithContentAddsItAsTopLevelJobsAndDoesNotWait)
{
    std::wstring archive = writeArchive(L"b.7z", "7z\xbc\xaf\x27\x1c" + std::string(100, 's'));
    Job* job = addJob(archive, KIND_7Z, ACTION_EXTRACT_7Z, 1);
    settings.zip_strategy = 1;
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: write " + quoted(archive + L"\\pic.png") + " " + PNG_BYTES + "\n"));
    firstRun(job);
    EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
    EXPECT_TRUE(endsWith(logFileBytes(job), "analyzing content " + ELLIPSIS + "\nOK\n"));
    std::vector<Job*> content = contentOf(job);
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(std::wstring(content[0]->path), archive + L"\\pic.png");
    EXPECT_EQ(content[0]->action, ACTION_OPTIMIZE_PNG);
    EXPECT_EQ(content[0]->state, JOB_PENDING) << logFileBytes(content[0]);
}

TEST_F(ContainersTest, FailedOrImpossibleExtractionLeavesTheArchiveExactlyAsItWas)
{
    const std::string original = "PK\x03\x04" + std::string(120, 'x');
    struct Case {
        const char* name;
        std::string behavior;
        bool asideExists;
        bool held;
        size_t sevenZipCalls;
        const char* message;
    } table[] = {
        {"7-Zip fails after writing", "write \"@PATH\\part.txt\" half\nexit 2\n", false, false, 1, nullptr},
        {"aside name taken", "", true, false, 0, "ERROR: cannot move the archive aside"},
        {"archive held open", "", false, true, 0, "ERROR: cannot move the archive aside"},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.name);
        std::wstring zip = writeArchive(L"keep me.zip", original);
        ASSERT_TRUE(setTestFileTime(zip, 0, ARCHIVE_TIME));
        std::wstring aside = zip + L".0r1g1n4l";
        if (c.asideExists) {
            ASSERT_TRUE(writeBytes(aside, "the user's own file"));
        }
        Job* job = addJob(zip, KIND_ZIP, ACTION_EXTRACT_ZIP, 1);
        std::string behavior = c.behavior;
        size_t at = behavior.find("@PATH");
        if (at != std::string::npos)
            behavior.replace(at, 5, narrow(zip));
        ASSERT_TRUE(tools.install(TOOL_7Z, behavior));
        HANDLE held = c.held ? CreateFileW(zip.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
        firstRun(job);
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
        EXPECT_EQ(job->state, JOB_FAILED) << logFileBytes(job);
        EXPECT_EQ(GetFileAttributesW(zip.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_EQ(readBytes(zip), original);
        EXPECT_EQ(lastWriteTimeOfPath(zip.c_str()), ARCHIVE_TIME);
        EXPECT_EQ(pathExists(aside), c.asideExists);
        if (c.asideExists) {
            EXPECT_EQ(readBytes(aside), "the user's own file");
        }
        EXPECT_EQ(tools.calls(TOOL_7Z).size(), c.sevenZipCalls);
        if (c.message) {
            EXPECT_NE(logFileBytes(job).find(c.message), std::string::npos);
        }
        EXPECT_TRUE(contentOf(job).empty());
        DeleteFileW(aside.c_str());
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, ReadOnlyArchivesAreReadOnlyAgainAfterEveryKindOfJob)
{
    const std::string original = "PK\x03\x04" + std::string(300, 'r');
    const std::string unpacked = "call 1: mkdir x\ncall 1: write x\\data.bin plain words, nothing known\n";
    struct Case {
        const wchar_t* name;
        FileKind kind;
        Action action;
        uint8_t option0;
        std::string behavior;
        JobState state;
    } table[] = {
        {L"content.zip", KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1, unpacked + zipPassCalls(2, "PK"), JOB_DONE},
        {L"at once.zip", KIND_ZIP, ACTION_OPTIMIZE_ZIP, 0, zipPassCalls(2, "PK"), JOB_DONE},
        {L"report.docx", KIND_OOXML, ACTION_OPTIMIZE_OOXML, 1, unpacked + zipPassCalls(2, "PK"), JOB_DONE},
        {L"book.epub", KIND_EPUB, ACTION_OPTIMIZE_EPUB, 1,
         "call 1: mkdir x\ncall 1: write x\\mimetype application/epub+zip\n" + zipPassCalls(2, "PK"), JOB_DONE},
        {L"content.gz", KIND_GZIP, ACTION_OPTIMIZE_GZIP, 1, unpacked + "call 2: write @6 GZ\n", JOB_DONE},
        {L"at once.gz", KIND_GZIP, ACTION_OPTIMIZE_GZIP, 0, "call 2: write @6 GZ\n", JOB_DONE},
        {L"repack fails.zip", KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1, unpacked + "call 2: exit 2\n", JOB_FAILED},
        {L"extraction fails.zip", KIND_ZIP, ACTION_EXTRACT_ZIP, 1, "exit 2\n", JOB_FAILED},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(narrow(c.name));
        std::wstring path = writeArchive(c.name, original);
        ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        Job* job = addJob(path, c.kind, c.action, c.option0);
        ASSERT_TRUE(tools.install(TOOL_7Z, c.behavior));
        runWorkerUntilIdle();
        EXPECT_EQ(job->state, c.state) << logFileBytes(job);
        EXPECT_EQ(readBytes(path) != original, c.state == JOB_DONE);
        DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_EQ(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY), DWORD(FILE_ATTRIBUTE_READONLY));
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        tools.clearCalls(TOOL_7Z);
        TearDown();
    }
}

TEST_F(ContainersTest, CanceledExtractionPutsTheArchiveBackAndAddsNothing)
{
    const std::string original = "PK\x03\x04" + std::string(120, 'k');
    std::wstring zip = writeArchive(L"cancel me.zip", original);
    ASSERT_TRUE(setTestFileTime(zip, 0, ARCHIVE_TIME));
    Job* job = addJob(zip, KIND_ZIP, ACTION_EXTRACT_ZIP, 1);
    job->sink.callback = cancelAfterFirstTool;
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: write " + quoted(zip + L"\\pic.png") + " " + PNG_BYTES + "\n"));
    firstRun(job);
    EXPECT_EQ(job->state, JOB_FAILED) << logFileBytes(job);
    EXPECT_FALSE(endsWith(logFileBytes(job), "OK\n"));
    EXPECT_EQ(readBytes(zip), original);
    EXPECT_EQ(lastWriteTimeOfPath(zip.c_str()), ARCHIVE_TIME);
    EXPECT_FALSE(pathExists(zip + L".0r1g1n4l"));
    EXPECT_TRUE(contentOf(job).empty());
    EXPECT_EQ(tools.calls(TOOL_7Z).size(), 1u);
}

// The time goes on after the content, which replaces files inside the folder.
TEST_F(ContainersTest, ExtractedFolderKeepsTheArchiveTimeThroughItsContentJobs)
{
    settings.zip_strategy = 1;
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 3\n"));
    struct Case {
        const char* title;
        uint8_t option0;
        size_t contentJobs;
    } table[] = {
        {"content processed", 1, 1},
        {"content left alone", 0, 0},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.title);
        std::wstring archive = writeArchive(L"pictures.7z", "7z\xbc\xaf\x27\x1c" + std::string(100, 's'));
        ASSERT_TRUE(setTestFileTime(archive, 0, ARCHIVE_TIME));
        Job* job = addJob(archive, KIND_7Z, ACTION_EXTRACT_7Z, c.option0);
        ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: write " + quoted(archive + L"\\pic.png") + " " + PNG_BYTES + "\n"));
        runWorkerUntilIdle();
        EXPECT_EQ(job->state, JOB_DONE) << logFileBytes(job);
        std::vector<Job*> content = contentOf(job);
        ASSERT_EQ(content.size(), c.contentJobs);
        if (c.contentJobs) {
            EXPECT_EQ(content[0]->state, JOB_DONE) << logFileBytes(content[0]);
            EXPECT_LT(readBytes(archive + L"\\pic.png").size(), 23u) << "the content job replaced the file";
        }
        EXPECT_EQ(testFileTime(archive, false), ARCHIVE_TIME);
        tools.clearCalls(TOOL_7Z);
        TearDown();
        deleteTree(archive.c_str());
    }
}

// Held open without delete sharing, as a scanner may hold a file it was shown.
HANDLE heldAside = INVALID_HANDLE_VALUE;

bool holdAsideAfterFirstTool(void* context, uint32_t code, uintptr_t value)
{
    Job* job = static_cast<Job*>(context);
    bool goOn = jobReport(context, code, value);
    if (code == SINK_TOOL_EXITED && heldAside == INVALID_HANDLE_VALUE) {
        std::wstring aside = std::wstring(job->path) + L".0r1g1n4l";
        heldAside = CreateFileW(aside.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    return goOn;
}

TEST_F(ContainersTest, ArchiveThatCannotBeDeletedAfterExtractionIsReportedAndFailsTheJob)
{
    std::wstring rar = writeArchive(L"kept.rar", "Rar!\x1a\x07" + std::string(100, 'r'));
    Job* job = addJob(rar, KIND_RAR, ACTION_EXTRACT_RAR, 0);
    job->sink.callback = holdAsideAfterFirstTool;
    ASSERT_TRUE(tools.install(TOOL_7Z, "write " + quoted(rar + L"\\inside.txt") + " content\n"));
    firstRun(job);
    ASSERT_NE(heldAside, INVALID_HANDLE_VALUE);
    CloseHandle(heldAside);
    heldAside = INVALID_HANDLE_VALUE;
    EXPECT_EQ(job->state, JOB_FAILED) << logFileBytes(job);
    std::string log = logFileBytes(job);
    EXPECT_NE(log.find("ERROR: cannot delete the archive moved aside (system error 32): " + narrow(rar) +
                       ".0r1g1n4l\n"),
              std::string::npos)
        << log;
    EXPECT_FALSE(endsWith(log, "OK\n")) << log;
    EXPECT_EQ(readBytes(rar + L"\\inside.txt"), "content");
    DeleteFileW((rar + L".0r1g1n4l").c_str());
}

TEST_F(ContainersTest, CanceledWaitingContainerIsNeverPickedAgain)
{
    std::wstring zip = writeArchive(L"c.zip", "PK\x03\x04" + std::string(300, 'c'));
    Job* container = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\a.png " + PNG_BYTES +
                                           "\ncall 1: write x\\b.png " + PNG_BYTES + "\n" + zipPassCalls(2)));
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
    setWorkerCount(1);
    for (int i = 0; i < 6000 && tools.calls(TOOL_ECT).empty(); ++i)
        Sleep(20);
    ASSERT_EQ(tools.calls(TOOL_ECT).size(), 1u);

    // What the window's cancel does: the container and all its content.
    container->canceled.exchange(1);
    container->ready.exchange(0);
    for (Job* content : contentOf(container)) {
        content->canceled.exchange(1);
        content->ready.exchange(0);
        terminateJobTool(content);
    }
    runWorkerUntilIdle();

    std::vector<Job*> content = contentOf(container);
    ASSERT_EQ(content.size(), 2u);
    EXPECT_EQ(content[0]->state, JOB_FAILED) << logFileBytes(content[0]);
    EXPECT_EQ(content[1]->state, JOB_PENDING);
    EXPECT_EQ(container->state, JOB_WAITING) << logFileBytes(container);
    EXPECT_EQ(tools.calls(TOOL_7Z).size(), 1u);
    EXPECT_EQ(tools.calls(TOOL_ECT).size(), 1u);
    EXPECT_TRUE(endsWith(logFileBytes(container), "waiting for content to complete " + ELLIPSIS + "\n"));
}

TEST_F(ContainersTest, ContentCanceledBeforeAnyWorkerPickedItStillLetsTheContainerEnd)
{
    const std::string original = "PK\x03\x04" + std::string(300, 'p');
    std::wstring zip = writeArchive(L"p.zip", original);
    Job* container = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\ncall 1: write x\\a.png " + PNG_BYTES +
                                           "\ncall 1: write x\\b.png " + PNG_BYTES + "\n" + zipPassCalls(2)));
    firstRun(container);
    std::vector<Job*> content = contentOf(container);
    ASSERT_EQ(content.size(), 2u);
    content[1]->canceled.exchange(1);
    content[1]->ready.exchange(0);

    runWorkerUntilIdle();

    EXPECT_EQ(content[0]->state, JOB_DONE) << logFileBytes(content[0]);
    EXPECT_EQ(content[1]->state, JOB_PENDING);
    EXPECT_EQ(container->state, JOB_FAILED) << logFileBytes(container);
    EXPECT_TRUE(endsWith(logFileBytes(container), "failed (content failure)\n"));
    EXPECT_EQ(tools.calls(TOOL_7Z).size(), 1u);
    EXPECT_EQ(readBytes(zip), original);
}

TEST_F(ContainersTest, ContainerCanceledWhileItsContentIsListedEndsAndCancelsThatContent)
{
    const size_t FILES = 200;
    std::wstring zip = writeArchive(L"w.zip", "PK\x03\x04" + std::string(300, 'w'));
    Job* container = addJob(zip, KIND_ZIP, ACTION_OPTIMIZE_ZIP, 1);
    std::string unpack = "call 1: mkdir x\n";
    for (size_t i = 0; i < FILES; ++i)
        unpack += "call 1: write x\\p" + std::to_string(i) + ".png " + PNG_BYTES + "\n";
    ASSERT_TRUE(tools.install(TOOL_7Z, unpack));
    // The cancel comes once the walk has listed its first file, long before its last.
    std::atomic<bool> runEnded(false);
    std::thread canceler([&] {
        while (!runEnded.load() && contentOf(container).empty())
            Sleep(1);
        container->canceled.exchange(1);
    });
    firstRun(container);
    runEnded = true;
    canceler.join();
    EXPECT_EQ(container->state, JOB_FAILED) << logFileBytes(container);
    EXPECT_EQ(container->ready.load(), 0);
    std::vector<Job*> content = contentOf(container);
    ASSERT_GE(content.size(), 1u);
    EXPECT_LT(content.size(), FILES) << "the walk did not stop at the flag";
    for (Job* job : content) {
        EXPECT_EQ(job->canceled.load(), 1);
        EXPECT_EQ(job->ready.load(), 0);
    }
    EnterCriticalSection(&jobList.lock);
    EXPECT_TRUE(allContentFinished(&jobList, container));
    LeaveCriticalSection(&jobList.lock);
}

} // namespace
