#pragma once
// What the benchmark programs share: a clock, files to work on, quiet runs of
// other programs and the settings they start them with.
#include <windows.h>
#include <stdint.h>
#include <string>

// Performance-counter ticks; differences of them add up without rounding.
uint64_t benchTicks();
double ticksToSeconds(uint64_t ticks);
// Seconds on the same clock, for single intervals.
double benchSeconds();

// A new file holding exactly these bytes (none for length 0).
bool writeWholeFile(const std::wstring& path, const void* bytes, DWORD length);
// The folder and all below it, read-only files included; what cannot go stays.
void removeTree(const std::wstring& folder);
// Runs a command line to its end with its output discarded; its exit code, or ~0 when it did not start.
DWORD runQuietly(std::wstring command, DWORD flags = 0);
// Dispatches what arrives for a while, for programs whose workers post to a window of theirs.
void pumpMessagesFor(DWORD milliseconds);

struct BenchSetting {
    const wchar_t* name;
    DWORD value;
};
// Stores the values and the temporary path in the program's own registry key.
bool storeBenchSettings(const BenchSetting* values, size_t count, const std::wstring& temporaryPath);

// A process's private memory: what GetProcessMemoryInfo says (0 under Wine for
// another process) and the committed private regions, summed.
struct MemoryFigures {
    uint64_t privateUsage;
    uint64_t privateCommitted;
};
MemoryFigures memoryOf(HANDLE process);
