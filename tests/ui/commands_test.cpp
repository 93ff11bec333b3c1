#include "window_fixture.h"
#include <commctrl.h>
#include <thread>
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"

namespace {

HANDLE waitForToolProcess(Job* job)
{
    for (int attempt = 0; attempt < 12000; ++attempt) {
        HANDLE copy = nullptr;
        AcquireSRWLockShared(&job->toolLock);
        if (job->toolProcess)
            DuplicateHandle(GetCurrentProcess(), job->toolProcess, GetCurrentProcess(), &copy, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        ReleaseSRWLockShared(&job->toolLock);
        if (copy)
            return copy;
        Sleep(5);
    }
    return nullptr;
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
