#pragma once
// The user's settings: one record, loaded from and saved to the current user's registry.
#include <stdint.h>

const unsigned TEMP_PATH_ROOM = 262;

struct Settings {
    wchar_t general_tempPath[TEMP_PATH_ROOM]; // always ends with a backslash
    uint8_t general_forceIfAlreadyOptimized;
    uint8_t general_backgroundPriority;
    uint8_t general_autoScroll;
    uint8_t general_verifyResults; // results are compared with the original before replacing it
    uint8_t bmp_convertToPng;
    uint8_t epub_optimize;
    uint8_t jpg_optimize;
    uint8_t jpg_derotate;
    uint8_t jpg_forceDerotate;
    uint8_t jpg_metadataStrategy;
    uint8_t office_optimize;
    uint8_t compound_optimize;
    uint8_t png_strategy;
    uint8_t png_stripMetadata;
    uint8_t png_stripTransparentPixels;
    uint8_t mp3_strategy;
    uint8_t mp3_stripMetadata;
    uint8_t flac_strategy;
    uint8_t flac_stripMetadata;
    uint8_t zip_strategy;
    uint8_t zip_recursive;
    uint8_t zip_stripAttributesAndTimestamps;
    uint8_t gzip_strategy;
    uint8_t gzip_recursive;
    uint8_t rar_strategy;
    uint8_t rar_recursive;
    uint8_t sevenZip_strategy;  // stored as "7z_strategy"
    uint8_t sevenZip_recursive; // stored as "7z_recursive"
    uint8_t dmg_strategy;
    uint8_t dmg_recursive;
    uint8_t deleteThumbsDb;
    uint8_t deleteAlbumArt;
    uint8_t deleteFolderJpg;
    uint8_t gif_optimize;
    uint8_t gif_convertToPng;
    uint8_t svg_optimize;
    uint8_t tiff_convertToPng;
};

// The registry key under HKEY_CURRENT_USER.
extern const wchar_t SETTINGS_KEY[];

// The one record of the program.
extern Settings settings;

void setDefaultSettings(Settings* s);
// Defaults, then whatever the registry holds that is valid. Never fails visibly.
void loadSettings(Settings* s);
// Writes every value. Failures are silent.
void saveSettings(const Settings* s);
