#include <gtest/gtest.h>
#include "job_fixture.h"
#include "jobs/containers.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "jobs/workers.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <string>
#include <vector>

namespace {

const uint64_t STEP = 1000000;
const std::string LAUNCHING = "launching \xE2\x80\xA6\n";

TEST(MarkedTime, IsTheLeastMarkedTimeNotBelow)
{
    const uint64_t base = 133000000000000000ull; // a multiple of 1,000,000
    const struct {
        uint64_t t;
        uint64_t expected;
    } rows[] = {
        {0, 1337},
        {1, 1337},
        {1336, 1337},
        {1337, 1337},
        {1338, STEP + 1337},
        {STEP - 1, STEP + 1337},
        {STEP, STEP + 1337},
        {STEP + 1337, STEP + 1337},
        {STEP + 1338, 2 * STEP + 1337},
        {base + 1337, base + 1337},
        {base + 1338, base + STEP + 1337},
        {base + 999999, base + STEP + 1337},
        {base - 1, base + 1337},
    };
    for (const auto& row : rows)
        EXPECT_EQ(markedTime(row.t), row.expected) << "t = " << row.t;

    // Every value from a spread of times: marked, not earlier, less than 0.1 s later.
    uint64_t t = 132999999999000000ull;
    for (int i = 0; i < 20000; ++i) {
        t += 7919 + static_cast<uint64_t>(i) * 13;
        uint64_t marked = markedTime(t);
        ASSERT_EQ(marked % STEP, 1337u) << t;
        ASSERT_GE(marked, t);
        ASSERT_LT(marked, t + STEP);
    }
}

TEST(DefaultWorkerCount, IsProcessorsMinusOne)
{
    int processors = static_cast<int>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    int expected = processors - 1 < 0 ? 0 : (processors - 1 > 64 ? 64 : processors - 1);
    EXPECT_EQ(defaultWorkerCount(), expected);
}

class Workers : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        prepareGlobalJobList();
        window = createNotificationWindow();
        ASSERT_NE(window, nullptr);
        resetWorkerSlots(window);
        setDefaultSettings(&settings);
        settings.general_backgroundPriority = 0;
        folder = makeTestFolder(L"workers");
        temp = folder + L"\\temp\\";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        // A PNG pipeline that gains nothing and succeeds.
        ASSERT_TRUE(tools.install(TOOL_ECT));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    void TearDown() override
    {
        // Tools still hanging must go before the workers can end.
        for (Job* job : globalJobs()) {
            job->canceled.exchange(1);
            terminateJobTool(job);
        }
        EXPECT_TRUE(stopTestWorkers());
        discardAllJobs();
        takeNotifications(window);
        DestroyWindow(window);
        removeTestFolder(folder);
    }

    std::wstring file(const std::wstring& name, const std::string& bytes = tinyPng)
    {
        std::wstring path = folder + L"\\" + name;
        EXPECT_TRUE(writeTestFile(path, bytes));
        return path;
    }

    Job* add(const std::wstring& path, Action action, Job* parent = nullptr)
    {
        return addTestJob(path, action, temp.c_str(), parent, window);
    }

    bool allFinished(const std::vector<Job*>& jobs)
    {
        return waitUntil([&] {
            for (Job* job : jobs) {
                if (!jobFinished(job))
                    return false;
            }
            return true;
        });
    }

    // Jobs in the order their WM_JOB_STATE arrived.
    std::vector<Job*> finishOrder()
    {
        std::vector<Job*> order;
        for (const MSG& message : takeNotifications(window)) {
            if (message.message == WM_JOB_STATE)
                order.push_back(reinterpret_cast<Job*>(message.lParam));
        }
        return order;
    }

    ToolSandbox tools;
    HWND window = nullptr;
    std::wstring folder;
    std::wstring temp;
};

