// Puts two results over one target in turn, forever, until it is killed; the
// test kills it at chosen moments and looks at the target.
#include <windows.h>
#include <shellapi.h>
#include "optimizers/replace.h"

int main()
{
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4)
        return 2;
    // Tells the test that the first replacement is under way.
    HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"VellReplaceKillStarted");
    for (unsigned round = 0;; ++round) {
        if (!replaceFileWith(argv[1], argv[2 + (round & 1)], nullptr))
            return 1;
        if (round == 0 && started)
            SetEvent(started);
    }
}
