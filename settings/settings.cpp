#include "settings/settings.h"
#include <windows.h>
#include <stddef.h>
#include <wchar.h>

const wchar_t SETTINGS_KEY[] = L"Software\\Zarn\u2019s Vell\\Optimizer";

Settings settings;

struct StoredValue {
    const wchar_t* name;
    size_t offset;
    uint32_t bound; // 0 for a flag; otherwise the first value out of range
};

#define VALUE(field, name, bound) {name, offsetof(Settings, field), bound}

// Load and save order.
static const StoredValue storedValues[] = {
    VALUE(general_backgroundPriority, L"general_backgroundPriority", 0),
    VALUE(general_forceIfAlreadyOptimized, L"general_forceIfAlreadyOptimized", 0),
    VALUE(general_autoScroll, L"general_autoScroll", 0),
    VALUE(general_verifyResults, L"general_verifyResults", 0),
    VALUE(bmp_convertToPng, L"bmp_convertToPng", 0),
    VALUE(epub_optimize, L"epub_optimize", 0),
    VALUE(jpg_optimize, L"jpg_optimize", 0),
    VALUE(jpg_derotate, L"jpg_derotate", 0),
    VALUE(jpg_forceDerotate, L"jpg_forceDerotate", 0),
    VALUE(jpg_metadataStrategy, L"jpg_metadataStrategy", 4),
    VALUE(office_optimize, L"office_optimize", 0),
    VALUE(compound_optimize, L"compound_optimize", 0),
    VALUE(png_strategy, L"png_strategy", 3),
    VALUE(png_stripMetadata, L"png_stripMetadata", 0),
    VALUE(png_stripTransparentPixels, L"png_stripTransparentPixels", 0),
    VALUE(zip_strategy, L"zip_strategy", 3),
    VALUE(zip_recursive, L"zip_recursive", 0),
    VALUE(zip_stripAttributesAndTimestamps, L"zip_stripAttributesAndTimestamps", 0),
    VALUE(gzip_strategy, L"gzip_strategy", 3),
    VALUE(gzip_recursive, L"gzip_recursive", 0),
    VALUE(rar_strategy, L"rar_strategy", 2),
    VALUE(rar_recursive, L"rar_recursive", 0),
    VALUE(sevenZip_strategy, L"7z_strategy", 2),
    VALUE(sevenZip_recursive, L"7z_recursive", 0),
    VALUE(dmg_strategy, L"dmg_strategy", 2),
    VALUE(dmg_recursive, L"dmg_recursive", 0),
    VALUE(deleteThumbsDb, L"deleteThumbsDb", 0),
    VALUE(deleteAlbumArt, L"deleteAlbumArt", 0),
    VALUE(deleteFolderJpg, L"deleteFolderJpg", 0),
    VALUE(gif_optimize, L"gif_optimize", 0),
    VALUE(gif_convertToPng, L"gif_convertToPng", 0),
    VALUE(svg_optimize, L"svg_optimize", 0),
    VALUE(tiff_convertToPng, L"tiff_convertToPng", 0),
    VALUE(mp3_strategy, L"mp3_strategy", 2),
    VALUE(mp3_stripMetadata, L"mp3_stripMetadata", 0),
    VALUE(flac_strategy, L"flac_strategy", 2),
    VALUE(flac_stripMetadata, L"flac_stripMetadata", 0),
};

#undef VALUE

static uint8_t* fieldOf(Settings* s, const StoredValue& value)
{
    return reinterpret_cast<uint8_t*>(s) + value.offset;
}

static uint8_t fieldValue(const Settings* s, const StoredValue& value)
{
    return reinterpret_cast<const uint8_t*>(s)[value.offset];
}

// The system's temporary path, always terminated and ending in a backslash.
static void setSystemTempPath(wchar_t* path)
{
    DWORD length = GetTempPathW(261, path);
    if (length == 0 || length >= 261)
        wcscpy(path, L"C:\\");
}

void setDefaultSettings(Settings* s)
{
    *s = Settings();
    setSystemTempPath(s->general_tempPath);
    s->general_backgroundPriority = 1;
    // Also what settings stored before the value existed read as.
    s->general_verifyResults = 1;
    s->epub_optimize = 1;
    s->jpg_optimize = 1;
    s->jpg_derotate = 1;
    s->office_optimize = 1;
    s->compound_optimize = 1;
    s->png_strategy = 1;
    s->mp3_strategy = 1;
    s->flac_strategy = 1;
    s->deleteThumbsDb = 1;
    s->deleteAlbumArt = 1;
    s->deleteFolderJpg = 1;
    s->gif_optimize = 1;
}

// A stored path is taken only when it fits with a trailing backslash; an empty
// or overlong value keeps the system's temporary path.
static void loadTempPath(HKEY key, Settings* s)
{
    wchar_t stored[TEMP_PATH_ROOM];
    DWORD bytes = sizeof(stored);
    if (RegGetValueW(key, nullptr, L"general_tempPath", RRF_RT_REG_SZ, nullptr, stored, &bytes) !=
        ERROR_SUCCESS)
        return;
    size_t length = wcsnlen(stored, TEMP_PATH_ROOM);
    if (length == 0 || length >= TEMP_PATH_ROOM)
        return;
    if (stored[length - 1] != L'\\') {
        if (length + 1 >= TEMP_PATH_ROOM)
            return;
        stored[length++] = L'\\';
        stored[length] = 0;
    }
    wmemcpy(s->general_tempPath, stored, length + 1);
}

void loadSettings(Settings* s)
{
    setDefaultSettings(s);
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    loadTempPath(key, s);
    for (const StoredValue& value : storedValues) {
        DWORD number = 0;
        DWORD bytes = sizeof(number);
        if (RegGetValueW(key, nullptr, value.name, RRF_RT_REG_DWORD, nullptr, &number, &bytes) !=
            ERROR_SUCCESS)
            continue;
        if (value.bound == 0)
            *fieldOf(s, value) = number != 0;
        else if (number < value.bound)
            *fieldOf(s, value) = static_cast<uint8_t>(number);
    }
    RegCloseKey(key);
}

void saveSettings(const Settings* s)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_WRITE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;
    size_t length = wcsnlen(s->general_tempPath, TEMP_PATH_ROOM - 1);
    RegSetValueExW(key, L"general_tempPath", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(s->general_tempPath),
                   static_cast<DWORD>((length + 1) * sizeof(wchar_t)));
    for (const StoredValue& value : storedValues) {
        DWORD number = fieldValue(s, value);
        RegSetValueExW(key, value.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                       sizeof(number));
    }
    RegCloseKey(key);
}
