#include "runner/tool_runner.h"
#include "base/file_util.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>

namespace {

std::string header(const char* toolName, const std::string& arguments = std::string())
{
    return "\n==== launching: ====\n" + std::string(toolName) +
           (arguments.empty() ? std::string() : " " + arguments) + "\n";
}

std::string endsWith(const std::string& text, size_t count)
{
    return text.size() < count ? text : text.substr(text.size() - count);
}

HANDLE openScratchFile(const std::wstring& path, DWORD disposition)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, 0, nullptr);
    return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

class ToolRunnerTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        job = newJob(L"job");
        ASSERT_NE(job, nullptr);
    }

    void TearDown() override
    {
        for (Job* each : jobs)
            destroyTestJob(each);
    }

    // A job with a scratch folder of its own below the work folder.
    Job* newJob(const std::wstring& folder)
    {
        std::wstring path = tools.work(folder);
        CreateDirectoryW(path.c_str(), nullptr);
        Job* created = createTestJob(path);
        if (created)
            jobs.push_back(created);
        return created;
    }

    uint32_t run(const char* toolName, const wchar_t* arguments, Job* target = nullptr,
                 HANDLE input = nullptr, HANDLE output = nullptr, bool lowPriority = false)
    {
        Job* which = target ? target : job;
        return runTool(toolName, arguments, which->scratchDir, input, output, lowPriority,
                       &which->sink);
    }

    std::string log(Job* target = nullptr) { return logFileBytes(target ? target : job); }

    ToolSandbox tools;
    Job* job = nullptr;
    std::vector<Job*> jobs;
};

TEST_F(ToolRunnerTest, CommandLineAndLaunchHeaderAreExact)
{
    ASSERT_TRUE(tools.install(TOOL_OPTIPNG));
    EXPECT_EQ(run(TOOL_OPTIPNG, L"-o2 \"x y.png\""), 0u);
    std::vector<ToolCall> calls = tools.calls(TOOL_OPTIPNG);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine, tools.commandPrefix(TOOL_OPTIPNG) + L"-o2 \"x y.png\"");
    EXPECT_EQ(calls[0].workingDirectory, std::wstring(job->scratchDir));
    ASSERT_EQ(calls[0].arguments.size(), 2u);
    EXPECT_EQ(calls[0].arguments[1], L"x y.png");
    EXPECT_EQ(calls[0].standardInput, "");
    // A tool that prints nothing: the header runs straight into the exit-code line.
    EXPECT_EQ(log(), header(TOOL_OPTIPNG, "-o2 \"x y.png\"") + "\nexit code 00000000\n");
}

TEST_F(ToolRunnerTest, WithoutArgumentsTheCommandLineEndsWithOneBlank)
{
    ASSERT_TRUE(tools.install(TOOL_ECT));
    EXPECT_EQ(run(TOOL_ECT, nullptr), 0u);
    EXPECT_EQ(run(TOOL_ECT, L""), 0u);
    std::vector<ToolCall> calls = tools.calls(TOOL_ECT);
    ASSERT_EQ(calls.size(), 2u);
    for (const ToolCall& call : calls) {
        EXPECT_EQ(call.commandLine, tools.commandPrefix(TOOL_ECT));
        EXPECT_TRUE(call.arguments.empty());
    }
    std::string once = header(TOOL_ECT) + "\nexit code 00000000\n";
    EXPECT_EQ(log(), once + once);
}

TEST_F(ToolRunnerTest, ToolInASubfolderAndWideArguments)
{
    ASSERT_TRUE(tools.install(TOOL_PERL));
    std::wstring arguments = L"\"" + tools.toolsDir() + L"ExifTool\\exiftool\" -n \"caf\u00e9.jpg\"";
    EXPECT_EQ(run(TOOL_PERL, arguments.c_str()), 0u);
    std::vector<ToolCall> calls = tools.calls(TOOL_PERL);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine, tools.commandPrefix(TOOL_PERL) + arguments);
    EXPECT_EQ(log(), header(TOOL_PERL, narrow(arguments)) + "\nexit code 00000000\n");
}

TEST_F(ToolRunnerTest, OutputReachesTheLogVerbatim)
{
    ASSERT_TRUE(tools.install(TOOL_ADVZIP, "stdout one\\r\\ntwo\\b\\b3\\xE2\\x80\\xA6\\n\n"
                                           "stderr problem\\n\n"));
    EXPECT_EQ(run(TOOL_ADVZIP, L"-z"), 0u);
    EXPECT_EQ(log(), header(TOOL_ADVZIP, "-z") +
                         "one\r\ntwo\b\b3\xE2\x80\xA6\nproblem\n\nexit code 00000000\n");
}

