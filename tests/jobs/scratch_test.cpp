#include <gtest/gtest.h>
#include "base/file_util.h"
#include "jobs/job.h"
#include "jobs/scratch.h"
#include "support/test_files.h"
#include <winioctl.h>
#include <string>
#include <vector>

namespace {

TEST(DeleteTree, MissingFolderSucceeds)
{
    std::wstring folder = makeTestFolder(L"tree");
    EXPECT_TRUE(deleteTree((folder + L"\\nothing-here").c_str()));
    EXPECT_TRUE(deleteTree((folder + L"\\no\\such\\path").c_str()));
    removeTestFolder(folder);
}

TEST(DeleteTree, EmptyPathIsRefused)
{
    EXPECT_FALSE(deleteTree(L""));
}

TEST(DeleteTree, RemovesNestedContentAndReadOnlyFiles)
{
    std::wstring folder = makeTestFolder(L"tree");
    std::wstring root = folder + L"\\root";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW((root + L"\\a").c_str(), nullptr);
    CreateDirectoryW((root + L"\\a\\b").c_str(), nullptr);
    writeTestFile(root + L"\\top.txt", "1");
    writeTestFile(root + L"\\a\\b\\deep.txt", "2");
    std::wstring readOnly = root + L"\\a\\locked.txt";
    writeTestFile(readOnly, "3");
    SetFileAttributesW(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(deleteTree((root + L"\\").c_str()));
    EXPECT_FALSE(testPathExists(root));
    removeTestFolder(folder);
}

// A temporary folder picked at a drive root is stored with a doubled backslash.
TEST(DeleteTree, DoubledSeparatorsStillNameTheFolder)
{
    std::wstring folder = makeTestFolder(L"tree");
    std::wstring temp = folder + L"\\\\";
    wchar_t scratch[PATH_ROOM];
    ASSERT_TRUE(createScratchDir(scratch, temp.c_str()));
    writeTestFile(std::wstring(scratch) + L"\\x.png", "data");
    EXPECT_TRUE(deleteTree(scratch));
    EXPECT_FALSE(testPathExists(scratch));
    removeTestFolder(folder);
}

TEST(DeleteTree, WorksBeyondMaxPath)
{
    std::wstring folder = makeTestFolder(L"tree");
    std::wstring path = L"\\\\?\\" + folder;
    for (int i = 0; i < 12; ++i) {
        path += L"\\" + std::wstring(30, static_cast<wchar_t>(L'a' + i));
        ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
    }
    ASSERT_GT(path.size(), 300u);
    ASSERT_TRUE(writeTestFile(path + L"\\file.txt", "x"));
    EXPECT_TRUE(deleteTree(folder.c_str()));
    EXPECT_FALSE(testPathExists(folder));
}

// Makes folder a junction to target; false when the file system cannot.
bool makeJunction(const std::wstring& folder, const std::wstring& target)
{
    if (!CreateDirectoryW(folder.c_str(), nullptr))
        return false;
    HANDLE handle = CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    std::wstring substitute = L"\\??\\" + target;
    const size_t substituteBytes = substitute.size() * sizeof(wchar_t);
    const size_t printBytes = target.size() * sizeof(wchar_t);
    std::string buffer(8 + 8 + substituteBytes + 2 + printBytes + 2, '\0');
    char* b = &buffer[0];
    auto put16 = [](char* at, size_t value) {
        at[0] = static_cast<char>(value & 0xFF);
        at[1] = static_cast<char>(value >> 8);
    };
    *reinterpret_cast<DWORD*>(b) = IO_REPARSE_TAG_MOUNT_POINT;
    put16(b + 4, buffer.size() - 8);
    put16(b + 8, 0);
    put16(b + 10, substituteBytes);
    put16(b + 12, substituteBytes + 2);
    put16(b + 14, printBytes);
    memcpy(b + 16, substitute.c_str(), substituteBytes);
    memcpy(b + 16 + substituteBytes + 2, target.c_str(), printBytes);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, b, static_cast<DWORD>(buffer.size()),
                              nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
    return ok != 0 && (GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
}

TEST(DeleteTree, JunctionIsRemovedWithoutTouchingItsTarget)
{
    std::wstring folder = makeTestFolder(L"tree");
    std::wstring target = folder + L"\\target";
    CreateDirectoryW(target.c_str(), nullptr);
    writeTestFile(target + L"\\keep.txt", "precious");
    std::wstring root = folder + L"\\root";
    CreateDirectoryW(root.c_str(), nullptr);
    if (!makeJunction(root + L"\\link", target)) {
        removeTestFolder(folder);
        GTEST_SKIP() << "this file system cannot make a junction (Wine on a Linux file system)";
    }
    EXPECT_TRUE(deleteTree(root.c_str()));
    EXPECT_FALSE(testPathExists(root));
    EXPECT_EQ(readTestFile(target + L"\\keep.txt"), "precious");
    removeTestFolder(folder);
}

// A removal that fails halfway (a tool still holds a file) keeps the owner
// marker: the folder is still known as an ended instance's and goes at a later start.
TEST(DeleteTree, AFailedRemovalKeepsTheOwnerMarker)
{
    // A holder that shares deletion lets the delete succeed, but the file stays
    // listed until it lets go (a tool's listing file, held by its console host).
    const struct {
        const char* holder;
        DWORD share;
    } cases[] = {
        {"shares reading only", FILE_SHARE_READ},
        {"shares deletion", FILE_SHARE_READ | FILE_SHARE_DELETE},
    };
    std::wstring parent = makeTestFolder(L"halfway");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.holder);
        std::wstring folder = parent + L"\\zarn0000003A";
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(writeTestFile(folder + L"\\owner.vell", "1 1"));
        // Many held files, so that the marker listed before any one of them would be caught.
        std::vector<HANDLE> held;
        for (int i = 0; i < 16; ++i) {
            std::wstring file = folder + L"\\held" + std::to_wstring(i) + L".png";
            ASSERT_TRUE(writeTestFile(file, "a copy a tool still has open"));
            HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, c.share, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            held.push_back(handle);
        }
        EXPECT_FALSE(deleteTree(folder.c_str()));
        EXPECT_TRUE(testPathExists(folder + L"\\owner.vell"));
        for (HANDLE handle : held)
            CloseHandle(handle);
        EXPECT_TRUE(deleteTree(folder.c_str()));
        EXPECT_FALSE(testPathExists(folder));
    }
    removeTestFolder(parent);
}

TEST(CreateScratchDir, NamesAFreshFolderUnderTheTemporaryPath)
{
    std::wstring folder = makeTestFolder(L"scratch") + L"\\";
    wchar_t first[PATH_ROOM];
    wchar_t second[PATH_ROOM];
    ASSERT_TRUE(createScratchDir(first, folder.c_str()));
    ASSERT_TRUE(createScratchDir(second, folder.c_str()));
    EXPECT_STRNE(first, second);
    EXPECT_TRUE(testPathExists(first));
    EXPECT_EQ(std::wstring(first).substr(0, folder.size() + 4), folder + L"zarn");
    EXPECT_FALSE(createScratchDir(first, (folder + L"missing\\").c_str()));
    std::wstring longest(248 - folder.size() - 1, L'l');
    std::wstring fits = folder + longest + L"\\";
    ASSERT_EQ(fits.size(), 248u);
    ASSERT_TRUE(CreateDirectoryW(fits.c_str(), nullptr));
    EXPECT_TRUE(createScratchDir(first, fits.c_str()));
    EXPECT_EQ(wcslen(first), 260u);
    removeTestFolder(folder);
}

uint64_t creationTimeOf(HANDLE process)
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user))
        return 0;
    return fileTimeValue(created);
}

