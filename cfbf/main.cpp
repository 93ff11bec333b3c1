// VellCFBF: copies a compound file into a new one with 512-byte or 4096-byte sectors and
// verifies the copy. The optimizer runs it as a tool and judges it by its exit code only.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "messages.h"
#include "storage_copy.h"

namespace {

const char USAGE_TEXT[] =
    "Zarn's Vell CFBF Optimizer 2019.08.31 from https://vell-optimizer.example/\n"
    "usage: VellCFBF [-v4] <in path> <out path>\n"
    "  input and output must be different files\n"
    "  -v4 uses 4096-B sectors; 512 B otherwise\n";

// Exactly "-v4"; any other spelling ("-V4", "/v4", "-v4x") is a path.
bool isLargeSectorSwitch(const wchar_t* argument)
{
    return argument[0] == L'-' && argument[1] == L'v' && argument[2] == L'4' &&
           argument[3] == L'\0';
}

} // namespace

// The command line is split by the shell's rules rather than the C runtime's so that the
// optimizer's quoting of paths means the same here as in every other tool it starts.
// The paths go to the storage service unchanged; naming one file twice is caught there.
int main()
{
    int argumentCount = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    const wchar_t* inputPath = nullptr;
    const wchar_t* outputPath = nullptr;
    bool largeSectors = false;
    for (int i = 1; arguments != nullptr && i < argumentCount; ++i) {
        if (isLargeSectorSwitch(arguments[i]))
            largeSectors = true;
        else if (inputPath == nullptr)
            inputPath = arguments[i];
        else
            outputPath = arguments[i];
    }

    if (inputPath == nullptr || outputPath == nullptr) {
        writeOutput(USAGE_TEXT, sizeof(USAGE_TEXT) - 1);
        return CFBF_EXIT_USAGE;
    }

    CoInitialize(nullptr);
    rewriteCompoundFile(inputPath, outputPath, largeSectors);
    CoUninitialize();
    return CFBF_EXIT_OK;
}