// A helper that the tool leaves running holds the output pipe for a while. What
// the helper and the tool wrote before the tool's end reaches the log whole
// either way. Without caller files the runner returns at the tool's end; with a
// file it waits until the helper lets go, so the caller can use the file at once.
TEST_F(ToolRunnerTest, AHelperHoldingThePipeDelaysOnlyACallerWithFiles)
{
    const struct {
        const char* tool;
        bool callerFile;
        const char* holdMilliseconds;
        bool helperDoneAtReturn;
    } cases[] = {{TOOL_OPTIPNG, false, "8000", false}, {TOOL_ADVZIP, true, "3000", true}};
    const std::string digits(30000, '7');
    for (const auto& each : cases) {
        SCOPED_TRACE(each.callerFile ? "caller file" : "no caller file");
        Job* target = newJob(each.callerFile ? L"with-file" : L"without-file");
        ASSERT_NE(target, nullptr);
        std::wstring done = std::wstring(target->scratchDir) + L"\\holder.done";
        ASSERT_TRUE(tools.install(each.tool, std::string("spawn-holder ") + each.holdMilliseconds +
                                                    " from the helper\\n\nstderr-repeat 3000 7777777777\n"));
        HANDLE output = each.callerFile ? openScratchFile(tools.work(L"held.txt"), CREATE_ALWAYS) : nullptr;
        EXPECT_EQ(run(each.tool, nullptr, target, nullptr, output), 0u);
        EXPECT_EQ(pathExists(done), each.helperDoneAtReturn);
        std::string expected = header(each.tool) + (each.callerFile ? "" : "from the helper\n") + digits +
                               "\nexit code 00000000\n";
        EXPECT_EQ(logFileBytes(target), expected);
        if (output)
            CloseHandle(output);
        // The helper's own end, before the job's folder goes.
        for (int waited = 0; waited < 3000 && !pathExists(done); ++waited)
            Sleep(10);
        EXPECT_TRUE(pathExists(done));
    }
}

TEST_F(ToolRunnerTest, StandardOutputGoesToTheGivenFileAndStandardErrorToTheLog)
{
    ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "stdout into the file\\n\nstderr into the log\\n\n"));
    HANDLE output = openScratchFile(tools.work(L"out.txt"), CREATE_ALWAYS);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(run(TOOL_DEFLOPT, L"/a", nullptr, nullptr, output), 0u);
    // The caller keeps the handle and reads through it.
    char buffer[64] = {};
    uint64_t length = readAtOffset(output, 0, buffer, sizeof(buffer), nullptr);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "into the file\n");
    CloseHandle(output);
    EXPECT_EQ(log(), header(TOOL_DEFLOPT, "/a") + "into the log\n\nexit code 00000000\n");
}

TEST_F(ToolRunnerTest, StandardInputComesFromTheGivenFile)
{
    ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
    ASSERT_TRUE(writeBytes(tools.work(L"in.png"), std::string("PNG\0data", 8)));
    HANDLE input = openScratchFile(tools.work(L"in.png"), OPEN_EXISTING);
    HANDLE output = openScratchFile(tools.work(L"out.png"), CREATE_ALWAYS);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(run(TOOL_DEFLUFF, nullptr, nullptr, input, output), 0u);
    CloseHandle(input);
    CloseHandle(output);
    EXPECT_EQ(readBytes(tools.work(L"out.png")), std::string("PNG\0data", 8));
    std::vector<ToolCall> calls = tools.calls(TOOL_DEFLUFF);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].standardInput, std::string("PNG\0data", 8));
}

TEST_F(ToolRunnerTest, OneHandleAsInputAndOutputIsListedOnce)
{
    ASSERT_TRUE(tools.install(TOOL_LEANIFY, "stdout x\n"));
    HANDLE file = openScratchFile(tools.work(L"both.bin"), CREATE_ALWAYS);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(run(TOOL_LEANIFY, nullptr, nullptr, file, file), 0u);
    CloseHandle(file);
    EXPECT_EQ(tools.calls(TOOL_LEANIFY).size(), 1u);
}

