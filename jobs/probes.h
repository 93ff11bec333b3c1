#pragma once
// Quick tool runs that tell GIF and ZIP families apart during sniffing.
// Both report to the default sink and log nothing.

// True when Gifsicle says the GIF holds exactly one image.
bool analyzeGifImages(const wchar_t* file, const wchar_t* folder, bool lowPriority);
// Extracts "[Content_Types].xml" and "mimetype" from the archive root into folder;
// true when 7-Zip ended with 0.
bool extractMarkerFiles(const wchar_t* file, const wchar_t* folder, bool lowPriority);
