// Writes the sample compound file used by the olefile cross-check and the demo:
//   cfbf_sample [-v4] <path>
// "-v4" writes it with 4096-byte sectors, which a rewrite with 512-byte sectors shrinks.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <wchar.h>

#include "sample_file.h"

int main()
{
    int argumentCount = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr || argumentCount < 2 || argumentCount > 3)
        return 2;
    bool largeSectors = argumentCount == 3;
    if (largeSectors && wcscmp(arguments[1], L"-v4") != 0)
        return 2;
    CoInitialize(nullptr);
    HRESULT hr = createSampleFile(arguments[argumentCount - 1], SAMPLE_TREE, SAMPLE_TREE_COUNT,
                                  &SAMPLE_ROOT_CLASS, largeSectors);
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