TEST_F(ToolRunnerTest, OutputAfterANulIsDropped)
{
    ASSERT_TRUE(tools.install(TOOL_FLAC, "stdout kept\\0dropped\\n\n"));
    EXPECT_EQ(run(TOOL_FLAC, nullptr), 0u);
    EXPECT_EQ(log(), header(TOOL_FLAC) + "kept\nexit code 00000000\n");
}

TEST_F(ToolRunnerTest, LongOutputArrivesWhole)
{
    ASSERT_TRUE(tools.install(TOOL_7Z, "stdout-repeat 3000 0123456789abcdef\\r\\n\nstderr last\\n\n"));
    EXPECT_EQ(run(TOOL_7Z, L"t"), 0u);
    std::string expected;
    for (int i = 0; i < 3000; ++i)
        expected += "0123456789abcdef\r\n";
    EXPECT_EQ(log(), header(TOOL_7Z, "t") + expected + "last\n\nexit code 00000000\n");
    EXPECT_EQ(std::string(job->logData + job->statusLineStart,
                          static_cast<size_t>(job->statusLineLength)),
              "exit code 00000000");
}

struct ExitCase {
    uint32_t code;
    const char* behavior;
    const char* line;
};

TEST_F(ToolRunnerTest, ExitCodesAreReturnedAndLoggedInHex)
{
    const ExitCase table[] = {
        {0, "exit 0\n", "\nexit code 00000000\n"},
        {1, "exit 1\n", "\nexit code 00000001\n"},
        {255, "exit 255\n", "\nexit code 000000FF\n"},
        {0xC0000005, "exit 0xC0000005\n", "\nexit code C0000005\n"},
    };
    ASSERT_TRUE(tools.install(TOOL_METAFLAC));
    std::string expected;
    for (const ExitCase& row : table) {
        ASSERT_TRUE(tools.setBehavior(TOOL_METAFLAC, row.behavior));
        EXPECT_EQ(run(TOOL_METAFLAC, nullptr), row.code) << row.behavior;
        expected += header(TOOL_METAFLAC) + row.line;
    }
    EXPECT_EQ(log(), expected);
}

// The line and the job's status name the missing file, a subfolder's tool too.
TEST_F(ToolRunnerTest, MissingToolIsNamedInTheLogAndTheStatus)
{
    EXPECT_EQ(run(TOOL_FLEXIGIF, L"-p \"a.gif\""), ToolLaunchFailed);
    EXPECT_EQ(log(), header(TOOL_FLEXIGIF, "-p \"a.gif\"") +
                         "ERROR: cannot launch tools\\flexiGIF.exe (not found)\n");
    EXPECT_EQ(job->toolProcess, nullptr);
    wchar_t* status = copyStatusLine(job);
    ASSERT_NE(status, nullptr);
    EXPECT_STREQ(status, L"ERROR: cannot launch tools\\flexiGIF.exe (not found)");
    release(status);
    run(TOOL_PERL, nullptr);
    const std::string perlLine = "ERROR: cannot launch tools\\Perl\\perl.exe (not found)\n";
    EXPECT_EQ(endsWith(log(), perlLine.size()), perlLine);
}

TEST_F(ToolRunnerTest, CanceledJobStartsNothing)
{
    ASSERT_TRUE(tools.install(TOOL_OPTIPNG));
    job->canceled.exchange(1);
    EXPECT_EQ(run(TOOL_OPTIPNG, L"-o7"), ToolAborted);
    EXPECT_EQ(ToolAborted, 0xFFFFFFFFu);
    EXPECT_EQ(log(), header(TOOL_OPTIPNG, "-o7") + "ERROR: aborted per user request\n");
    EXPECT_TRUE(tools.calls(TOOL_OPTIPNG).empty());
}

TEST_F(ToolRunnerTest, CancelEndsAHangingTool)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "stdout working\\n\nhang\n"));
    std::atomic<uint32_t> result(0);
    std::thread worker([&] { result = run(TOOL_GIFSICLE, L"-O3"); });
    HANDLE process = waitForToolProcess(job);
    ASSERT_NE(process, nullptr);
    for (int waited = 0; waited < 2000 && log().find("working\n") == std::string::npos; ++waited)
        Sleep(5);
    job->canceled.exchange(1);
    terminateJobTool(job);
    // The tool is gone by the time the cancel returns.
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process, &code));
    EXPECT_EQ(code, ToolKilledExitCode);
    CloseHandle(process);
    worker.join();
    EXPECT_EQ(result.load(), ToolKilledExitCode);
    EXPECT_EQ(job->toolProcess, nullptr);
    std::string text = log();
    EXPECT_EQ(text.substr(0, header(TOOL_GIFSICLE, "-O3").size()), header(TOOL_GIFSICLE, "-O3"));
    EXPECT_NE(text.find("working\n"), std::string::npos);
    EXPECT_EQ(endsWith(text, 10), "\ncanceled\n");
}

