// The bridge from the shim (a Windows program under Wine) to Linux: path
// translation through Wine's kernel32 and running a Linux program to its
// end through ntdll, with the shim's own standard handles relayed.
#pragma once

#include <string>
#include <vector>

namespace vkit {

// True when the Wine entry points this bridge needs are present.
bool wineBridgeAvailable();

// Windows path -> Linux path through wine_get_unix_file_name. False when
// Wine cannot translate it (for example when a folder on the way is missing).
bool wineUnixPath(const std::wstring& windowsPath, std::string& linuxPath);

struct LinuxCommand {
    std::vector<std::string> argv;   // argv[0] is looked up on PATH
    std::string workingDirectory;    // Linux path; empty keeps the current one
    bool crlfStandardOutput = false; // LF -> CR LF on the relayed standard output
    bool relayStandardInput = true;  // feed the shim's standard input to the child
};

// Runs the command to its end and returns its exit status (0..255). Its
// standard output and error reach the shim's own standard handles while it
// runs; its standard input is a copy of the shim's (or /dev/null). Returns
// 9009 with a message on standard error when it cannot be started.
int runLinux(const LinuxCommand& command);

// Writes bytes to one of the shim's standard handles, ignoring a missing one.
void writeStd(unsigned long which, const std::string& bytes);

// Linux form of the shim's current directory, or empty.
std::string currentLinuxDirectory();

} // namespace vkit