TEST_F(Workers, PausedStartsNothingAndAChosenCountPicksThePendingJobs)
{
    setWorkerCount(0);
    Job* first = add(file(L"a.png"), ACTION_OPTIMIZE_PNG);
    Job* second = add(file(L"b.png"), ACTION_OPTIMIZE_PNG);
    for (int i = 0; i < MAX_WORKERS; ++i)
        EXPECT_EQ(slotThreadId(i), 0u) << "slot " << i;
    EXPECT_EQ(first->state, JOB_PENDING);
    EXPECT_EQ(second->state, JOB_PENDING);
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());

    setWorkerCount(1);
    ASSERT_TRUE(allFinished({first, second}));
    EXPECT_EQ(first->state, JOB_DONE) << logFileBytes(first);
    EXPECT_EQ(second->state, JOB_DONE);
    EXPECT_EQ(tools.calls(TOOL_ECT).size(), 2u);
    EXPECT_NE(slotThreadId(0), 0u);
    EXPECT_EQ(slotThreadId(1), 0u);
}

// Eight jobs whose tool hangs hold eight workers until the test ends the tools.
class HangingWorkers : public Workers {
protected:
    void startEight()
    {
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
        setWorkerCount(0);
        for (int i = 0; i < 8; ++i)
            jobs.push_back(add(file(L"h" + std::to_wstring(i) + L".png"), ACTION_OPTIMIZE_PNG));
        setWorkerCount(8);
        // Running, and past their start-up: under Wine a tool killed while it still
        // starts can leave its console host behind, holding the test's output open.
        ASSERT_TRUE(waitUntil([&] {
            for (Job* job : jobs) {
                if (!toolRunning(job))
                    return false;
            }
            return tools.calls(TOOL_ECT).size() == jobs.size();
        }));
        for (int i = 0; i < 8; ++i) {
            ids[i] = slotThreadId(i);
            ASSERT_NE(ids[i], 0u);
        }
    }

    void releaseTools()
    {
        for (Job* job : jobs)
            terminateJobTool(job);
    }

    std::vector<Job*> jobs;
    DWORD ids[8] = {};
};

TEST_F(HangingWorkers, LoweringTheCountLetsSurplusWorkersFinishTheirJobsAndEnd)
{
    startEight();
    setWorkerCount(2);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(slotThreadId(i), ids[i]) << "a worker busy with a job keeps running, slot " << i;
    releaseTools();
    ASSERT_TRUE(allFinished(jobs));
    for (Job* job : jobs)
        EXPECT_EQ(job->state, JOB_FAILED); // the killed tool failed the pipeline; the job still ended
    ASSERT_TRUE(waitUntil([&] {
        for (int i = 2; i < 8; ++i) {
            if (slotThreadId(i) != 0)
                return false;
        }
        return jobList.busy.load() == 0;
    }));
    EXPECT_EQ(slotThreadId(0), ids[0]);
    EXPECT_EQ(slotThreadId(1), ids[1]);
}

TEST_F(HangingWorkers, RaisingTheCountBeforeTheyLookedKeepsThemWithoutNewThreads)
{
    startEight();
    setWorkerCount(2);
    setWorkerCount(8);
    releaseTools();
    ASSERT_TRUE(allFinished(jobs));
    // All asleep again: every worker has looked at the list since.
    ASSERT_TRUE(waitUntil([] { return jobList.busy.load() == 0; }));
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(slotThreadId(i), ids[i]) << "slot " << i;
    for (int i = 8; i < MAX_WORKERS; ++i)
        EXPECT_EQ(slotThreadId(i), 0u) << "slot " << i;
}

TEST_F(Workers, PausingAndResumingAtOnceLeavesAWorkerToPickJobs)
{
    for (int round = 0; round < 50; ++round) {
        setWorkerCount(1);
        setWorkerCount(0);
        setWorkerCount(1);
    }
    Job* job = add(file(L"late.png"), ACTION_OPTIMIZE_PNG);
    ASSERT_TRUE(allFinished({job}));
    EXPECT_EQ(job->state, JOB_DONE);
}

// Stops the pool on a thread of its own, so that a lost wake-up fails the test
// instead of hanging it; the workers are woken afterwards so that it still ends.
static bool stopAllWorkersWithin(DWORD limitMs, HANDLE heldWorker)
{
    HANDLE stopper = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { stopAllWorkers(); return 0; }, nullptr, 0, nullptr);
    if (!stopper)
        return false;
    Sleep(50); // the stop is under way while the worker is held
    ResumeThread(heldWorker);
    bool ended = WaitForSingleObject(stopper, limitMs) == WAIT_OBJECT_0;
    while (WaitForSingleObject(stopper, 10) != WAIT_OBJECT_0)
        WakeAllConditionVariable(&jobList.work);
    CloseHandle(stopper);
    return ended;
}

