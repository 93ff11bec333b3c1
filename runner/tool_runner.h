#pragma once
// Starting an external tool from the tools directory with its output captured
// into the job's log.
#include <windows.h>
#include <stdint.h>
#include "base/error_sink.h"

const uint32_t ToolAborted = 0xFFFFFFFF;      // the job was cancelled before the start
const uint32_t ToolLaunchFailed = 0xBAD1BAD1; // the pipe or the process was not created
const uint32_t ToolKilledExitCode = 0xDEADDEAD;

// The program's folder followed by "tools\"; filled once at start-up.
extern wchar_t toolsDirectory[];
void initToolsDirectory();
// For tests and the console front end: use another tools folder (must end with a backslash).
void setToolsDirectory(const wchar_t* directory);

uint32_t runTool(const char* toolName, const wchar_t* arguments, const wchar_t* workingDirectory,
                 HANDLE standardInput, HANDLE standardOutput, bool lowPriority,
                 const ErrorSink* sink);
