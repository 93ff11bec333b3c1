// Writes the sample compound file used by the olefile cross-check:
//   cfbf_sample <path>
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "sample_file.h"

int main()
{
    int argumentCount = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr || argumentCount != 2)
        return 2;
    CoInitialize(nullptr);
    HRESULT hr = createSampleFile(arguments[1], SAMPLE_TREE, SAMPLE_TREE_COUNT,
                                  &SAMPLE_ROOT_CLASS, false);
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
