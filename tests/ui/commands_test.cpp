#include "window_fixture.h"
#include <commctrl.h>
#include <thread>
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include "ui/commands.h"
#include "ui/main_window_internal.h"

namespace {

TEST(ContextMenuTest, LogFileOnlyWhereTheJobWroteOne)
{
    std::wstring folder = makeTestFolder(L"menu");
    const std::wstring withLog = folder + L"\\with";
    const std::wstring withoutLog = folder + L"\\without";
    ASSERT_TRUE(CreateDirectoryW(withLog.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(withoutLog.c_str(), nullptr));
    ASSERT_TRUE(writeTestFile(withLog + L"\\log.txt", "launching\n"));
    enum Scratch { NO_FOLDER, NO_LOG, LOG };
    struct Case {
        bool hasJob;
        JobState state;
        Scratch scratch;
        bool openDirectory;
        bool openLog;
    } cases[] = {
        {false, JOB_PENDING, LOG, false, false},
        // Before a job has started its log file is not its own yet.
        {true, JOB_PENDING, LOG, true, false},
        {true, JOB_STARTING, LOG, true, false},
        {true, JOB_RUNNING, LOG, true, true},
        {true, JOB_WAITING, LOG, true, true},
        {true, JOB_FAILED, LOG, true, true},
        {true, JOB_DONE, LOG, true, true},
        // No scratch folder could be made: the job failed when it was added.
        {true, JOB_FAILED, NO_FOLDER, true, false},
        // The log file could not be created.
        {true, JOB_FAILED, NO_LOG, true, false},
        {true, JOB_RUNNING, NO_LOG, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.hasJob << " state " << static_cast<int>(c.state) << " scratch " << c.scratch);
        Job job = {};
        job.state = c.state;
        if (c.scratch != NO_FOLDER)
            wcscpy_s(job.scratchDir, PATH_ROOM, (c.scratch == LOG ? withLog : withoutLog).c_str());
        const Job* clicked = c.hasJob ? &job : nullptr;
        ContextMenuState state = contextMenuState(clicked);
        EXPECT_EQ(state.openDirectory, c.openDirectory);
        EXPECT_EQ(state.openLog, c.openLog);
        EXPECT_TRUE(state.cancel);
        // The command opens exactly what the menu offers.
        wchar_t* log = existingLogFile(clicked);
        EXPECT_EQ(log ? std::wstring(log) : std::wstring(), c.openLog ? withLog + L"\\log.txt" : std::wstring());
        release(log);
    }
    removeTestFolder(folder);
}

TEST_F(MainWindowTest, CancelReachesContentAtEveryDepth)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "hang\n"));
    // 0 contains 1 and 4; 1 contains 2; 2 contains 5; 3 stands alone.
    Job* a = addJob(L"a.zip", 10);
    Job* b = addJob(L"b.zip", 10, a);
    Job* c = addJob(L"c.zip", 10, b);
    Job* d = addJob(L"d.png", 10);
    Job* e = addJob(L"e.png", 10, a);
    Job* f = addJob(L"f.png", 10, c);
    ASSERT_TRUE(a && b && c && d && e && f);
    SendMessageW(window, WM_JOB_ADDED, 5, 0);
    ASSERT_EQ(rowCount(list()), 6);

    // The deepest container is running a tool that never ends by itself.
    c->state = JOB_RUNNING;
    c->ready.exchange(0);
    uint32_t result = 0;
    std::thread worker([&] {
        result = runTool(TOOL_GIFSICLE, L"-O3", c->scratchDir, nullptr, nullptr, false, &c->sink);
    });
    HANDLE tool = waitForToolProcess(c);
    if (!tool) {
        c->canceled.exchange(1);
        terminateJobTool(c);
        worker.join();
        FAIL() << "the tool did not start";
    }

    selectOnly(0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    // The tool is gone by the time the command returns.
    EXPECT_EQ(WaitForSingleObject(tool, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(tool, &code);
    EXPECT_EQ(code, 0xDEADDEADu);
    CloseHandle(tool);
    worker.join();
    EXPECT_EQ(result, ToolKilledExitCode);
    EXPECT_EQ(c->toolProcess, nullptr);

    pumpPending();
    struct Row {
        Job* job;
        bool canceled;
    } rows[] = {{a, true}, {b, true}, {c, true}, {d, false}, {e, true}, {f, true}};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(rows[i].job->canceled.load() != 0, rows[i].canceled) << i;
        EXPECT_EQ(rows[i].job->ready.load() == 0, rows[i].canceled) << i;
        EXPECT_EQ(cellText(list(), i, 4), rows[i].canceled ? L"canceled" : L"pending") << i;
    }

    // Every selected row is canceled.
    selectOnly(3);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    EXPECT_TRUE(d->canceled.load());
    EXPECT_EQ(cellText(list(), 3, 4), L"canceled");
}

// A big container's content is labelled in batches after the command returns,
// so the window answers meanwhile; finished content keeps its own label, and
// content listed only after the cancel is labelled as its row appears.
TEST_F(MainWindowTest, CancelLabelsABigContainersRowsInBatches)
{
    const int LISTED = static_cast<int>(RELABEL_BATCH) * 2 + 10;
    Job* container = addJob(L"big.zip", 10);
    ASSERT_TRUE(container);
    for (int i = 0; i < LISTED + 5; ++i)
        ASSERT_TRUE(addJob(L"entry" + std::to_wstring(i) + L".png", 10, container));
    Job* finished = jobs[2];
    finished->state = JOB_DONE;
    SendMessageW(window, WM_JOB_ADDED, LISTED, 0);
    ASSERT_EQ(rowCount(list()), LISTED + 1);
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(finished));
    ASSERT_EQ(cellText(list(), 2, 4), L"OK");

    selectOnly(0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    EXPECT_EQ(cellText(list(), 0, 4), L"canceled");
    EXPECT_EQ(cellText(list(), LISTED, 4), L"pending") << "labelled before the command returned";
    pumpPending();
    for (int row = 1; row <= LISTED; ++row)
        EXPECT_EQ(cellText(list(), row, 4), row == 2 ? L"OK" : L"canceled") << row;
    SendMessageW(window, WM_JOB_ADDED, LISTED + 5, 0);
    ASSERT_EQ(rowCount(list()), LISTED + 6);
    for (int row = LISTED + 1; row <= LISTED + 5; ++row)
        EXPECT_EQ(cellText(list(), row, 4), L"canceled") << row;
}

// A waiting container is held by no worker, so the cancel itself puts back the
// read-only attribute its first run lifted; a running job's worker does that.
TEST_F(MainWindowTest, CancelingAWaitingContainerMakesItsFileReadOnlyAgain)
{
    struct Row {
        const wchar_t* name;
        JobState state;
        bool readOnlyAfter;
    } rows[] = {
        {L"waiting.zip", JOB_WAITING, true},
        {L"running.zip", JOB_RUNNING, false},
    };
    for (const Row& row : rows) {
        Job* job = addJob(row.name, 10);
        ASSERT_TRUE(job);
        ASSERT_TRUE(writeTestFile(job->path, "PK"));
        job->action = ACTION_OPTIMIZE_ZIP;
        job->state = row.state;
        job->readOnlyLifted.exchange(1);
    }
    SendMessageW(window, WM_JOB_ADDED, 1, 0);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(testing::Message() << rows[i].name);
        selectOnly(i);
        SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
        DWORD attributes = GetFileAttributesW(jobs[i]->path);
        EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0, rows[i].readOnlyAfter);
        SetFileAttributesW(jobs[i]->path, FILE_ATTRIBUTE_NORMAL);
    }
}

