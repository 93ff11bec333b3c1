#include "runner/tool_runner.h"
#include "base/file_util.h"
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// The program path is read with a limit of 256 units; cut after its last
// separator (at most 255 units) and followed by "tools\" it needs 262.
const size_t TOOLS_DIRECTORY_ROOM = 262;
const DWORD MODULE_PATH_LIMIT = 256;
const size_t APPLICATION_PATH_ROOM = 296; // 295 units and the terminator
// CreateProcess takes at most 32,766 units and the terminator; Wine cuts a longer
// line silently, so the tool would get other arguments than the pipeline named.
const size_t COMMAND_LINE_ROOM = 32767;
const DWORD CHUNK_LENGTH = 2048;
const size_t MAX_INHERITED_HANDLES = 3;
// How long the output loop waits for the tool's end while the pipe is empty.
const DWORD OUTPUT_POLL_MILLISECONDS = 15;
// How long the output loop waits for the pipe to break once the tool has ended.
// Under Wine the console host of a tool started without a window lets go of the
// tool's handles some 50 ms after it, and seconds later on a loaded machine; until
// then the caller cannot reuse the tool's output file. Only a host that outlives a
// tool killed while starting takes the whole wait, and a cancelled job skips it.
const ULONGLONG AFTER_END_GRACE_MILLISECONDS = 10000;

wchar_t toolsDirectory[TOOLS_DIRECTORY_ROOM];

void initToolsDirectory()
{
    wchar_t modulePath[MODULE_PATH_LIMIT];
    DWORD length = GetModuleFileNameW(nullptr, modulePath, MODULE_PATH_LIMIT);
    // A path that did not fit comes back cut, and on older systems without its
    // terminator; either way only the part up to the last separator is kept.
    if (length >= MODULE_PATH_LIMIT)
        length = MODULE_PATH_LIMIT - 1;
    size_t folderLength = 0;
    for (DWORD i = 0; i < length; ++i) {
        if (modulePath[i] == L'\\' || modulePath[i] == L'/')
            folderLength = i + 1;
    }
    const wchar_t suffix[] = L"tools\\";
    const size_t suffixLength = sizeof(suffix) / sizeof(suffix[0]) - 1;
    if (folderLength + suffixLength + 1 > TOOLS_DIRECTORY_ROOM)
        folderLength = TOOLS_DIRECTORY_ROOM - 1 - suffixLength;
    wmemcpy(toolsDirectory, modulePath, folderLength);
    wmemcpy(toolsDirectory + folderLength, suffix, suffixLength + 1);
}

void setToolsDirectory(const wchar_t* directory)
{
    // A folder that does not fit is refused outright: a cut path would start
    // tools from some other folder.
    size_t length = wcslen(directory);
    if (length + 1 > TOOLS_DIRECTORY_ROOM)
        return;
    wmemcpy(toolsDirectory, directory, length + 1);
}

static DWORD priorityClassOf(int priorityLevel)
{
    if (priorityLevel < -1)
        return IDLE_PRIORITY_CLASS;
    if (priorityLevel == -1)
        return BELOW_NORMAL_PRIORITY_CLASS;
    if (priorityLevel == 0)
        return 0;
    if (priorityLevel == 1)
        return ABOVE_NORMAL_PRIORITY_CLASS;
    return HIGH_PRIORITY_CLASS;
}

// Starts the program with exactly the listed handles inherited, so a tool never
// holds the pipe or files of a tool that another worker starts at the same moment.
// Returns the process handle, or null when no process was created.
const int LAUNCH_ATTEMPTS = 3;
const DWORD LAUNCH_RETRY_DELAY_MS = 100;

