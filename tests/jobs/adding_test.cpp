#include <gtest/gtest.h>
#include "job_fixture.h"
#include "jobs/adding.h"
#include "base/file_util.h"
#include "jobs/workers.h"
#include "optimizers/replace.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <algorithm>
#include <string>
#include <vector>

namespace {

typedef char*(CDECL* UnixFileNameFn)(const WCHAR* dosPath);
typedef LONG(CDECL* UnixSpawnFn)(char* const argv[], int wait);

// A folder link pointing at target, by whatever means this system offers:
// a symbolic link, a junction, or under Wine a link in the Linux file system.
bool createFolderLink(const std::wstring& link, const std::wstring& target)
{
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        (GetFileAttributesW(link.c_str()) & FILE_ATTRIBUTE_DIRECTORY) &&
        GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    UnixFileNameFn unixName = reinterpret_cast<UnixFileNameFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
    UnixSpawnFn spawn = reinterpret_cast<UnixSpawnFn>(
        reinterpret_cast<void*>(GetProcAddress(ntdll, "__wine_unix_spawnvp")));
    if (!unixName || !spawn)
        return false;
    char* targetName = unixName(target.c_str());
    // The link does not exist yet; its folder does.
    size_t cut = link.find_last_of(L'\\');
    char* folderName = unixName(link.substr(0, cut).c_str());
    if (!targetName || !folderName)
        return false;
    std::string linkName = std::string(folderName) + "/" + narrow(link.substr(cut + 1));
    std::string program = "/bin/ln";
    std::string option = "-s";
    std::string from = targetName;
    char* argv[] = {&program[0], &option[0], &from[0], &linkName[0], nullptr};
    HeapFree(GetProcessHeap(), 0, targetName);
    HeapFree(GetProcessHeap(), 0, folderName);
    spawn(argv, 1);
    DWORD attributes = GetFileAttributesW(link.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Removes the link itself, never what it points to.
void removeFolderLink(const std::wstring& link)
{
    if (RemoveDirectoryW(link.c_str()) || GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    UnixFileNameFn unixName = reinterpret_cast<UnixFileNameFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    UnixSpawnFn spawn = reinterpret_cast<UnixSpawnFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
    if (!unixName || !spawn)
        return;
    char* name = unixName(link.c_str());
    if (!name)
        return;
    std::string program = "/bin/rm";
    std::string option = "-f";
    std::string path = name;
    HeapFree(GetProcessHeap(), 0, name);
    char* argv[] = {&program[0], &option[0], &path[0], nullptr};
    spawn(argv, 1);
}

class Adding : public testing::Test {
protected:
    void SetUp() override
    {
        prepareGlobalJobList();
        window = createNotificationWindow();
        ASSERT_NE(window, nullptr);
        resetWorkerSlots(window);
        ASSERT_TRUE(stopTestWorkers()); // jobs stay pending so the test can look at them
        setDefaultSettings(&s);
        folder = makeTestFolder(L"adding");
        temp = folder + L"\\temp\\";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        wcscpy(s.general_tempPath, temp.c_str());
        root = folder + L"\\in";
        ASSERT_TRUE(CreateDirectoryW(root.c_str(), nullptr));
        run.window = window;
        run.jobs = &jobList;
        run.settings = &s;
    }

    void TearDown() override
    {
        for (const std::wstring& link : links)
            removeFolderLink(link);
        discardAllJobs();
        acquireSpinLock(&run.lock);
        for (size_t i = 0; i < run.queueBytes / sizeof(wchar_t*); ++i)
            release(run.queue[i]);
        release(run.queue);
        releaseSpinLock(&run.lock);
        takeNotifications(window);
        DestroyWindow(window);
        removeTestFolder(folder);
    }

    std::wstring png(const std::wstring& relative)
    {
        std::wstring path = root + L"\\" + relative;
        EXPECT_TRUE(writeTestFile(path, tinyPng)) << narrow(path);
        return path;
    }

    std::wstring sub(const std::wstring& relative)
    {
        std::wstring path = root + L"\\" + relative;
        EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << narrow(path);
        return path;
    }

    // Queues like a drop and waits for WM_ADDER_DONE; the added paths in list order.
    std::vector<std::wstring> drop(const std::vector<std::wstring>& paths)
    {
        std::vector<const wchar_t*> pointers;
        for (const std::wstring& path : paths)
            pointers.push_back(path.c_str());
        queuePaths(&run, pointers.data(), pointers.size());
        bool done = false;
        EXPECT_TRUE(waitUntil([&] {
            for (const MSG& message : takeNotifications(window))
                done = done || message.message == WM_ADDER_DONE;
            return done;
        }));
        return addedPaths();
    }

    std::vector<std::wstring> addedPaths()
    {
        std::vector<std::wstring> paths;
        for (Job* job : globalJobs())
            paths.push_back(job->path);
        return paths;
    }

    bool link(const std::wstring& at, const std::wstring& target)
    {
        if (!createFolderLink(at, target))
            return false;
        links.push_back(at);
        return true;
    }

    std::vector<std::wstring> links;
    Settings s;
    AddingRun run = {};
    HWND window = nullptr;
    std::wstring folder;
    std::wstring temp;
    std::wstring root;
};

TEST_F(Adding, FilesAndFoldersAreAddedInDropOrder)
{
    std::wstring first = png(L"first.png");
    sub(L"dir");
    std::wstring inside = png(L"dir\\inside.png");
    std::wstring last = png(L"last.png");
    std::vector<std::wstring> expected = {first, inside, last};
    EXPECT_EQ(drop({first, root + L"\\dir", last}), expected);
    acquireSpinLock(&run.lock);
    EXPECT_EQ(run.thread, nullptr) << "the adder clears its handle as it ends";
    EXPECT_EQ(run.currentPath[0], 0);
    releaseSpinLock(&run.lock);
}

TEST_F(Adding, SubFoldersAreWalkedDepthFirstExceptDollarAndDoubleDotNames)
{
    const struct {
        const wchar_t* folder;
        bool walked;
    } rows[] = {
        {L"$RECYCLE.BIN", false},
        {L"$x", false},
        {L"..hidden", false},
        {L".config", true},
        {L"plain", true},
        {L"a$b", true},
    };
    std::vector<std::wstring> expected;
    for (const auto& row : rows) {
        sub(row.folder);
        sub(std::wstring(row.folder) + L"\\deeper");
        std::wstring deep = png(std::wstring(row.folder) + L"\\deeper\\d.png");
        std::wstring direct = png(std::wstring(row.folder) + L"\\f.png");
        if (row.walked) {
            expected.push_back(deep);
            expected.push_back(direct);
        }
    }
    std::vector<std::wstring> added = drop({root});
    // Depth first: a folder's files come together, right after each other.
    for (const auto& row : rows) {
        std::wstring prefix = root + L"\\" + row.folder + L"\\";
        size_t count = 0;
        size_t firstAt = added.size();
        for (size_t i = 0; i < added.size(); ++i) {
            if (added[i].compare(0, prefix.size(), prefix) == 0) {
                ++count;
                firstAt = std::min(firstAt, i);
            }
        }
        EXPECT_EQ(count, row.walked ? 2u : 0u) << narrow(row.folder);
        if (row.walked && count == 2) {
            EXPECT_EQ(added[firstAt + 1].compare(0, prefix.size(), prefix), 0) << narrow(row.folder);
        }
    }
    std::sort(added.begin(), added.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
}

// Copies left beside files by a killed replacement go at the next walk of their
// folder; files the program did not make, and copies that may still be needed, stay.
TEST_F(Adding, ReplacementLeftoversAreRemovedWhenTheirFolderIsWalked)
{
    std::wstring kept = png(L"kept.png");
    auto leftover = [](const std::wstring& target, uint32_t processId) {
        wchar_t name[PATH_ROOM + 40];
        EXPECT_TRUE(replacementSiblingName(target.c_str(), processId, 3, name, PATH_ROOM + 40));
        return std::wstring(name);
    };
    const uint32_t ended = 0xFFFFFFF0; // no process has this id
    std::wstring stale = leftover(kept, ended);
    std::wstring orphan = leftover(root + L"\\gone.png", ended);
    std::wstring running = leftover(kept, GetCurrentProcessId());
    std::wstring forged = stale;
    forged.back() = forged.back() == L'0' ? L'1' : L'0';
    std::wstring lookalike = kept + L".vell~00120034";
    for (const std::wstring* path : {&stale, &orphan, &running, &forged, &lookalike})
        ASSERT_TRUE(writeTestFile(*path, tinyPng)) << narrow(*path);
    std::vector<std::wstring> added = drop({root});
    std::sort(added.begin(), added.end());
    std::vector<std::wstring> expected = {kept, forged, lookalike};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
    EXPECT_FALSE(testPathExists(stale));
    for (const std::wstring* path : {&kept, &orphan, &running, &forged, &lookalike})
        EXPECT_TRUE(testPathExists(*path)) << narrow(*path);
}

TEST_F(Adding, TrailingBackslashesAreRemoved)
{
    std::wstring file = png(L"x.png");
    std::vector<std::wstring> expected = {file};
    EXPECT_EQ(drop({root + L"\\\\\\"}), expected);
}

TEST_F(Adding, NothingIsAddedForMissingOrEmptyPaths)
{
    png(L"x.png");
    EXPECT_TRUE(drop({root + L"\\missing", root + L"\\missing.png", L""}).empty());
}

TEST_F(Adding, QueuePathStartsANewRunAfterTheLastEnded)
{
    std::wstring one = png(L"one.png");
    std::wstring two = png(L"two.png");
    ASSERT_TRUE(queuePath(&run, one.c_str()));
    ASSERT_TRUE(waitUntil([&] { return globalJobs().size() == 1; }));
    ASSERT_TRUE(waitUntil([&] {
        acquireSpinLock(&run.lock);
        bool ended = run.thread == nullptr;
        releaseSpinLock(&run.lock);
        return ended;
    }));
    ASSERT_TRUE(queuePath(&run, two.c_str()));
    ASSERT_TRUE(waitUntil([&] { return globalJobs().size() == 2; }));
    std::vector<std::wstring> expected = {one, two};
    EXPECT_EQ(addedPaths(), expected);
}

TEST_F(Adding, AStoppedRunDropsItsQueue)
{
    run.stop.exchange(1);
    std::wstring one = png(L"one.png");
    EXPECT_TRUE(drop({one, root}).empty());
}

TEST_F(Adding, TheStopFlagEndsAWalkAfterTheCurrentEntry)
{
    png(L"a.png");
    png(L"b.png");
    png(L"c.png");
    std::atomic<uint8_t> stop(1);
    addFolder(nullptr, root.c_str(), temp.c_str(), &jobList, nullptr, window, &s, &stop, nullptr, CONTEXT_TOP);
    // The walk ends after its first entry, which may be the folder's own "." entry.
    size_t stopped = globalJobs().size();
    EXPECT_LE(stopped, 1u);
    stop.exchange(0);
    addFolder(nullptr, root.c_str(), temp.c_str(), &jobList, nullptr, window, &s, &stop, nullptr, CONTEXT_TOP);
    EXPECT_EQ(globalJobs().size(), stopped + 3);
}

// A probe tool that never ends must not hold up a stop: the adder's own, or the
// cancel of the container whose content is being added.
TEST_F(Adding, AStopEndsAHangingProbeTool)
{
    ToolSandbox tools;
    ASSERT_TRUE(tools.ready());
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "hang\n"));
    std::wstring gif = root + L"\\slow.gif";
    ASSERT_TRUE(writeTestFile(gif, "GIF89a"));
    const bool throughContainer[] = {false, true};
    for (bool container : throughContainer) {
        SCOPED_TRACE(container ? "container cancelled" : "adder stopped");
        tools.clearCalls(TOOL_GIFSICLE);
        discardAllJobs();
        run.stop.store(0);
        Job parent = {};
        struct Walk {
            const wchar_t* folder;
            const wchar_t* temporaryPath;
            HWND window;
            const Settings* settings;
            Job* parent;
        } walk = {root.c_str(), temp.c_str(), window, &s, &parent};
        HANDLE thread = nullptr;
        if (container) {
            thread = CreateThread(nullptr, 0, [](LPVOID context) -> DWORD {
                Walk* w = static_cast<Walk*>(context);
                addFolder(nullptr, w->folder, w->temporaryPath, &jobList, nullptr, w->window, w->settings,
                          &w->parent->canceled, w->parent, CONTEXT_TOP);
                return 0;
            }, &walk, 0, nullptr);
        } else {
            ASSERT_TRUE(queuePath(&run, gif.c_str()));
            acquireSpinLock(&run.lock);
            DuplicateHandle(GetCurrentProcess(), run.thread, GetCurrentProcess(), &thread, SYNCHRONIZE, FALSE, 0);
            releaseSpinLock(&run.lock);
        }
        ASSERT_NE(thread, nullptr);
        bool started = waitUntil([&] { return !tools.calls(TOOL_GIFSICLE).empty(); }, 60000);
        if (container) {
            parent.canceled.exchange(1);
            terminateJobTool(&parent);
        } else {
            stopAdding(&run);
        }
        bool ended = WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
        if (!ended) {
            // Ended from here, so that the thread and the suite can go on.
            for (const ToolCall& call : tools.calls(TOOL_GIFSICLE)) {
                HANDLE tool = OpenProcess(PROCESS_TERMINATE, FALSE, call.processId);
                if (tool) {
                    TerminateProcess(tool, 99);
                    CloseHandle(tool);
                }
            }
            WaitForSingleObject(thread, INFINITE);
        }
        CloseHandle(thread);
        EXPECT_TRUE(started) << "the probe tool never started";
        EXPECT_TRUE(ended) << "the probe tool was not ended by the stop";
        // The probe failed, so the GIF counts as animated, as when Gifsicle fails.
        std::vector<Job*> jobs = globalJobs();
        ASSERT_EQ(jobs.size(), 1u);
        EXPECT_EQ(jobs[0]->kind, KIND_GIF_MULTI);
        takeNotifications(window);
    }
}

TEST_F(Adding, ContentJobsGetTheirParent)
{
    png(L"a.png");
    Job parent = {};
    addFolder(nullptr, root.c_str(), temp.c_str(), &jobList, nullptr, window, &s, nullptr, &parent, CONTEXT_TOP);
    std::vector<Job*> jobs = globalJobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0]->parent, &parent);
}

TEST_F(Adding, ALinkBackToAnAncestorIsNotWalkedAgain)
{
    std::wstring top = png(L"top.png");
    sub(L"a");
    std::wstring inA = png(L"a\\in-a.png");
    sub(L"b");
    std::wstring inB = png(L"b\\in-b.png");
    if (!link(root + L"\\a\\loop", root))
        GTEST_SKIP() << "no folder link can be made here (no symbolic links, junctions or Wine bridge)";
    ASSERT_TRUE(link(root + L"\\a\\toB", root + L"\\b"));
    std::vector<std::wstring> added = drop({root});
    std::sort(added.begin(), added.end());
    // A link to a folder that is not an ancestor is followed like a folder.
    std::vector<std::wstring> expected = {inA, root + L"\\a\\toB\\in-b.png", inB, top};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(added, expected);
}

} // namespace
