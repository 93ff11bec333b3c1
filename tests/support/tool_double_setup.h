#pragma once
// Test helpers around the tool double (tests/support/tool_double): a temporary
// tools folder that runTool uses while the sandbox lives, copies of the double
// under tool names, their behaviour files and what their runs recorded.
//
//   ToolSandbox tools;                          // runTool now starts from tools.toolsDir()
//   tools.install(TOOL_OPTIPNG, "stdout done\\n\nexit 0\n");
//   uint32_t code = runTool(TOOL_OPTIPNG, L"-o2 \"x.png\"", tools.workDir().c_str(), ...);
//   std::vector<ToolCall> calls = tools.calls(TOOL_OPTIPNG);
//
// Behaviour syntax: see the comment at the top of tool_double.cpp.
#include <windows.h>
#include <stdint.h>
#include <string>
#include <vector>
#include "jobs/job.h"
#include "support/test_job.h"

struct ToolCall {
    unsigned number; // 1 for the first run of that tool copy
    uint32_t processId;
    std::wstring commandLine; // exactly as the tool received it
    std::wstring workingDirectory;
    uint32_t priorityClass; // as GetPriorityClass reported it
    std::string standardInput; // the bytes read on standard input
    std::vector<std::wstring> arguments; // split like CommandLineToArgvW, program left out
};

std::wstring toolDoublePath();
std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& text);
// The same as readTestFile, writeTestFile and testPathExists (support/test_files.h).
std::string readBytes(const std::wstring& path);
bool writeBytes(const std::wstring& path, const std::string& bytes);
bool pathExists(const std::wstring& path);

class ToolSandbox {
public:
    ToolSandbox();
    ~ToolSandbox();
    ToolSandbox(const ToolSandbox&) = delete;
    ToolSandbox& operator=(const ToolSandbox&) = delete;

    bool ready() const { return ready_; }
    const std::wstring& root() const { return root_; }
    // Ends with a backslash, like toolsDirectory.
    const std::wstring& toolsDir() const { return tools_; }
    // A folder for the test's own files; no trailing backslash.
    const std::wstring& workDir() const { return work_; }
    std::wstring work(const std::wstring& name) const { return work_ + L"\\" + name; }

    // Copies the double under toolName (subfolders are created) and writes its
    // behaviour; an empty behaviour removes the file, so the tool just exits with 0.
    bool install(const char* toolName, const std::string& behavior = std::string());
    bool setBehavior(const char* toolName, const std::string& behavior);
    std::wstring toolPath(const char* toolName) const;
    // "\"<tools dir><name>\" ", the start of every command line runTool builds.
    std::wstring commandPrefix(const char* toolName) const;
    std::vector<ToolCall> calls(const char* toolName) const;
    void clearCalls(const char* toolName);

private:
    std::wstring base(const char* toolName) const;
    bool ready_;
    std::wstring root_;
    std::wstring tools_;
    std::wstring work_;
    std::wstring previousTools_;
};

// Every byte appended to the job's log so far, read from its log file.
std::string logFileBytes(const Job* job);
// A duplicate of the job's tool process, taken under the job's lock once the
// runner has recorded it; null when none was recorded within the limit.
HANDLE waitForToolProcess(Job* job, DWORD limitMilliseconds = 60000);
