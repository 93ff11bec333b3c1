#include <gtest/gtest.h>
#include "settings/settings.h"
#include <windows.h>
#include <string>
#include <vector>

namespace {

// Points HKEY_CURRENT_USER at a private key for the test, so that neither a
// developer's own settings nor those of other tests are touched.
class SettingsStore : public testing::Test {
protected:
    void SetUp() override
    {
        swprintf(sandboxName, 64, L"Software\\VellSettingsTest%lu", GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, sandboxName);
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, sandboxName, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &sandbox, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, sandbox), ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(sandbox);
        RegDeleteTreeW(HKEY_CURRENT_USER, sandboxName);
    }
    HKEY openKey()
    {
        HKEY key = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr);
        return key;
    }
    void storeNumber(const wchar_t* name, DWORD value)
    {
        HKEY key = openKey();
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
        RegCloseKey(key);
    }
    void storeString(const wchar_t* name, const std::wstring& value)
    {
        HKEY key = openKey();
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(key);
    }
    bool readNumber(const wchar_t* name, DWORD* value)
    {
        DWORD bytes = sizeof(*value);
        return RegGetValueW(HKEY_CURRENT_USER, SETTINGS_KEY, name, RRF_RT_REG_DWORD, nullptr, value,
                            &bytes) == ERROR_SUCCESS;
    }
    wchar_t sandboxName[64];
    HKEY sandbox = nullptr;
};

const wchar_t* const allNames[] = {
    L"general_backgroundPriority", L"general_forceIfAlreadyOptimized", L"general_autoScroll",
    L"general_verifyResults",
    L"bmp_convertToPng", L"epub_optimize", L"jpg_optimize", L"jpg_derotate", L"jpg_forceDerotate",
    L"jpg_metadataStrategy", L"office_optimize", L"compound_optimize", L"png_strategy",
    L"png_stripMetadata", L"png_stripTransparentPixels", L"zip_strategy", L"zip_recursive",
    L"zip_stripAttributesAndTimestamps", L"gzip_strategy", L"gzip_recursive", L"rar_strategy",
    L"rar_recursive", L"7z_strategy", L"7z_recursive", L"dmg_strategy", L"dmg_recursive",
    L"deleteThumbsDb", L"deleteAlbumArt", L"deleteFolderJpg", L"gif_optimize", L"gif_convertToPng",
    L"svg_optimize", L"tiff_convertToPng", L"mp3_strategy", L"mp3_stripMetadata", L"flac_strategy",
    L"flac_stripMetadata",
};

TEST_F(SettingsStore, DefaultsWithoutKeyAndAllValuesWrittenOnSave)
{
    Settings s;
    loadSettings(&s);
    wchar_t systemTemp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, systemTemp);
    EXPECT_STREQ(s.general_tempPath, systemTemp);
    EXPECT_EQ(s.general_backgroundPriority, 1);
    EXPECT_EQ(s.general_forceIfAlreadyOptimized, 0);
    EXPECT_EQ(s.general_autoScroll, 0);
    EXPECT_EQ(s.general_verifyResults, 1);
    EXPECT_EQ(s.epub_optimize, 1);
    EXPECT_EQ(s.jpg_optimize, 1);
    EXPECT_EQ(s.jpg_derotate, 1);
    EXPECT_EQ(s.jpg_forceDerotate, 0);
    EXPECT_EQ(s.jpg_metadataStrategy, 0);
    EXPECT_EQ(s.office_optimize, 1);
    EXPECT_EQ(s.compound_optimize, 1);
    EXPECT_EQ(s.png_strategy, 1);
    EXPECT_EQ(s.mp3_strategy, 1);
    EXPECT_EQ(s.flac_strategy, 1);
    EXPECT_EQ(s.zip_strategy, 0);
    EXPECT_EQ(s.gzip_strategy, 0);
    EXPECT_EQ(s.sevenZip_strategy, 0);
    EXPECT_EQ(s.deleteThumbsDb, 1);
    EXPECT_EQ(s.deleteAlbumArt, 1);
    EXPECT_EQ(s.deleteFolderJpg, 1);
    EXPECT_EQ(s.gif_optimize, 1);
    EXPECT_EQ(s.gif_convertToPng, 0);
    EXPECT_EQ(s.svg_optimize, 0);

    saveSettings(&s);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Zarn\u2019s Vell\\Optimizer", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 38u);
    for (const wchar_t* name : allNames) {
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr), ERROR_SUCCESS) << name;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD)) << name;
    }
    DWORD type = 0;
    DWORD bytes = 0;
    EXPECT_EQ(RegQueryValueExW(key, L"general_tempPath", nullptr, &type, nullptr, &bytes), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, (wcslen(systemTemp) + 1) * sizeof(wchar_t));
    RegCloseKey(key);
}

TEST_F(SettingsStore, RoundTripKeepsEveryValue)
{
    Settings s;
    setDefaultSettings(&s);
    wcscpy(s.general_tempPath, L"D:\\scratch space\\");
    s.general_backgroundPriority = 0;
    s.general_autoScroll = 1;
    s.general_verifyResults = 0;
    s.jpg_metadataStrategy = 3;
    s.png_strategy = 2;
    s.zip_strategy = 2;
    s.gzip_strategy = 1;
    s.sevenZip_strategy = 1;
    s.sevenZip_recursive = 1;
    s.flac_stripMetadata = 1;
    s.tiff_convertToPng = 1;
    saveSettings(&s);
    Settings loaded;
    loadSettings(&loaded);
    EXPECT_EQ(memcmp(&s, &loaded, sizeof(Settings)), 0);
    DWORD value = 0;
    EXPECT_TRUE(readNumber(L"7z_strategy", &value));
    EXPECT_EQ(value, 1u);
}