// An instance that was killed leaves its folders; the next start removes them,
// never those of a running instance (this test) nor folders it did not make.
TEST(RemoveStaleScratchDirs, RemovesOnlyTheFoldersOfEndedInstances)
{
    std::wstring temp = makeTestFolder(L"stale") + L"\\";
    wchar_t own[PATH_ROOM];
    ASSERT_TRUE(createScratchDir(own, temp.c_str()));

    wchar_t command[MAX_PATH + 32];
    UINT length = GetSystemDirectoryW(command, MAX_PATH);
    ASSERT_GT(length, 0u);
    wcscpy(command + length, L"\\cmd.exe /c exit 0");
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &child));
    uint64_t childCreated = creationTimeOf(child.hProcess);
    ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    uint64_t ownCreated = creationTimeOf(GetCurrentProcess());
    ASSERT_NE(childCreated, 0u);
    const std::string endedMarker = std::to_string(child.dwProcessId) + " " + std::to_string(childCreated);
    const std::string ownMarker = std::to_string(GetCurrentProcessId()) + " " + std::to_string(ownCreated);
    const std::string reusedId = std::to_string(GetCurrentProcessId()) + " " + std::to_string(ownCreated - 1);

    struct Case {
        const wchar_t* name;
        const std::string* marker; // null: no marker
        bool stays;
    } table[] = {
        {L"zarn0000000A", &endedMarker, false},
        {L"zarn0000000B", &reusedId, false},
        {L"zarn0000000C", &ownMarker, true},
        {L"zarn0000000D", nullptr, true},
        {L"zarn0000000G", &endedMarker, true}, // not a name the program makes
        {L"zarn0000000", &endedMarker, true},
        {L"other folder", &endedMarker, true},
    };
    const std::string garbled = "not a marker";
    for (const Case& c : table) {
        std::wstring folder = temp + c.name;
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        ASSERT_TRUE(writeTestFile(folder + L"\\x.png", "a copy of the user's file"));
        if (c.marker) {
            ASSERT_TRUE(writeTestFile(folder + L"\\owner.vell", *c.marker));
        }
    }
    std::wstring unreadable = temp + L"zarn0000000E";
    ASSERT_TRUE(CreateDirectoryW(unreadable.c_str(), nullptr));
    ASSERT_TRUE(writeTestFile(unreadable + L"\\owner.vell", garbled));
    // An empty folder whose removal lost its marker goes once it is a few
    // seconds old; a fresh one may be waiting for the marker of its maker.
    std::wstring emptyOld = temp + L"zarn0000001A";
    ASSERT_TRUE(CreateDirectoryW(emptyOld.c_str(), nullptr));
    Sleep(2500);
    std::wstring emptyFresh = temp + L"zarn0000001B";
    ASSERT_TRUE(CreateDirectoryW(emptyFresh.c_str(), nullptr));

    removeStaleScratchDirs(temp.c_str());
    EXPECT_FALSE(testPathExists(emptyOld));
    EXPECT_TRUE(testPathExists(emptyFresh));

    for (const Case& c : table) {
        SCOPED_TRACE(testing::Message() << c.name);
        EXPECT_EQ(testPathExists(temp + c.name), c.stays);
    }
    EXPECT_TRUE(testPathExists(unreadable));
    EXPECT_TRUE(testPathExists(own)) << "the marker written with the folder names this running process";
    removeTestFolder(temp);
}