TEST_F(Workers, StoppingAllWorkersWakesAWorkerStillChoosing)
{
    // Many containers waiting for content that never ends make each choice
    // slow. Records only: no scratch folders, nothing to run.
    setWorkerCount(0);
    for (int i = 0; i < 20000; ++i) {
        TestJob fields;
        fields.pending = false;
        fields.append = true;
        Job* records[2];
        for (Job*& record : records) {
            record = createTestJob(fields);
            ASSERT_NE(record, nullptr);
        }
        records[1]->parent = records[0]; // pending, but never ready
        startWaiting(&jobList, records[0]);
    }
    // The one worker is woken and held (suspended) while it chooses, past its
    // look at the stop flag; the stop then begins and the worker goes on.
    int held = 0;
    int lost = 0;
    for (int attempt = 0; attempt < 50 && held < 5 && lost == 0; ++attempt) {
        setWorkerCount(1);
        ASSERT_TRUE(waitUntil([] { return jobList.busy.load() == 0; }));
        HANDLE worker = OpenThread(THREAD_SUSPEND_RESUME, FALSE, slotThreadId(0));
        ASSERT_NE(worker, nullptr);
        WakeAllConditionVariable(&jobList.work);
        DWORD start = GetTickCount();
        while (GetTickCount() - start < 1000 && TryEnterCriticalSection(&jobList.lock))
            LeaveCriticalSection(&jobList.lock);
        SuspendThread(worker);
        bool choosing = !TryEnterCriticalSection(&jobList.lock);
        if (!choosing)
            LeaveCriticalSection(&jobList.lock);
        held += choosing;
        if (!stopAllWorkersWithin(5000, worker))
            ++lost;
        CloseHandle(worker);
    }
    EXPECT_GT(held, 0) << "the worker was never caught choosing";
    EXPECT_EQ(lost, 0) << "the worker missed its wake-up and the stop waited for it";
}