// Waits until the tool double has recorded its run number `count`, which it does
// once it is past its start-up. (Under Wine a tool killed while it is still
// starting leaves its console host behind for good, holding the test's output.)
bool waitForCalls(const ToolSandbox& tools, const char* toolName, size_t count)
{
    for (int waited = 0; waited < 20000; ++waited) {
        if (tools.calls(toolName).size() >= count)
            return true;
        Sleep(1);
    }
    return false;
}

// The cancel arrives around the tool's natural end: just before it, while the
// runner reports the end, or after the job has forgotten the process.
TEST_F(ToolRunnerTest, CancelRacingTheToolsEnd)
{
    ASSERT_TRUE(tools.install(TOOL_MP3PACKER, "sleep 3\nexit 7\n"));
    const int iterations = 100;
    int killed = 0, finished = 0;
    for (int i = 0; i < iterations; ++i) {
        Job* racer = newJob(L"race" + std::to_wstring(i));
        ASSERT_NE(racer, nullptr);
        std::atomic<uint32_t> result(0);
        std::thread worker([&] { result = run(TOOL_MP3PACKER, nullptr, racer); });
        ASSERT_TRUE(waitForCalls(tools, TOOL_MP3PACKER, static_cast<size_t>(i) + 1));
        Sleep(static_cast<DWORD>(i % 8));
        racer->canceled.exchange(1);
        terminateJobTool(racer);
        EXPECT_EQ(racer->toolProcess, nullptr);
        worker.join();
        EXPECT_EQ(racer->toolProcess, nullptr);
        std::string text = log(racer);
        EXPECT_TRUE(result == 7 || result == ToolKilledExitCode) << result;
        result == 7 ? ++finished : ++killed;
        // A tool that ended on its own before the cancel keeps its exit-code line.
        if (result == ToolKilledExitCode || endsWith(text, 20) != "\nexit code 00000007\n") {
            EXPECT_EQ(endsWith(text, 10), "\ncanceled\n");
        }
        // Keep the number of open log files small.
        closeLogFile(racer);
    }
    EXPECT_EQ(killed + finished, iterations);
    printf("cancel race: %d killed, %d finished\n", killed, finished);
}

// A cancel that finds no recorded process (the tool is being created) must not
// be lost: the start report terminates the tool itself.
struct LateStart {
    Job* job;
    const ToolSandbox* tools;
};

bool cancelBeforeStartIsRecorded(void* context, uint32_t code, uintptr_t value)
{
    LateStart* late = static_cast<LateStart*>(context);
    if (code == SINK_TOOL_STARTED) {
        waitForCalls(*late->tools, TOOL_OPTIPNG, 1);
        late->job->canceled.exchange(1);
        terminateJobTool(late->job);
    }
    return jobReport(late->job, code, value);
}

TEST_F(ToolRunnerTest, CancelBeforeTheStartIsRecordedStillEndsTheTool)
{
    ASSERT_TRUE(tools.install(TOOL_OPTIPNG, "hang\n"));
    LateStart late = {job, &tools};
    ErrorSink sink = {&late, cancelBeforeStartIsRecorded};
    EXPECT_EQ(runTool(TOOL_OPTIPNG, nullptr, job->scratchDir, nullptr, nullptr, false, &sink),
              ToolKilledExitCode);
    EXPECT_EQ(job->toolProcess, nullptr);
    EXPECT_EQ(log(), header(TOOL_OPTIPNG) + "\ncanceled\n");
}

TEST_F(ToolRunnerTest, LowPriorityRunsInTheIdleClass)
{
    ASSERT_TRUE(tools.install(TOOL_ARCHIPNG));
    EXPECT_EQ(run(TOOL_ARCHIPNG, nullptr, nullptr, nullptr, nullptr, true), 0u);
    EXPECT_EQ(run(TOOL_ARCHIPNG, nullptr, nullptr, nullptr, nullptr, false), 0u);
    std::vector<ToolCall> calls = tools.calls(TOOL_ARCHIPNG);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].priorityClass, static_cast<uint32_t>(IDLE_PRIORITY_CLASS));
    EXPECT_EQ(calls[1].priorityClass, static_cast<uint32_t>(NORMAL_PRIORITY_CLASS));
}

