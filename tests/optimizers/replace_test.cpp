#include <gtest/gtest.h>
#include "optimizers/replace.h"
#include "support/test_files.h"
#include <string>

namespace {

struct CollectedText {
    std::string text;
};

bool collect(void* context, uint32_t code, uintptr_t value)
{
    if (code == SINK_TEXT)
        static_cast<CollectedText*>(context)->text += reinterpret_cast<const char*>(value);
    return true;
}

class AtomicReplace : public testing::Test {
protected:
    void SetUp() override
    {
        folder = makeTestFolder(L"replace");
        target = folder + L"\\target.bin";
        result = folder + L"\\result.bin";
        sink = {&log, collect};
    }
    void TearDown() override { removeTestFolder(folder); }
    // Only the target and the result may be left in the folder.
    int filesInFolder()
    {
        int count = 0;
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find == INVALID_HANDLE_VALUE)
            return 0;
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                ++count;
        } while (FindNextFileW(find, &entry));
        FindClose(find);
        return count;
    }
    std::wstring folder, target, result;
    CollectedText log;
    ErrorSink sink;
};

TEST_F(AtomicReplace, PutsTheResultInPlaceKeepingAttributesAndCreationTime)
{
    writeTestFile(target, std::string(1000, 'o'));
    writeTestFile(result, "new content");
    const uint64_t created = 130000000000000000ull;
    setTestFileTime(target, created, 0);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    ASSERT_TRUE(replaceFileWith(target.c_str(), result.c_str(), &sink)) << log.text;
    EXPECT_EQ(readTestFile(target), "new content");
    EXPECT_EQ(readTestFile(result), "new content");
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_HIDDEN,
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(filesInFolder(), 2);
    EXPECT_EQ(log.text, "");
    if (!creationTimesKept(folder))
        GTEST_SKIP() << "this file system keeps no creation time that is set (Wine on a Linux file system), "
                        "so keeping the target's cannot be observed";
    EXPECT_EQ(testFileTime(target, true), created);
}

TEST_F(AtomicReplace, ReadOnlyTargetIsReplacedAndStaysReadOnly)
{
    writeTestFile(target, "old");
    writeTestFile(result, "new");
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(replaceFileWith(target.c_str(), result.c_str(), &sink)) << log.text;
    EXPECT_EQ(readTestFile(target), "new");
    EXPECT_TRUE(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(AtomicReplace, MissingResultLeavesTargetUntouched)
{
    writeTestFile(target, "old");
    EXPECT_FALSE(replaceFileWith(target.c_str(), (folder + L"\\absent").c_str(), &sink));
    EXPECT_EQ(readTestFile(target), "old");
    EXPECT_EQ(log.text.rfind("ERROR: cannot replace the file", 0), 0u) << log.text;
    EXPECT_EQ(filesInFolder(), 1);
}

TEST_F(AtomicReplace, LockedTargetLeavesEverythingAsItWas)
{
    writeTestFile(target, "old");
    writeTestFile(result, "new");
    HANDLE lock = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(replaceFileWith(target.c_str(), result.c_str(), &sink));
    CloseHandle(lock);
    EXPECT_EQ(readTestFile(target), "old");
    EXPECT_EQ(filesInFolder(), 2);
    EXPECT_NE(log.text.find("ERROR: "), std::string::npos);
}

TEST_F(AtomicReplace, VanishedTargetIsNotRecreated)
{
    writeTestFile(result, "new");
    EXPECT_FALSE(replaceFileWith(target.c_str(), result.c_str(), &sink));
    EXPECT_FALSE(testPathExists(target));
}

} // namespace
