#include "messages.h"

#include <windows.h>

// Standard output carries the usage text and "OK\n"; the optimizer copies whatever the
// tool prints into the job's log, so the bytes go out unchanged (no CRT text mode).
void writeOutput(const char* text, unsigned long length)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, nullptr);
}

void writeError(const char* text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &written,
              nullptr);
}

// Every failure is final: the process ends right here, without releasing COM objects or
// uninitialising COM. A partly written output is left behind; the caller only uses the
// output after exit code 0.
void fail(const char* text, int code)
{
    writeError(text);
    ExitProcess(static_cast<UINT>(code));
}