TEST_F(HangingWorkers, AWorkerEndingAfterTheCountWasLoweredWakesOneForTheContainer)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
    setWorkerCount(1);
    Job* first = add(file(L"first.png"), ACTION_OPTIMIZE_PNG);
    ASSERT_TRUE(waitUntil([&] { return toolRunning(first); }));
    Job* container = add(file(L"box.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    container->ready.exchange(0);
    Job* content = add(file(L"inner.png"), ACTION_OPTIMIZE_PNG, container);
    setWorkerCount(2);
    ASSERT_TRUE(waitUntil([&] { return toolRunning(content) && tools.calls(TOOL_ECT).size() == 2; }));
    startWaiting(&jobList, container); // as after its first run
    terminateJobTool(first);
    // The first worker found nothing to take and sleeps; the second one's slot goes.
    ASSERT_TRUE(waitUntil([] { return jobList.busy.load() == 1; }));
    setWorkerCount(1);
    Sleep(100); // the first worker rescans after that change and sleeps again
    ASSERT_TRUE(waitUntil([] { return jobList.busy.load() == 1; }));
    terminateJobTool(content);
    EXPECT_TRUE(waitUntil([&] { return jobFinished(container); }, 20000))
        << "the container waits although its content has finished";
    EXPECT_EQ(container->state, JOB_FAILED) << logFileBytes(container);
}

TEST_F(Workers, AContainerThatStartsWaitingWithItsContentDoneWakesAWorker)
{
    ASSERT_TRUE(tools.install(TOOL_7Z, "call 1: mkdir x\n"));
    setWorkerCount(0);
    Job* container = add(file(L"empty.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    container->options[0] = 1;
    // Picked as a worker picks it; its first run happens on this thread.
    EnterCriticalSection(&jobList.lock);
    container->state = JOB_STARTING;
    container->ready.exchange(0);
    LeaveCriticalSection(&jobList.lock);
    ASSERT_TRUE(createLogFile(container));
    setWorkerCount(1);
    ASSERT_TRUE(waitUntil([] { return jobList.busy.load() == 0; })); // asleep, nothing to take
    runContainerJob(container, &jobList);
    EXPECT_TRUE(waitUntil([&] { return jobFinished(container); }, 20000))
        << "nobody was woken for the container that became ready";
    // Its second run began (what the double makes of the packing does not matter here).
    EXPECT_NE(logFileBytes(container).find("compressing \xE2\x80\xA6\n"), std::string::npos)
        << logFileBytes(container);
}

TEST_F(Workers, ContentJobsArePickedBeforeEarlierPendingJobs)
{
    setWorkerCount(0);
    Job* top = add(file(L"top.png"), ACTION_DELETE);
    Job* container = add(file(L"box.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    startWaiting(&jobList, container); // as a container waiting for its content
    Job* later = add(file(L"later.png"), ACTION_DELETE);
    Job* content = add(file(L"inner.png"), ACTION_DELETE, container);
    takeNotifications(window);
    setWorkerCount(1);
    ASSERT_TRUE(allFinished({top, container, later, content}));
    std::vector<Job*> expected = {content, container, top, later};
    EXPECT_EQ(finishOrder(), expected);
}

TEST_F(Workers, AContainerWaitsForTheContentOfItsContent)
{
    setWorkerCount(0);
    Job* container = add(file(L"outer.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    container->state = JOB_WAITING;
    Job* inner = add(file(L"inner.zip", "PK"), ACTION_EXTRACT_ZIP, container);
    inner->ready.exchange(0);
    inner->state = JOB_DONE; // an extraction finishes before its own content
    Job* deep = add(file(L"deep.png"), ACTION_DELETE, inner);
    deep->ready.exchange(0);

    EnterCriticalSection(&jobList.lock);
    EXPECT_FALSE(allContentFinished(&jobList, container));
    deep->state = JOB_FAILED;
    EXPECT_TRUE(allContentFinished(&jobList, container));
    EXPECT_FALSE(anyContentFailed(&jobList, container)); // only direct content counts
    EXPECT_TRUE(anyContentFailed(&jobList, inner));
    LeaveCriticalSection(&jobList.lock);
}

TEST_F(Workers, AContainerIsFinishedOnlyWhenAllItsContentIsWhateverOrderItEnds)
{
    setWorkerCount(0);
    Job* container = add(file(L"order.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    Job* first = add(file(L"first.png"), ACTION_DELETE, container);
    Job* nested = add(file(L"nested.zip", "PK"), ACTION_EXTRACT_ZIP, container);
    Job* last = add(file(L"last.png"), ACTION_DELETE, container);
    Job* other = add(file(L"other.png"), ACTION_DELETE);
    Job* deep = nullptr;
    // Each step ends content (or adds some); the answer after it.
    const struct {
        Job** job;
        bool add;
        bool finished;
        bool nestedFinished;
    } steps[] = {
        {&last, false, false, true},  // the later content ends first
        {&other, false, false, true}, // unrelated jobs do not count
        {&first, false, false, true},
        {&nested, false, true, true}, // all ended, for now
        {&deep, true, false, false},  // content of content added later counts again
        {&deep, false, true, true},
    };
    EnterCriticalSection(&jobList.lock);
    EXPECT_FALSE(allContentFinished(&jobList, container));
    LeaveCriticalSection(&jobList.lock);
    int number = 0;
    for (const auto& step : steps) {
        if (step.add) {
            *step.job = add(file(L"deep.png"), ACTION_DELETE, nested);
        } else {
            EnterCriticalSection(&jobList.lock);
            (*step.job)->ready.exchange(0);
            (*step.job)->state = JOB_DONE;
            LeaveCriticalSection(&jobList.lock);
        }
        EnterCriticalSection(&jobList.lock);
        EXPECT_EQ(allContentFinished(&jobList, container), step.finished) << "step " << number;
        EXPECT_EQ(allContentFinished(&jobList, nested), step.nestedFinished) << "step " << number;
        LeaveCriticalSection(&jobList.lock);
        ++number;
    }
}

TEST_F(Workers, ContentCanceledBeforeItRanDoesNotHoldItsContainerForever)
{
    setWorkerCount(0);
    Job* container = add(file(L"c.zip", "PK"), ACTION_OPTIMIZE_ZIP);
    container->state = JOB_WAITING;
    Job* content = add(file(L"c.png"), ACTION_DELETE, container);
    EnterCriticalSection(&jobList.lock);
    EXPECT_FALSE(allContentFinished(&jobList, container));
    content->ready.exchange(0);
    content->canceled.exchange(1);
    EXPECT_TRUE(allContentFinished(&jobList, container));
    EXPECT_TRUE(anyContentFailed(&jobList, container));
    LeaveCriticalSection(&jobList.lock);
}

TEST_F(Workers, DeleteJobs)
{
    const struct {
        const wchar_t* name;
        bool create;
        bool readOnly;
        uint8_t state;
        const char* log;
    } rows[] = {
        {L"Thumbs.db", true, true, JOB_DONE, "OK\n"},
        {L"plain.db", true, false, JOB_DONE, "OK\n"},
        {L"vanished.db", false, false, JOB_FAILED, "error\n"},
    };
    setWorkerCount(1);
    for (const auto& row : rows) {
        std::wstring path = folder + L"\\" + row.name;
        if (row.create) {
            ASSERT_TRUE(writeTestFile(path, "data"));
            if (row.readOnly) {
                ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
            }
        }
        Job* job = add(path, ACTION_DELETE);
        ASSERT_TRUE(allFinished({job}));
        EXPECT_EQ(job->state, row.state) << narrow(row.name);
        EXPECT_FALSE(testPathExists(path)) << narrow(row.name);
        EXPECT_EQ(logFileBytes(job), row.log) << narrow(row.name);
        EXPECT_EQ(job->optimizedSize, 0u) << "a deleted file is not stamped";
    }
}

TEST_F(Workers, AFormatPipelineStampsOnlyOnSuccess)
{
    const uint64_t created = 132500000000000000ull;
    const uint64_t written = 132500000012345678ull;
    const struct {
        const char* ect;
        bool readOnly;
        uint8_t state;
        uint64_t shrink;
    } rows[] = {
        {"", false, JOB_DONE, 0},                     // no gain: unchanged but stamped
        {"shrink @last 7\n", false, JOB_DONE, 7},     // smaller: replaced and stamped
        {"shrink @last 7\n", true, JOB_DONE, 7},      // read-only: replaced, and read-only again
        {"exit 2\n", false, JOB_FAILED, 0},           // tool error: untouched and unstamped
    };
    setWorkerCount(1);
    int number = 0;
    for (const auto& row : rows) {
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, row.ect));
        std::wstring path = file(L"stamp" + std::to_wstring(++number) + L".png");
        ASSERT_TRUE(setTestFileTime(path, created, written));
        if (row.readOnly) {
            ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        Job* job = add(path, ACTION_OPTIMIZE_PNG);
        ASSERT_TRUE(allFinished({job}));
        SCOPED_TRACE(row.ect);
        EXPECT_EQ(job->state, row.state);
        std::string log = logFileBytes(job);
        EXPECT_EQ(log.compare(0, LAUNCHING.size(), LAUNCHING), 0) << log;
        EXPECT_EQ(sizeOfPath(path.c_str()), tinyPng.size() - row.shrink);
        DWORD attributes = GetFileAttributesW(path.c_str());
        EXPECT_EQ((attributes & FILE_ATTRIBUTE_READONLY) != 0, row.readOnly);
        if (row.state == JOB_DONE) {
            EXPECT_EQ(testFileTime(path, false), markedTime(written));
            EXPECT_EQ(job->optimizedSize, tinyPng.size() - row.shrink);
        } else {
            EXPECT_EQ(testFileTime(path, false), written);
            EXPECT_EQ(job->optimizedSize, 0u);
        }
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(Workers, MarkOptimizedKeepsTheCreationTime)
{
    std::wstring path = file(L"mark.png");
    const uint64_t created = 131000000000000000ull;
    const uint64_t written = 131000000098765432ull;
    ASSERT_TRUE(setTestFileTime(path, created, written));
    Job job = {};
    job.path = const_cast<wchar_t*>(path.c_str());
    job.creationTime = created;
    job.lastWriteTime = written;
    ASSERT_TRUE(markOptimized(&job));
    EXPECT_EQ(testFileTime(path, false), markedTime(written));
    EXPECT_EQ(job.optimizedSize, tinyPng.size());
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(fileTimeValue(data.ftLastAccessTime), markedTime(written));

    Job missing = {};
    std::wstring gone = folder + L"\\gone.png";
    missing.path = const_cast<wchar_t*>(gone.c_str());
    EXPECT_FALSE(markOptimized(&missing));
    EXPECT_EQ(missing.optimizedSize, 0u);

    if (!creationTimesKept(folder))
        GTEST_SKIP() << "this file system keeps no creation time that is set (Wine on a Linux file system), "
                        "so keeping one cannot be observed";
    EXPECT_EQ(testFileTime(path, true), created);
}

TEST_F(Workers, AJobWhoseLogCannotBeCreatedFailsVisiblyWithoutRunning)
{
    setWorkerCount(0);
    Job* job = add(file(L"unlogged.png"), ACTION_OPTIMIZE_PNG);
    // The scratch folder vanished (a cleaner removed it): no log file can be made there.
    ASSERT_TRUE(deleteTree(job->scratchDir));
    takeNotifications(window);
    setWorkerCount(1);
    ASSERT_TRUE(allFinished({job}));
    EXPECT_EQ(job->state, JOB_FAILED);
    wchar_t* status = copyStatusLine(job);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, L"ERROR: cannot create the log file");
    release(status);
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());
    std::vector<Job*> expected = {job};
    EXPECT_EQ(finishOrder(), expected);
}

TEST_F(Workers, DispatchFollowsTheActionAndItsOptions)
{
    ASSERT_TRUE(tools.install(TOOL_OPTIPNG));
    ASSERT_TRUE(tools.install(TOOL_ARCHIPNG));
    const struct {
        Action action;
        uint8_t option1;
        const char* firstTool;
        bool launching;
    } rows[] = {
        {ACTION_OPTIMIZE_PNG, 1, TOOL_ECT, true},
        {ACTION_OPTIMIZE_PNG, 2, TOOL_OPTIPNG, true},
        {ACTION_CONVERT_TO_PNG, 1, TOOL_OPTIPNG, true},
        {ACTION_MINIFY_XML, 0, nullptr, false},
        {ACTION_MINIFY_SVG, 0, nullptr, true},
    };
    setWorkerCount(1);
    int number = 0;
    for (const auto& row : rows) {
        tools.clearCalls(TOOL_ECT);
        tools.clearCalls(TOOL_OPTIPNG);
        std::wstring path = file(L"dispatch" + std::to_wstring(++number) + L".png");
        setWorkerCount(0);
        Job* job = add(path, row.action);
        job->options[1] = row.option1;
        setWorkerCount(1);
        ASSERT_TRUE(allFinished({job}));
        SCOPED_TRACE(narrow(actionDisplayText(row.action)) + " option " + std::to_string(row.option1));
        std::string log = logFileBytes(job);
        EXPECT_EQ(log.compare(0, LAUNCHING.size(), LAUNCHING) == 0, row.launching) << log;
        if (row.firstTool) {
            std::vector<ToolCall> calls = tools.calls(row.firstTool);
            EXPECT_FALSE(calls.empty());
        }
        if (row.firstTool && std::string(row.firstTool) == TOOL_OPTIPNG && row.action == ACTION_OPTIMIZE_PNG) {
            EXPECT_TRUE(tools.calls(TOOL_ECT).empty()) << "the pipeline for 7z runs no ECT";
        }
    }
}

TEST_F(Workers, ContainerActionsGoToContainerProcessing)
{
    const Action containers[] = {ACTION_OPTIMIZE_ZIP, ACTION_OPTIMIZE_ZIP_LIKE, ACTION_OPTIMIZE_OOXML,
                                 ACTION_OPTIMIZE_ODF, ACTION_OPTIMIZE_EPUB, ACTION_OPTIMIZE_GZIP};
    const Action extractions[] = {ACTION_EXTRACT_ZIP, ACTION_EXTRACT_GZIP, ACTION_EXTRACT_RAR, ACTION_EXTRACT_7Z,
                                  ACTION_EXTRACT_DMG};
    for (int action = 0; action < ACTION_COUNT; ++action) {
        bool container = false;
        for (Action a : containers)
            container = container || a == action;
        bool extraction = false;
        for (Action a : extractions)
            extraction = extraction || a == action;
        EXPECT_EQ(isContainerAction(static_cast<uint8_t>(action)), container) << action;
        EXPECT_EQ(isExtractAction(static_cast<uint8_t>(action)), extraction) << action;
    }
}

} // namespace