// The file of a finished job is optimized already: "canceled" would say otherwise.
TEST_F(MainWindowTest, CancelingAFinishedJobKeepsItsOK)
{
    Job* job = addJob(L"done.png", 10);
    ASSERT_NE(job, nullptr);
    job->state = JOB_DONE;
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    SendMessageW(window, WM_JOB_STATE, 0, reinterpret_cast<LPARAM>(job));
    ASSERT_EQ(cellText(list(), 0, 4), L"OK");
    selectOnly(0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    pumpPending();
    EXPECT_EQ(cellText(list(), 0, 4), L"OK");
    EXPECT_TRUE(job->canceled.load());
}

TEST_F(MainWindowTest, CanceledPendingJobNeverRuns)
{
    Job* job = addJob(L"never.png", 10);
    ASSERT_NE(job, nullptr);
    SendMessageW(window, WM_JOB_ADDED, 0, 0);
    selectOnly(0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    EXPECT_EQ(cellText(list(), 0, 4), L"canceled");

    HWND workers = control(ID_WORKER_COUNT);
    SendMessageW(workers, CB_SETCURSEL, 1, 0);
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE), reinterpret_cast<LPARAM>(workers));
    // The worker looks at the list, finds nothing to pick and goes idle.
    HWND status = control(ID_STATUS_LINE);
    ASSERT_TRUE(pumpUntil([status] { return jobList.busy.load() == 0 && windowText(status) == L" Paused."; }));
    EXPECT_EQ(job->state, JOB_PENDING);
    EXPECT_EQ(cellText(list(), 0, 4), L"canceled");
}

} // namespace