// As a tool's console host holds its folder for a moment after the tool under
// Wine: a handle that does not share deletion, closed a little later.
DWORD WINAPI closeHandleLater(void* handle)
{
    Sleep(400);
    CloseHandle(static_cast<HANDLE>(handle));
    return 0;
}

TEST(RemoveStaleScratchDirs, AFolderHeldForAMomentGoesOnceLetGo)
{
    std::wstring temp = makeTestFolder(L"held") + L"\\";
    std::wstring folder = temp + L"zarn0000002A";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(writeTestFile(folder + L"\\x.png", "a copy of the user's file"));
    // This process's id with another creation time: an ended instance whose id was reused.
    std::string ended = std::to_string(GetCurrentProcessId()) + " " +
                        std::to_string(creationTimeOf(GetCurrentProcess()) - 1);
    ASSERT_TRUE(writeTestFile(folder + L"\\owner.vell", ended));
    HANDLE held = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    HANDLE closer = CreateThread(nullptr, 0, closeHandleLater, held, 0, nullptr);
    ASSERT_NE(closer, nullptr);
    removeStaleScratchDirs(temp.c_str());
    WaitForSingleObject(closer, INFINITE);
    CloseHandle(closer);
    EXPECT_FALSE(testPathExists(folder)) << "a folder that lost its marker to the first try is never found again";
    removeTestFolder(temp);
}