// True when the read end of the pipe reports that no write end is open any more.
bool pipeIsBroken(HANDLE readEnd)
{
    DWORD available = 0;
    return !PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) &&
           GetLastError() == ERROR_BROKEN_PIPE;
}

// Under Wine the console host of a child holds what the child inherited for a
// moment after the child has ended.
bool waitForBrokenPipe(HANDLE readEnd)
{
    for (int waited = 0; waited < 400; ++waited) {
        if (pipeIsBroken(readEnd))
            return true;
        Sleep(5);
    }
    return false;
}

TEST_F(ToolRunnerTest, ToolsInheritOnlyTheirOwnHandles)
{
    ASSERT_TRUE(tools.install(TOOL_MOZJPEGTRAN, "hang\n"));
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};

    // The check itself: a child started with plain inheritance keeps the pipe open.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    std::wstring commandLine = tools.commandPrefix(TOOL_MOZJPEGTRAN);
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION plain = {};
    ASSERT_TRUE(CreateProcessW(tools.toolPath(TOOL_MOZJPEGTRAN).c_str(), &commandLine[0], nullptr,
                               nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                               &plain));
    CloseHandle(writeEnd);
    ASSERT_TRUE(waitForCalls(tools, TOOL_MOZJPEGTRAN, 1));
    EXPECT_FALSE(pipeIsBroken(readEnd));
    TerminateProcess(plain.hProcess, 1);
    WaitForSingleObject(plain.hProcess, INFINITE);
    CloseHandle(plain.hProcess);
    CloseHandle(plain.hThread);
    EXPECT_TRUE(waitForBrokenPipe(readEnd));
    CloseHandle(readEnd);

    // A tool started by the runner while another inheritable pipe is open.
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inheritable, 0));
    std::atomic<uint32_t> result(0);
    std::thread worker([&] { result = run(TOOL_MOZJPEGTRAN, nullptr); });
    ASSERT_TRUE(waitForCalls(tools, TOOL_MOZJPEGTRAN, 2));
    CloseHandle(writeEnd);
    EXPECT_TRUE(pipeIsBroken(readEnd));
    job->canceled.exchange(1);
    terminateJobTool(job);
    worker.join();
    CloseHandle(readEnd);
    EXPECT_EQ(result.load(), ToolKilledExitCode);
}

// Counts the broken-pipe reports of runs, which only an output pipe that every
// holder has let go gives, and passes everything on to the job.
struct BrokenPipeCount {
    Job* job;
    int brokenPipes;
};

bool countBrokenPipe(void* context, uint32_t code, uintptr_t value)
{
    BrokenPipeCount* count = static_cast<BrokenPipeCount*>(context);
    if (code == SINK_SYSTEM_ERROR && value == ERROR_BROKEN_PIPE)
        ++count->brokenPipes;
    return report(&count->job->sink, code, value);
}

// Tools of two jobs started at the same moment: every run of the quick job ends
// while the other job's tool is still running, so neither holds the other's pipe.
TEST_F(ToolRunnerTest, ToolsStartedTogetherDoNotHoldEachOthersPipes)
{
    ASSERT_TRUE(tools.install(TOOL_ECT, "hang\n"));
    ASSERT_TRUE(tools.install(TOOL_OPTIPNG, "stdout quick\\n\n"));
    Job* slowJob = newJob(L"slow");
    Job* quickJob = newJob(L"quick");
    ASSERT_NE(slowJob, nullptr);
    ASSERT_NE(quickJob, nullptr);
    std::atomic<int> started(0);
    std::atomic<uint32_t> slowResult(0);
    std::thread slow([&] {
        ++started;
        while (started.load() < 2)
            YieldProcessor();
        slowResult = run(TOOL_ECT, nullptr, slowJob);
    });
    BrokenPipeCount quickEnds = {quickJob, 0};
    ErrorSink quickSink = {&quickEnds, countBrokenPipe};
    std::thread quick([&] {
        ++started;
        while (started.load() < 2)
            YieldProcessor();
        // Back-to-back starts keep a pipe of this thread open while the slow
        // tool is being created. Given a file, the runner waits for the pipe to
        // break, so each run's end says whether anyone else held it.
        HANDLE output = openScratchFile(tools.work(L"quick.txt"), CREATE_ALWAYS);
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(runTool(TOOL_OPTIPNG, nullptr, quickJob->scratchDir, nullptr, output, false, &quickSink), 0u);
        if (output)
            CloseHandle(output);
    });
    quick.join();
    ASSERT_TRUE(waitForCalls(tools, TOOL_ECT, 1));
    EXPECT_EQ(tools.calls(TOOL_OPTIPNG).size(), 6u);
    // Only a pipe that no other process holds breaks when its tool ends; a pipe the
    // slow tool had inherited would end by the runner's time limit instead.
    EXPECT_EQ(quickEnds.brokenPipes, 6);
    slowJob->canceled.exchange(1);
    terminateJobTool(slowJob);
    slow.join();
    EXPECT_EQ(slowResult.load(), ToolKilledExitCode);
}