static HANDLE startToolProcess(const wchar_t* applicationPath, wchar_t* commandLine,
                               const wchar_t* workingDirectory, HANDLE input, HANDLE output,
                               HANDLE error, const HANDLE* handles, size_t handleCount,
                               int priorityLevel)
{
    for (size_t i = 0; i < handleCount; ++i)
        SetHandleInformation(handles[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    SIZE_T attributesLength = 0;
    if (!InitializeProcThreadAttributeList(nullptr, 1, 0, &attributesLength) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    LPPROC_THREAD_ATTRIBUTE_LIST attributes =
        static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(allocate(attributesLength, 1, nullptr));
    if (!attributes)
        return nullptr;
    HANDLE process = nullptr;
    DWORD failure = ERROR_SUCCESS;
    if (InitializeProcThreadAttributeList(attributes, 1, 0, &attributesLength)) {
        if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                      const_cast<HANDLE*>(handles), handleCount * sizeof(HANDLE),
                                      nullptr, nullptr)) {
            STARTUPINFOEXW startup;
            memset(&startup, 0, sizeof(startup));
            startup.StartupInfo.cb = sizeof(startup);
            startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
            startup.StartupInfo.hStdInput = input;
            startup.StartupInfo.hStdOutput = output;
            startup.StartupInfo.hStdError = error;
            startup.lpAttributeList = attributes;
            PROCESS_INFORMATION created;
            DWORD flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT |
                          priorityClassOf(priorityLevel);
            if (CreateProcessW(applicationPath, commandLine, nullptr, nullptr, TRUE, flags,
                               nullptr, workingDirectory, &startup.StartupInfo, &created)) {
                CloseHandle(created.hThread);
                process = created.hProcess;
                // Wine ignores the class among the creation flags but honours it here;
                // on Windows the class is already right and nothing changes.
                DWORD priorityClass = priorityClassOf(priorityLevel);
                if (priorityClass && GetPriorityClass(process) != priorityClass)
                    SetPriorityClass(process, priorityClass);
            }
        }
        failure = GetLastError();
        DeleteProcThreadAttributeList(attributes);
    } else {
        failure = GetLastError();
    }
    release(attributes);
    // The caller looks at the reason of a failed start.
    if (!process)
        SetLastError(failure);
    return process;
}

static void reportLaunchHeader(const char* toolName, const wchar_t* arguments,
                               const ErrorSink* sink, bool* goOn)
{
    reportText(sink, "\n==== launching: ====\n");
    reportText(sink, toolName);
    if (arguments && arguments[0]) {
        reportText(sink, " ");
        report(sink, SINK_WIDE_TEXT, reinterpret_cast<uintptr_t>(arguments));
    }
    *goOn = report(sink, SINK_TEXT_CHECKPOINT, reinterpret_cast<uintptr_t>("\n"));
}

// Adds a handle to the inheritance list once; the system refuses a list that
// names the same handle twice (a caller may pass one file as input and output).
static void listHandle(HANDLE* handles, size_t* count, HANDLE handle)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return;
    for (size_t i = 0; i < *count; ++i) {
        if (handles[i] == handle)
            return;
    }
    handles[(*count)++] = handle;
}

// "ERROR: cannot launch tools\<name> (<why>)": a user who installed the program
// without its tools sees at once which file to add.
static void reportCannotLaunch(const char* toolName, DWORD error, const ErrorSink* sink)
{
    char why[48];
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        snprintf(why, sizeof(why), "not found");
    else if (error == ERROR_NOT_ENOUGH_MEMORY)
        snprintf(why, sizeof(why), "out of memory");
    else
        snprintf(why, sizeof(why), "system error %lu", static_cast<unsigned long>(error));
    // One piece, so the job's status never shows the line half written.
    char line[APPLICATION_PATH_ROOM + 96];
    snprintf(line, sizeof(line), "ERROR: cannot launch tools\\%s (%s)\n", toolName, why);
    reportText(sink, line);
}

// Passes the tool's output on chunk by chunk until the tool has ended and the
// pipe is empty. Whatever the tool, or a helper it started, wrote before the end
// is in the pipe by then. Other holders of a write end may outlive the tool: a
// helper it started, or under Wine the console host made for a tool started
// without a window, which holds the tool's handles (the caller's files too) for
// some 50 ms after it, seconds on a loaded machine. When the caller gave the tool
// a file, the loop waits on for the pipe to break, that is for every holder to
// let go, so the caller can use that file at once; the wait is bounded, because
// such a host can outlive a tool killed while starting, and ends early for a
// cancelled job, whose files nobody uses any more. Without caller files nothing
// the caller needs is held, and the next tool can start at once.
static void passOutput(HANDLE readEnd, HANDLE process, bool callerFiles, const ErrorSink* sink)
{
    char chunk[CHUNK_LENGTH + 1];
    ULONGLONG endedAt = 0;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) {
            // The normal end: every write end is closed.
            report(sink, SINK_SYSTEM_ERROR, GetLastError());
            return;
        }
        if (available == 0) {
            if (endedAt == 0) {
                if (WaitForSingleObject(process, OUTPUT_POLL_MILLISECONDS) == WAIT_OBJECT_0)
                    endedAt = GetTickCount64();
            } else if (!callerFiles) {
                return;
            } else if (GetTickCount64() - endedAt >= AFTER_END_GRACE_MILLISECONDS ||
                       !report(sink, SINK_TEXT_CHECKPOINT, reinterpret_cast<uintptr_t>(""))) {
                return;
            } else {
                Sleep(OUTPUT_POLL_MILLISECONDS);
            }
            continue;
        }
        DWORD readLength = 0;
        if (!ReadFile(readEnd, chunk, available < CHUNK_LENGTH ? available : CHUNK_LENGTH,
                      &readLength, nullptr)) {
            report(sink, SINK_SYSTEM_ERROR, GetLastError());
            return;
        }
        if (readLength == 0)
            continue;
        // Passed on as text: whatever follows a NUL in this chunk is dropped.
        chunk[readLength] = 0;
        reportText(sink, chunk);
    }
}

