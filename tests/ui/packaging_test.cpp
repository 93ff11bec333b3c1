#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include "support/test_files.h"
#include "support/tool_double_setup.h"

namespace {

const std::wstring PROGRAM_PATH = wineHostPath(VELL_OPTIMIZER_PATH);
const wchar_t* const PROGRAM = PROGRAM_PATH.c_str();

std::wstring versionString(const std::string& info, const wchar_t* name)
{
    std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(info.data(), query.c_str(), &value, &length) || !value)
        return L"<missing>";
    return std::wstring(static_cast<const wchar_t*>(value));
}

TEST(PackagingTest, VersionBlock)
{
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(PROGRAM, &ignored);
    ASSERT_NE(size, 0u) << "no version block in the program";
    std::string info(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoW(PROGRAM, 0, size, &info[0]));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(9, 22));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(0, 9));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(9, 22));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(0, 9));
    struct Case {
        const wchar_t* name;
        const wchar_t* value;
    } cases[] = {
        {L"CompanyName", L"Zarn\u2019s Vell"},
        {L"FileDescription", L"Zarn\u2019s Vell Optimizer"},
        {L"ProductName", L"Zarn\u2019s Vell Optimizer"},
        {L"InternalName", L"Vell Optimizer.exe"},
        {L"OriginalFilename", L"Vell Optimizer.exe"},
        {L"FileVersion", L"22.9.9"},
        {L"ProductVersion", L"22.9.9"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(versionString(info, c.name), c.value) << c.name;
}

class ProgramResources : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExW(PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr);
    }
    void TearDown() override
    {
        if (module)
            FreeLibrary(module);
    }
    std::string resource(LPCWSTR name, LPCWSTR type)
    {
        HRSRC found = FindResourceW(module, name, type);
        if (!found)
            return std::string();
        HGLOBAL loaded = LoadResource(module, found);
        const char* data = static_cast<const char*>(LockResource(loaded));
        return data ? std::string(data, SizeofResource(module, found)) : std::string();
    }
    HMODULE module = nullptr;
};

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width;
    BYTE height;
    BYTE colors;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(ProgramResources, IconGroup101HoldsFourSizes)
{
    std::string group = resource(MAKEINTRESOURCEW(101), RT_GROUP_ICON);
    ASSERT_GE(group.size(), 6u);
    WORD count = 0;
    memcpy(&count, group.data() + 4, 2);
    ASSERT_EQ(count, 4);
    ASSERT_EQ(group.size(), 6 + count * sizeof(IconGroupEntry));
    const int expected[] = {16, 32, 48, 256};
    for (int i = 0; i < 4; ++i) {
        IconGroupEntry entry;
        memcpy(&entry, group.data() + 6 + i * sizeof(entry), sizeof(entry));
        EXPECT_EQ(entry.width == 0 ? 256 : entry.width, expected[i]);
        EXPECT_EQ(entry.bitCount, 32);
        EXPECT_EQ(resource(MAKEINTRESOURCEW(entry.id), RT_ICON).size(), entry.bytes) << i;
    }
}

TEST_F(ProgramResources, ManifestAsksForCommonControls6AndDpiAwareness)
{
    std::string manifest = resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_FALSE(manifest.empty());
    const char* parts[] = {
        "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>",
        "{e2011457-1546-43c5-a5fe-008deee3d3f0}", // Vista
        "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", // 7
        "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", // 8
        "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", // 8.1
        "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", // 10
    };
    for (const char* part : parts)
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

TEST(PackagingTest, ProgramFileNameAndSubsystem)
{
    std::wstring path = PROGRAM;
    EXPECT_EQ(path.substr(path.find_last_of(L"\\/") + 1), L"Vell Optimizer.exe");
    HMODULE module = LoadLibraryExW(PROGRAM, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    // The low bit marks the data-file mapping; the headers start at the aligned address.
    const BYTE* base = reinterpret_cast<const BYTE*>(reinterpret_cast<uintptr_t>(module) & ~static_cast<uintptr_t>(3));
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const IMAGE_NT_HEADERS* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    EXPECT_EQ(nt->OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    FreeLibrary(module);
}

} // namespace
