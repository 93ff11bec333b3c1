#include <gtest/gtest.h>
#include "optimizers/replace.h"
#include "base/file_util.h"
#include "support/test_files.h"
#include <aclapi.h>
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

// True when an entry of the file's permissions lets Everyone write.
bool everyoneMayWrite(const std::wstring& path)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    bool found = false;
    for (DWORD i = 0; dacl && everyone && i < dacl->AceCount && !found; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        found = GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid(&ace->SidStart, everyone) && (ace->Mask & FILE_WRITE_DATA);
    }
    FreeSid(everyone);
    LocalFree(descriptor);
    return found;
}

// An explicit entry, as a user adds to share one file.
bool letEveryoneWrite(const std::wstring& path)
{
    EXPLICIT_ACCESSW access = {};
    access.grfAccessPermissions = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
    access.grfAccessMode = GRANT_ACCESS;
    access.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = const_cast<wchar_t*>(L"Everyone");
    PACL old = nullptr;
    PACL grown = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool done = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                      &old, nullptr, &descriptor) == ERROR_SUCCESS &&
                SetEntriesInAclW(1, &access, old, &grown) == ERROR_SUCCESS &&
                SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, grown, nullptr) == ERROR_SUCCESS;
    LocalFree(grown);
    LocalFree(descriptor);
    return done;
}

// The replaced file keeps its own permissions, not the ones a new file gets.
TEST_F(AtomicReplace, PermissionsOfTheFileAreKept)
{
    writeTestFile(target, "old");
    writeTestFile(result, "new");
    if (everyoneMayWrite(result))
        GTEST_SKIP() << "new files are writable by everyone here, so lost permissions would not show";
    if (!letEveryoneWrite(target) || !everyoneMayWrite(target))
        GTEST_SKIP() << "a file's own permissions cannot be set here";
    ASSERT_TRUE(replaceFileWith(target.c_str(), result.c_str(), &sink)) << log.text;
    EXPECT_EQ(readTestFile(target), "new");
    EXPECT_TRUE(everyoneMayWrite(target));
}

TEST_F(AtomicReplace, AlternateStreamsAreKept)
{
    writeTestFile(target, "old");
    // A stream must not turn out to be a file of its own beside the target.
    if (!writeTestFile(target + L":vell.note", "note") || readTestFile(target + L":vell.note") != "note" ||
        filesInFolder() != 1)
        GTEST_SKIP() << "this file system has no alternate data streams (Wine on a Linux file system)";
    writeTestFile(result, "new");
    ASSERT_TRUE(replaceFileWith(target.c_str(), result.c_str(), &sink)) << log.text;
    EXPECT_EQ(readTestFile(target), "new");
    EXPECT_EQ(readTestFile(target + L":vell.note"), "note");
}

// From 246 units on the temporary name passes MAX_PATH without the "\\?\" form.
TEST_F(AtomicReplace, LongTargetPathsAreReplaced)
{
    for (size_t length : {200u, 246u, 259u}) {
        SCOPED_TRACE(length);
        std::wstring longTarget = folder + L"\\" + std::wstring(length - folder.size() - 1, L'n');
        ASSERT_EQ(longTarget.size(), length);
        ASSERT_TRUE(writeTestFile(longTarget, "old"));
        writeTestFile(result, "new");
        EXPECT_TRUE(replaceFileWith(longTarget.c_str(), result.c_str(), &sink)) << log.text;
        EXPECT_EQ(readTestFile(longTarget), "new");
        EXPECT_EQ(filesInFolder(), 2);
        DeleteFileW(longTarget.c_str());
    }
}

// Names that happen to be taken stay as they are, after a failed and after a
// successful replacement.
TEST_F(AtomicReplace, FilesAtTheTemporaryNamesAreNeverTouched)
{
    writeTestFile(target, "old");
    writeTestFile(result, "new");
    std::wstring taken[3];
    for (uint32_t i = 0; i < 3; ++i) {
        wchar_t name[PATH_ROOM + 40];
        ASSERT_TRUE(replacementSiblingName(target.c_str(), GetCurrentProcessId(), i, name, PATH_ROOM + 40));
        taken[i] = name;
        ASSERT_TRUE(writeTestFile(taken[i], "someone else's"));
    }
    EXPECT_FALSE(replaceFileWith(target.c_str(), (folder + L"\\absent").c_str(), &sink));
    EXPECT_EQ(readTestFile(target), "old");
    EXPECT_TRUE(replaceFileWith(target.c_str(), result.c_str(), &sink)) << log.text;
    EXPECT_EQ(readTestFile(target), "new");
    for (const std::wstring& name : taken)
        EXPECT_EQ(readTestFile(name), "someone else's");
    EXPECT_EQ(filesInFolder(), 5);
}

} // namespace