TEST(FileRoutines, NamesAndComparisons)
{
    EXPECT_STREQ(fileNameOfPath(L"C:\\a\\b.png"), L"b.png");
    EXPECT_STREQ(fileNameOfPath(L"C:/a/b.png"), L"b.png");
    EXPECT_STREQ(fileNameOfPath(L"plain"), L"");
    EXPECT_STREQ(extensionOfPath(L"C:\\a.b\\c"), L"b\\c");
    EXPECT_STREQ(extensionOfPath(L"C:\\a\\c"), L"");
    EXPECT_TRUE(equalsNoCase(L"Thumbs.DB", "thumbs.db"));
    EXPECT_TRUE(equalsNoCase(L"th\u00FCmbs.db", "thumbs.db"));
    EXPECT_FALSE(equalsNoCase(L"thumbs.db2", "thumbs.db"));
    EXPECT_FALSE(equalsNoCase(L"thumbs.d", "thumbs.db"));
    EXPECT_FALSE(equalsNoCase(L"", "zip"));
}

TEST(FileRoutines, SizesTimesAndReads)
{
    std::wstring folder = makeTestFolder(L"files");
    std::wstring path = folder + L"\\data.bin";
    writeTestFile(path, "0123456789");
    EXPECT_EQ(sizeOfPath(path.c_str()), 10u);
    EXPECT_EQ(sizeOfPath((folder + L"\\none").c_str()), 0u);
    EXPECT_NE(lastWriteTimeOfPath(path.c_str()), 0u);
    EXPECT_EQ(lastWriteTimeOfPath((folder + L"\\none").c_str()), 0u);
    HANDLE file = openForReading(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr);
    ASSERT_NE(file, nullptr);
    char buffer[16] = {};
    EXPECT_EQ(readAtOffset(file, 6, buffer, 16, nullptr), 4u);
    EXPECT_STREQ(buffer, "6789");
    HANDLE mapping = nullptr;
    const char* view = static_cast<const char*>(mapForReading(file, &mapping, nullptr));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(std::string(view, 10), "0123456789");
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    CloseHandle(file);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY);
    clearReadOnly(path.c_str());
    EXPECT_EQ(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    removeTestFolder(folder);
}

TEST(JobList, GrowsByDoublingPlusOne)
{
    JobList list;
    initJobList(&list);
    Job jobs[10] = {};
    size_t index = 0;
    ASSERT_TRUE(appendJob(&list, &jobs[0], &index));
    EXPECT_EQ(list.capacity, 1u);
    ASSERT_TRUE(appendJob(&list, &jobs[1], &index));
    EXPECT_EQ(list.capacity, 3u);
    for (int i = 2; i < 10; ++i)
        ASSERT_TRUE(appendJob(&list, &jobs[i], &index));
    EXPECT_EQ(index, 9u);
    EXPECT_EQ(list.capacity, 15u);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(list.entries[i], &jobs[i]);
    clearJobList(&list);
    EXPECT_EQ(list.length, 0u);
    DeleteCriticalSection(&list.lock);
}

} // namespace