TEST_F(SettingsStore, OutOfRangeStrategiesKeepTheirDefaults)
{
    struct Case {
        const wchar_t* name;
        DWORD stored;
        uint8_t Settings::*field;
        uint8_t expected;
    } cases[] = {
        {L"png_strategy", 2, &Settings::png_strategy, 2},
        {L"jpg_metadataStrategy", 3, &Settings::jpg_metadataStrategy, 3},
        {L"zip_strategy", 2, &Settings::zip_strategy, 2},
        {L"rar_strategy", 1, &Settings::rar_strategy, 1},
    };
    for (const Case& c : cases)
        storeNumber(c.name, c.stored);
    Settings s;
    loadSettings(&s);
    for (const Case& c : cases)
        EXPECT_EQ(s.*(c.field), c.expected) << c.name;

    const Case outOfRange[] = {
        {L"png_strategy", 3, &Settings::png_strategy, 1},
        {L"jpg_metadataStrategy", 4, &Settings::jpg_metadataStrategy, 0},
        {L"jpg_metadataStrategy", 0xFFFFFFFF, &Settings::jpg_metadataStrategy, 0},
        {L"gzip_strategy", 3, &Settings::gzip_strategy, 0},
        {L"mp3_strategy", 2, &Settings::mp3_strategy, 1},
        {L"flac_strategy", 0x80000001u, &Settings::flac_strategy, 1},
        {L"dmg_strategy", 2, &Settings::dmg_strategy, 0},
        {L"7z_strategy", 2, &Settings::sevenZip_strategy, 0},
    };
    for (const Case& c : outOfRange) {
        storeNumber(c.name, c.stored);
        loadSettings(&s);
        EXPECT_EQ(s.*(c.field), c.expected) << c.name << " " << c.stored;
    }
}

TEST_F(SettingsStore, FlagsAsSevenOrAsStrings)
{
    storeNumber(L"svg_optimize", 7);
    storeString(L"gif_optimize", L"0");
    storeString(L"deleteThumbsDb", L"yes");
    Settings s;
    loadSettings(&s);
    EXPECT_EQ(s.svg_optimize, 1);
    EXPECT_EQ(s.gif_optimize, 1);   // default: the string is ignored
    EXPECT_EQ(s.deleteThumbsDb, 1); // default
    s.deleteThumbsDb = 0;
    saveSettings(&s);
    DWORD value = 99;
    EXPECT_TRUE(readNumber(L"svg_optimize", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(readNumber(L"gif_optimize", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(readNumber(L"deleteThumbsDb", &value));
    EXPECT_EQ(value, 0u);
}

// Settings stored before verification existed have no value for it: it reads as on.
TEST_F(SettingsStore, VerificationIsOnUnlessStoredOff)
{
    storeNumber(L"general_autoScroll", 1);
    Settings s;
    loadSettings(&s);
    EXPECT_EQ(s.general_verifyResults, 1);
    storeNumber(L"general_verifyResults", 0);
    loadSettings(&s);
    EXPECT_EQ(s.general_verifyResults, 0);
    storeString(L"general_verifyResults", L"0");
    loadSettings(&s);
    EXPECT_EQ(s.general_verifyResults, 1);
}

TEST_F(SettingsStore, StripAttributesValueIsPreserved)
{
    storeNumber(L"zip_stripAttributesAndTimestamps", 1);
    storeNumber(L"someoneElsesValue", 42);
    Settings s;
    loadSettings(&s);
    EXPECT_EQ(s.zip_stripAttributesAndTimestamps, 1);
    saveSettings(&s);
    DWORD value = 0;
    EXPECT_TRUE(readNumber(L"zip_stripAttributesAndTimestamps", &value));
    EXPECT_EQ(value, 1u);
    EXPECT_TRUE(readNumber(L"someoneElsesValue", &value));
    EXPECT_EQ(value, 42u);
}

TEST_F(SettingsStore, TemporaryPathAlwaysEndsWithABackslash)
{
    wchar_t systemTemp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, systemTemp);
    Settings s;

    storeString(L"general_tempPath", L"E:\\work");
    loadSettings(&s);
    EXPECT_STREQ(s.general_tempPath, L"E:\\work\\");

    std::wstring longest = L"E:\\" + std::wstring(257, L'w') + L"\\"; // 261 units: fits exactly
    storeString(L"general_tempPath", longest);
    loadSettings(&s);
    EXPECT_EQ(std::wstring(s.general_tempPath), longest);

    std::wstring noRoom = L"E:\\" + std::wstring(258, L'w'); // 261 units, no room for the backslash
    storeString(L"general_tempPath", noRoom);
    loadSettings(&s);
    EXPECT_STREQ(s.general_tempPath, systemTemp);

    storeString(L"general_tempPath", L"E:\\" + std::wstring(400, L'w') + L"\\");
    loadSettings(&s);
    EXPECT_STREQ(s.general_tempPath, systemTemp);

    storeString(L"general_tempPath", L"");
    loadSettings(&s);
    EXPECT_STREQ(s.general_tempPath, systemTemp);

    storeNumber(L"general_tempPath", 5);
    loadSettings(&s);
    EXPECT_STREQ(s.general_tempPath, systemTemp);
}

} // namespace
