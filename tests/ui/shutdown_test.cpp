#include "window_fixture.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"
#include "support/test_files.h"

namespace {

struct FakeWorker {
    WorkerSlot* slot;
    Job* job;
    uint32_t result;
};

// Runs the job's tool the way a worker would, and leaves its slot as a worker does.
DWORD WINAPI fakeWorkerThread(LPVOID parameter)
{
    FakeWorker* worker = static_cast<FakeWorker*>(parameter);
    worker->result = runTool(TOOL_GIFSICLE, L"-O3", worker->job->scratchDir, nullptr, nullptr, false,
                             &worker->job->sink);
    acquireSpinLock(&worker->slot->slotLock);
    worker->slot->current = nullptr;
    CloseHandle(worker->slot->thread);
    worker->slot->thread = nullptr;
    releaseSpinLock(&worker->slot->slotLock);
    return 0;
}

DWORD registryNumber(HKEY root, const wchar_t* name)
{
    DWORD value = 0xFFFFFFFF;
    DWORD bytes = sizeof(value);
    if (RegGetValueW(root, SETTINGS_KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &bytes) != ERROR_SUCCESS)
        return 0xFFFFFFFF;
    return value;
}

// Puts a thread into the slot that runs the job's tool as a worker would, and
// waits until the tool runs; the thread and the tool as handles of their own.
void startHangingWorker(WorkerSlot* slot, FakeWorker* worker, HANDLE* thread, HANDLE* tool)
{
    Job* running = worker->job;
    running->state = JOB_RUNNING;
    running->ready.exchange(0);
    acquireSpinLock(&slot->slotLock);
    slot->stop.exchange(0);
    slot->current = running;
    slot->thread = CreateThread(nullptr, 0, fakeWorkerThread, worker, CREATE_SUSPENDED, nullptr);
    *thread = nullptr;
    DuplicateHandle(GetCurrentProcess(), slot->thread, GetCurrentProcess(), thread, SYNCHRONIZE, FALSE, 0);
    ResumeThread(slot->thread);
    releaseSpinLock(&slot->slotLock);
    ASSERT_NE(*thread, nullptr);
    *tool = waitForToolProcess(running);
    ASSERT_NE(*tool, nullptr);
}

TEST_F(MainWindowTest, ClosingStopsToolsRemovesScratchSavesSettingsAndQuits)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "stdout working\\n\nhang\n"));
    Job* running = addJob(L"running.gif", 10);
    Job* pending = addJob(L"pending.png", 10);
    ASSERT_TRUE(running && pending);
    // The pending job's folder holds more than its log.
    ASSERT_TRUE(writeTestFile(std::wstring(pending->scratchDir) + L"\\x.png", "copy"));
    const std::wstring runningScratch = running->scratchDir;
    const std::wstring pendingScratch = pending->scratchDir;
    FakeWorker worker = {&workerSlots[5], running, 0};
    HANDLE thread = nullptr;
    HANDLE tool = nullptr;
    startHangingWorker(worker.slot, &worker, &thread, &tool);
    ASSERT_FALSE(HasFatalFailure());

    settings.general_autoScroll = 1;
    settings.zip_strategy = 2;
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(runMessageLoop(window), 0);

    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(WaitForSingleObject(tool, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(tool, &code);
    EXPECT_EQ(code, 0xDEADDEADu);
    CloseHandle(tool);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(worker.result, ToolKilledExitCode);
    EXPECT_TRUE(running->canceled.load());
    EXPECT_EQ(running->logFile, nullptr);
    EXPECT_EQ(pending->logFile, nullptr);
    EXPECT_FALSE(testPathExists(runningScratch));
    EXPECT_FALSE(testPathExists(pendingScratch));
    EXPECT_EQ(jobList.length, 0u);
    EXPECT_EQ(jobList.entries, nullptr);
    for (WorkerSlot& each : workerSlots)
        EXPECT_TRUE(each.stop.load());
    EXPECT_EQ(registryNumber(registry.key(), L"general_autoScroll"), 1u);
    EXPECT_EQ(registryNumber(registry.key(), L"zip_strategy"), 2u);
    window = nullptr;
}

TEST_F(MainWindowTest, EndOfSessionTearsDownBeforeItAnswers)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "hang\n"));
    Job* running = addJob(L"running.gif", 10);
    Job* pending = addJob(L"pending.png", 10);
    ASSERT_TRUE(running && pending);
    const std::wstring runningScratch = running->scratchDir;
    const std::wstring pendingScratch = pending->scratchDir;
    FakeWorker worker = {&workerSlots[3], running, 0};
    HANDLE thread = nullptr;
    HANDLE tool = nullptr;
    startHangingWorker(worker.slot, &worker, &thread, &tool);
    ASSERT_FALSE(HasFatalFailure());
    settings.zip_strategy = 2;

    struct Step {
        UINT message;
        WPARAM ending;
        bool tornDown;
    } steps[] = {
        {WM_QUERYENDSESSION, 0, false},
        {WM_ENDSESSION, FALSE, false}, // the session goes on after all
        {WM_ENDSESSION, TRUE, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << step.message << " " << step.ending);
        LRESULT answer = SendMessageW(window, step.message, step.ending, ENDSESSION_LOGOFF);
        if (step.message == WM_QUERYENDSESSION) {
            EXPECT_EQ(answer, TRUE) << "the window never holds up the end of the session";
        }
        // Checked at once: the process may be ended as soon as the answer has come.
        EXPECT_EQ(WaitForSingleObject(tool, 0) == WAIT_OBJECT_0, step.tornDown);
        EXPECT_EQ(WaitForSingleObject(thread, 0) == WAIT_OBJECT_0, step.tornDown);
        EXPECT_EQ(testPathExists(runningScratch), !step.tornDown);
        EXPECT_EQ(testPathExists(pendingScratch), !step.tornDown);
        EXPECT_EQ(registryNumber(registry.key(), L"zip_strategy") == 2u, step.tornDown);
    }
    DWORD code = 0;
    GetExitCodeProcess(tool, &code);
    EXPECT_EQ(code, 0xDEADDEADu);
    CloseHandle(tool);
    CloseHandle(thread);
    EXPECT_EQ(jobList.length, 0u);
    // The teardown ends the message loop as closing does, and runs only once.
    MSG quit;
    EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    settings.zip_strategy = 1;
    closeWindow();
    EXPECT_EQ(registryNumber(registry.key(), L"zip_strategy"), 2u);
}

TEST_F(MainWindowTest, ClosingWhilePausedRemovesPendingScratch)
{
    Job* pending = addJob(L"p.png", 10);
    ASSERT_NE(pending, nullptr);
    wchar_t scratch[PATH_ROOM];
    // A scratch folder made the way the adder makes them.
    std::wstring temporary = folder + L"\\";
    ASSERT_TRUE(createScratchDir(scratch, temporary.c_str()));
    closeLogFile(pending);
    wcscpy_s(pending->scratchDir, PATH_ROOM, scratch);
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(runMessageLoop(window), 0);
    EXPECT_FALSE(testPathExists(scratch));
    EXPECT_NE(registryNumber(registry.key(), L"png_strategy"), 0xFFFFFFFFu);
    window = nullptr;
}

} // namespace
