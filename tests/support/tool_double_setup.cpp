#include "support/tool_double_setup.h"
#include "base/file_util.h"
#include "jobs/scratch.h"
#include "runner/job_log.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

std::wstring widen(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                     nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &text[0], length);
    return text;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length,
                        nullptr, nullptr);
    return bytes;
}

std::wstring toolDoublePath()
{
    return wineHostPath(TOOL_DOUBLE_PATH);
}

std::string readBytes(const std::wstring& path)
{
    return readTestFile(path);
}

bool writeBytes(const std::wstring& path, const std::string& bytes)
{
    return writeTestFile(path, bytes);
}

bool pathExists(const std::wstring& path)
{
    return testPathExists(path);
}

static bool createFoldersFor(const std::wstring& path)
{
    for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
        std::wstring folder = path.substr(0, at);
        if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

ToolSandbox::ToolSandbox() : ready_(false)
{
    previousTools_ = toolsDirectory;
    wchar_t temporary[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, temporary);
    if (length == 0 || length > MAX_PATH)
        return;
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100 && !ready_; ++attempt) {
        wchar_t name[64];
        swprintf(name, 64, L"vell-tools-%08lX-%04lX", GetCurrentProcessId(),
                 static_cast<unsigned long>(InterlockedIncrement(&counter)));
        root_ = std::wstring(temporary) + name;
        ready_ = CreateDirectoryW(root_.c_str(), nullptr) != 0;
    }
    if (!ready_)
        return;
    tools_ = root_ + L"\\tools\\";
    work_ = root_ + L"\\work";
    ready_ = CreateDirectoryW(tools_.c_str(), nullptr) && CreateDirectoryW(work_.c_str(), nullptr);
    setToolsDirectory(tools_.c_str());
}

ToolSandbox::~ToolSandbox()
{
    setToolsDirectory(previousTools_.c_str());
    if (!root_.empty())
        deleteTree(root_.c_str());
}

std::wstring ToolSandbox::toolPath(const char* toolName) const
{
    return tools_ + widen(toolName);
}

std::wstring ToolSandbox::commandPrefix(const char* toolName) const
{
    return L"\"" + toolPath(toolName) + L"\" ";
}

std::wstring ToolSandbox::base(const char* toolName) const
{
    std::wstring path = toolPath(toolName);
    if (path.size() > 4 && _wcsicmp(path.c_str() + path.size() - 4, L".exe") == 0)
        path.resize(path.size() - 4);
    return path;
}

bool ToolSandbox::install(const char* toolName, const std::string& behavior)
{
    std::wstring path = toolPath(toolName);
    if (!createFoldersFor(path))
        return false;
    if (!CopyFileW(toolDoublePath().c_str(), path.c_str(), FALSE))
        return false;
    return setBehavior(toolName, behavior);
}

bool ToolSandbox::setBehavior(const char* toolName, const std::string& behavior)
{
    std::wstring path = base(toolName) + L".behavior";
    if (behavior.empty()) {
        DeleteFileW(path.c_str());
        return !pathExists(path);
    }
    return writeBytes(path, behavior);
}

void ToolSandbox::clearCalls(const char* toolName)
{
    DeleteFileW((base(toolName) + L".record").c_str());
}

std::vector<ToolCall> ToolSandbox::calls(const char* toolName) const
{
    std::vector<ToolCall> calls;
    std::string records = readBytes(base(toolName) + L".record");
    size_t at = 0;
    ToolCall call = ToolCall();
    while (at < records.size()) {
        size_t end = records.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string line = records.substr(at, end - at);
        if (line.compare(0, 5, "call ") == 0) {
            call = ToolCall();
            call.number = static_cast<unsigned>(strtoul(line.c_str() + 5, nullptr, 10));
            at = end + 1;
            continue;
        }
        if (line == "end") {
            calls.push_back(call);
            at = end + 1;
            continue;
        }
        // "key LENGTH:" and LENGTH bytes, then a line feed.
        size_t blank = records.find(' ', at);
        size_t colon = records.find(':', at);
        if (blank == std::string::npos || colon == std::string::npos || blank > colon)
            break;
        std::string key = records.substr(at, blank - at);
        size_t length = strtoul(records.c_str() + blank + 1, nullptr, 10);
        std::string value = records.substr(colon + 1, length);
        at = colon + 1 + length + 1;
        if (key == "pid")
            call.processId = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 10));
        else if (key == "commandLine")
            call.commandLine = widen(value);
        else if (key == "cwd")
            call.workingDirectory = widen(value);
        else if (key == "priority")
            call.priorityClass = static_cast<uint32_t>(strtoul(value.c_str(), nullptr, 16));
        else if (key == "stdin")
            call.standardInput = value;
        else if (key == "arg")
            call.arguments.push_back(widen(value));
    }
    return calls;
}

std::string logFileBytes(const Job* job)
{
    std::string bytes;
    wchar_t* path = logFilePath(job);
    if (path) {
        bytes = readBytes(path);
        release(path);
    }
    return bytes;
}

HANDLE waitForToolProcess(Job* job, DWORD limitMilliseconds)
{
    for (DWORD waited = 0; waited < limitMilliseconds; waited += 5) {
        HANDLE copy = nullptr;
        AcquireSRWLockShared(&job->toolLock);
        if (job->toolProcess)
            DuplicateHandle(GetCurrentProcess(), job->toolProcess, GetCurrentProcess(), &copy, 0,
                            FALSE, DUPLICATE_SAME_ACCESS);
        ReleaseSRWLockShared(&job->toolLock);
        if (copy)
            return copy;
        Sleep(5);
    }
    return nullptr;
}