TEST_F(ToolRunnerTest, OverlongCommandLineIsRefused)
{
    ASSERT_TRUE(tools.install(TOOL_ADVZIP));
    size_t prefixLength = tools.commandPrefix(TOOL_ADVZIP).size();
    std::wstring arguments(32767 - prefixLength, L'a');
    EXPECT_EQ(run(TOOL_ADVZIP, arguments.c_str()), ToolLaunchFailed);
    EXPECT_EQ(log(), header(TOOL_ADVZIP, narrow(arguments)) + "ERROR: command line too long\n");
    EXPECT_TRUE(tools.calls(TOOL_ADVZIP).empty());
}

TEST_F(ToolRunnerTest, LongestCommandLineIsNotRefused)
{
    ASSERT_TRUE(tools.install(TOOL_ADVZIP));
    size_t prefixLength = tools.commandPrefix(TOOL_ADVZIP).size();
    std::wstring arguments(32766 - prefixLength, L'a');
    EXPECT_EQ(run(TOOL_ADVZIP, arguments.c_str()), 0u) << log();
    EXPECT_EQ(log().find("too long"), std::string::npos);
    std::vector<ToolCall> calls = tools.calls(TOOL_ADVZIP);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].commandLine.size(), 32766u);
    EXPECT_EQ(calls[0].commandLine, tools.commandPrefix(TOOL_ADVZIP) + arguments);
}

TEST_F(ToolRunnerTest, OverlongToolPathIsRefused)
{
    std::string name(296 - tools.toolsDir().size(), 'n');
    EXPECT_EQ(run(name.c_str(), nullptr), ToolLaunchFailed);
    EXPECT_EQ(log(), header(name.c_str()) + "ERROR: tool path too long\n");
    // One unit shorter is composed and merely missing.
    name.pop_back();
    EXPECT_EQ(run(name.c_str(), nullptr), ToolLaunchFailed);
    std::string line = "ERROR: cannot launch tools\\" + name + " (not found)\n";
    EXPECT_EQ(endsWith(log(), line.size()), line);
}

TEST(ToolsDirectory, IsTheProgramFolderWithTools)
{
    std::wstring saved = toolsDirectory;
    initToolsDirectory();
    wchar_t program[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
    std::wstring expected(program, length);
    expected = expected.substr(0, expected.find_last_of(L"\\/") + 1) + L"tools\\";
    EXPECT_EQ(std::wstring(toolsDirectory), expected);
    setToolsDirectory(saved.c_str());
}

TEST(ToolsDirectory, AFolderThatDoesNotFitIsRefused)
{
    std::wstring saved = toolsDirectory;
    setToolsDirectory(L"C:\\short\\");
    std::wstring tooLong = L"C:\\" + std::wstring(300, L'x') + L"\\";
    setToolsDirectory(tooLong.c_str());
    EXPECT_EQ(std::wstring(toolsDirectory), L"C:\\short\\");
    setToolsDirectory(saved.c_str());
}

TEST(ToolNames, EveryToolIsListedOnce)
{
    EXPECT_EQ(TOOL_FILE_COUNT, 17u);
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i) {
        for (size_t j = i + 1; j < TOOL_FILE_COUNT; ++j)
            EXPECT_STRNE(TOOL_FILES[i], TOOL_FILES[j]);
    }
    EXPECT_STREQ(TOOL_PERL, "Perl\\perl.exe");
    EXPECT_STREQ(TOOL_EXIFTOOL_SCRIPT, "ExifTool\\exiftool");
}

} // namespace