uint32_t runTool(const char* toolName, const wchar_t* arguments, const wchar_t* workingDirectory,
                 HANDLE standardInput, HANDLE standardOutput, bool lowPriority,
                 const ErrorSink* sink)
{
    size_t directoryLength = wcslen(toolsDirectory);
    size_t nameLength = strlen(toolName);
    size_t argumentsLength = arguments ? wcslen(arguments) : 0;

    bool goOn = true;
    reportLaunchHeader(toolName, arguments, sink, &goOn);
    if (!goOn) {
        reportText(sink, "ERROR: aborted per user request\n");
        return ToolAborted;
    }

    // Refused rather than cut: a shortened path or command line would start
    // another program or hand the tool other files than the pipeline named.
    size_t applicationLength = directoryLength + nameLength;
    if (applicationLength + 1 > APPLICATION_PATH_ROOM) {
        reportText(sink, "ERROR: tool path too long\n");
        return ToolLaunchFailed;
    }
    size_t commandLength = applicationLength + 3 + argumentsLength;
    if (commandLength + 1 > COMMAND_LINE_ROOM) {
        reportText(sink, "ERROR: command line too long\n");
        return ToolLaunchFailed;
    }

    wchar_t applicationPath[APPLICATION_PATH_ROOM];
    wmemcpy(applicationPath, toolsDirectory, directoryLength);
    for (size_t i = 0; i < nameLength; ++i)
        applicationPath[directoryLength + i] = static_cast<unsigned char>(toolName[i]);
    applicationPath[applicationLength] = 0;

    wchar_t* commandLine = static_cast<wchar_t*>(allocate(commandLength + 1, sizeof(wchar_t), sink));
    if (!commandLine) {
        reportCannotLaunch(toolName, ERROR_NOT_ENOUGH_MEMORY, sink);
        return ToolLaunchFailed;
    }
    commandLine[0] = L'"';
    wmemcpy(commandLine + 1, applicationPath, applicationLength);
    commandLine[applicationLength + 1] = L'"';
    commandLine[applicationLength + 2] = L' ';
    if (argumentsLength)
        wmemcpy(commandLine + applicationLength + 3, arguments, argumentsLength);
    commandLine[commandLength] = 0;

    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        release(commandLine);
        return ToolLaunchFailed;
    }
    // The read end stays with this process; only the list below decides what a
    // child receives, but a read end no child may ever hold is not left open to one.
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    HANDLE handles[MAX_INHERITED_HANDLES];
    size_t handleCount = 0;
    listHandle(handles, &handleCount, writeEnd);
    listHandle(handles, &handleCount, standardInput);
    listHandle(handles, &handleCount, standardOutput);
    HANDLE output = standardOutput ? standardOutput : writeEnd;
    HANDLE process = nullptr;
    DWORD error = ERROR_SUCCESS;
    // A missing tool fails at once; any other refusal is tried again after a
    // moment (seen under Wine while many processes start at once).
    for (int attempt = 0; attempt < LAUNCH_ATTEMPTS && !process; ++attempt) {
        if (attempt > 0)
            Sleep(LAUNCH_RETRY_DELAY_MS);
        process = startToolProcess(applicationPath, commandLine, workingDirectory, standardInput,
                                   output, writeEnd, handles, handleCount, lowPriority ? -2 : 0);
        if (!process) {
            error = GetLastError();
            report(sink, SINK_SYSTEM_ERROR, error);
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                error == ERROR_BAD_EXE_FORMAT || error == ERROR_DIRECTORY)
                break;
        }
    }
    // Without the parent's copy the read end reports the end once the child is gone.
    CloseHandle(writeEnd);
    release(commandLine);
    if (!process) {
        reportCannotLaunch(toolName, error, sink);
        CloseHandle(readEnd);
        return ToolLaunchFailed;
    }

    report(sink, SINK_TOOL_STARTED, reinterpret_cast<uintptr_t>(process));

    passOutput(readEnd, process, standardInput || standardOutput, sink);

    WaitForSingleObject(process, INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode)) {
        // Cannot happen for a process that was just awaited; count it as a failure.
        report(sink, SINK_SYSTEM_ERROR, GetLastError());
        exitCode = ToolLaunchFailed;
    }
    // The job forgets the handle here, before it is closed, so a cancel never
    // terminates a closed (and possibly reused) handle.
    report(sink, SINK_TOOL_EXITED, exitCode);
    CloseHandle(process);
    CloseHandle(readEnd);
    return exitCode;
}
