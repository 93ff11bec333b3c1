// The archive pipelines and container jobs with the real tools kit, driven by the
// worker pool: archives made at build time are rebuilt or extracted in place.
#include "jobs/adding.h"
#include "jobs/containers.h"
#include "base/file_util.h"
#include "jobs/workers.h"
#include "optimizers/archive.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace {

typedef std::map<std::wstring, std::string> FileTree;

void collectFiles(const std::wstring& folder, const std::wstring& prefix, FileTree* tree)
{
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            collectFiles(folder + L"\\" + name, prefix + name + L"/", tree);
        else
            (*tree)[prefix + name] = readBytes(folder + L"\\" + name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

bool endsWithNoCase(const std::wstring& name, const wchar_t* ending)
{
    size_t length = wcslen(ending);
    return name.size() >= length && _wcsicmp(name.c_str() + name.size() - length, ending) == 0;
}

// Readers such as the `file` command recognise OpenDocument and EPUB packages by the
// first local header alone: "mimetype", stored (method 0), no extra field, so that the
// text follows the name at byte 38.
void expectStoredMimetypeFirst(const std::string& archive, const std::string& text)
{
    ASSERT_FALSE(text.empty());
    ASSERT_GE(archive.size(), 38u + text.size());
    EXPECT_EQ(archive.substr(0, 4), std::string("PK\x03\x04", 4));
    EXPECT_EQ(archive.substr(8, 2), std::string(2, '\0')) << "method";
    EXPECT_EQ(archive.substr(26, 4), std::string("\x08\0\0\0", 4)) << "name and extra field lengths";
    EXPECT_EQ(archive.substr(30, 8), "mimetype");
    EXPECT_EQ(archive.substr(38, text.size()), text);
}

class ArchiveKitTest : public testing::Test {
protected:
    void SetUp() override
    {
        kit = wineHostPath(VELL_ARCHIVE_KIT_DIR) + L"\\";
        samples = wineHostPath(VELL_ARCHIVE_SAMPLES_DIR);
        if (!pathExists(kit + widen(TOOL_7Z)))
            GTEST_SKIP() << "the tools kit is not built at " << VELL_ARCHIVE_KIT_DIR;
        started = true;
        previousTools = toolsDirectory;
        setToolsDirectory(kit.c_str());
        static bool listReady = false;
        if (!listReady) {
            initJobList(&jobList);
            resetWorkerSlots(nullptr);
            listReady = true;
        }
        work = makeTestFolder(L"archive-kit");
        std::wstring temp = work + L"\\temp";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        setDefaultSettings(&settings);
        wcsncpy(settings.general_tempPath, (temp + L"\\").c_str(), TEMP_PATH_ROOM - 1);
        settings.general_backgroundPriority = 0;
        settings.zip_strategy = 1;
        settings.zip_recursive = 1;
        settings.gzip_strategy = 1;
        settings.office_optimize = 1;
        settings.epub_optimize = 1;
    }

    void TearDown() override
    {
        if (!started)
            return;
        started = false;
        setWorkerCount(0);
        for (int i = 0; i < 6000; ++i) {
            acquireSpinLock(&workerSlots[0].slotLock);
            bool ended = workerSlots[0].thread == nullptr;
            releaseSpinLock(&workerSlots[0].slotLock);
            if (ended)
                break;
            Sleep(20);
        }
        discardAllJobs();
        setToolsDirectory(previousTools.c_str());
        removeTestFolder(work);
    }

    std::wstring copySample(const wchar_t* name)
    {
        std::wstring path = work + L"\\" + name;
        EXPECT_TRUE(CopyFileW((samples + L"\\" + name).c_str(), path.c_str(), TRUE));
        return path;
    }

    // Adds the file as the adder would and lets one worker run until nothing is left.
    Job* addAndRun(const std::wstring& path)
    {
        analyzeFile(nullptr, duplicateString(path.c_str(), nullptr), settings.general_tempPath,
                    lastWriteTimeOfPath(path.c_str()), &settings, &jobList, nullptr, CONTEXT_TOP, nullptr);
        EnterCriticalSection(&jobList.lock);
        Job* job = jobList.length ? jobList.entries[0] : nullptr;
        LeaveCriticalSection(&jobList.lock);
        if (!job)
            return nullptr;
        setWorkerCount(1);
        for (int i = 0; i < 30000 && jobList.busy.load() != 0; ++i)
            Sleep(20);
        EXPECT_EQ(jobList.busy.load(), 0) << "the worker never went idle";
        return job;
    }

    FileTree unpack(const std::wstring& archive, const wchar_t* folderName)
    {
        std::wstring folder = work + L"\\" + folderName;
        FileTree tree;
        EXPECT_TRUE(extractArchive(archive.c_str(), folder.c_str(), work.c_str(), false, &defaultSink));
        collectFiles(folder, L"", &tree);
        return tree;
    }

    std::wstring kit;
    std::wstring samples;
    std::wstring previousTools;
    std::wstring work;
    bool started = false;
};

TEST_F(ArchiveKitTest, ArchivesAndDocumentsAreRebuiltWithTheSameEntriesAndContent)
{
    const struct {
        const wchar_t* name;
        uint8_t action;
        uint8_t recursive; // zip_recursive: content processed, or repacked at once
        bool mimetypeFirst;
    } table[] = {
        {L"sample.zip", ACTION_OPTIMIZE_ZIP, 1, false},
        {L"sample.docx", ACTION_OPTIMIZE_OOXML, 1, false},
        {L"sample.odt", ACTION_OPTIMIZE_ODF, 1, true},
        {L"sample.ods", ACTION_OPTIMIZE_ODF, 1, true},
        {L"sample.odp", ACTION_OPTIMIZE_ODF, 1, true},
        {L"sample.epub", ACTION_OPTIMIZE_EPUB, 1, true},
        {L"newline.epub", ACTION_OPTIMIZE_ZIP_LIKE, 1, true},
        {L"newline.epub", ACTION_OPTIMIZE_ZIP_LIKE, 0, true},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(narrow(c.name) + (c.recursive ? "" : ", repacked at once"));
        settings.zip_recursive = c.recursive;
        std::wstring path = copySample(c.name);
        std::string original = readBytes(path);
        Job* job = addAndRun(path);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(job->action, c.action) << narrow(job->path) << " kind " << int(job->kind);
        ASSERT_EQ(job->state, JOB_DONE) << logFileBytes(job);
        // The rebuilt archive replaced the file only if it was smaller.
        std::wstring archive = std::wstring(job->scratchDir) + L"\\x.zip";
        std::string rebuilt = readBytes(archive);
        ASSERT_FALSE(rebuilt.empty());
        EXPECT_NE(logFileBytes(job).find("CRC is OK\n"), std::string::npos);
        EXPECT_EQ(readBytes(path), rebuilt.size() < original.size() ? rebuilt : original);
        std::wstring before = work + L"\\original-" + c.name;
        ASSERT_TRUE(writeBytes(before, original));
        FileTree expected = unpack(before, L"before");
        FileTree actual = unpack(archive, L"after");
        ASSERT_FALSE(expected.empty());
        ASSERT_EQ(actual.size(), expected.size());
        for (const auto& entry : expected) {
            SCOPED_TRACE(narrow(entry.first));
            auto found = actual.find(entry.first);
            ASSERT_NE(found, actual.end());
            if (endsWithNoCase(entry.first, L".png") || endsWithNoCase(entry.first, L".jpg") ||
                endsWithNoCase(entry.first, L".jpeg")) {
                // Optimized losslessly by their own jobs: never larger, same format.
                EXPECT_LE(found->second.size(), entry.second.size());
                EXPECT_EQ(found->second.substr(0, 3), entry.second.substr(0, 3));
            } else {
                EXPECT_EQ(found->second, entry.second);
            }
        }
        if (c.mimetypeFirst)
            expectStoredMimetypeFirst(rebuilt, expected[L"mimetype"]);
        TearDown();
        SetUp();
    }
}

TEST_F(ArchiveKitTest, DocumentInsideAnArchiveKeepsItsMimetypeFirst)
{
    std::wstring path = copySample(L"nested.zip");
    std::string original = readBytes(path);
    Job* job = addAndRun(path);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->action, ACTION_OPTIMIZE_ZIP);
    ASSERT_EQ(job->state, JOB_DONE) << logFileBytes(job);
    std::wstring before = work + L"\\original-nested.zip";
    ASSERT_TRUE(writeBytes(before, original));
    FileTree outerBefore = unpack(before, L"before");
    FileTree outerAfter = unpack(std::wstring(job->scratchDir) + L"\\x.zip", L"after");
    ASSERT_EQ(outerAfter.size(), outerBefore.size());
    EXPECT_EQ(outerAfter[L"readme.txt"], outerBefore[L"readme.txt"]);

    // The document inside was rebuilt by a job of its own and put back.
    const std::string& letterBefore = outerBefore[L"documents/letter.odt"];
    const std::string& letterAfter = outerAfter[L"documents/letter.odt"];
    ASSERT_FALSE(letterAfter.empty());
    EXPECT_NE(letterAfter, letterBefore);
    ASSERT_TRUE(writeBytes(work + L"\\letter-before.odt", letterBefore));
    ASSERT_TRUE(writeBytes(work + L"\\letter-after.odt", letterAfter));
    FileTree inner = unpack(work + L"\\letter-before.odt", L"letter-before");
    FileTree innerAfter = unpack(work + L"\\letter-after.odt", L"letter-after");
    ASSERT_EQ(innerAfter.size(), inner.size());
    for (const auto& entry : inner) {
        SCOPED_TRACE(narrow(entry.first));
        if (endsWithNoCase(entry.first, L".png"))
            EXPECT_LE(innerAfter[entry.first].size(), entry.second.size());
        else
            EXPECT_EQ(innerAfter[entry.first], entry.second);
    }
    expectStoredMimetypeFirst(letterAfter, inner[L"mimetype"]);
}

TEST_F(ArchiveKitTest, GzipIsRecompressedWithTheSameData)
{
    std::wstring path = copySample(L"notes.txt.gz");
    std::string original = readBytes(path);
    std::string text = readBytes(samples + L"\\notes.txt");
    Job* job = addAndRun(path);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->action, ACTION_OPTIMIZE_GZIP);
    ASSERT_EQ(job->state, JOB_DONE) << logFileBytes(job);
    EXPECT_LE(readBytes(path).size(), original.size());
    FileTree content = unpack(path, L"after");
    ASSERT_EQ(content.size(), 1u);
    EXPECT_EQ(content.begin()->second, text);
}

TEST_F(ArchiveKitTest, ArchivesAreExtractedInPlace)
{
    const struct {
        const wchar_t* name;
        uint8_t action;
    } table[] = {
        {L"sample.7z", ACTION_EXTRACT_7Z},
        {L"sample.zip", ACTION_EXTRACT_ZIP},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(narrow(c.name));
        if (!pathExists(samples + L"\\" + c.name)) {
            ADD_FAILURE() << "sample missing (7zz was not found at build time)";
            continue;
        }
        settings.zip_strategy = 2;
        settings.zip_recursive = 0;
        settings.sevenZip_strategy = 1;
        settings.sevenZip_recursive = 0;
        FileTree expected = unpack(samples + L"\\" + c.name, L"expected");
        std::wstring path = copySample(c.name);
        Job* job = addAndRun(path);
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(job->action, c.action);
        ASSERT_EQ(job->state, JOB_DONE) << logFileBytes(job);
        EXPECT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPECT_FALSE(pathExists(path + L".0r1g1n4l"));
        FileTree actual;
        collectFiles(path, L"", &actual);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(actual, expected);
        TearDown();
        SetUp();
    }
}

} // namespace
