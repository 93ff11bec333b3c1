#include "jobs/tool_needs.h"
#include <windows.h>
#include <string.h>
#include <wchar.h>
#include "runner/tool_runner.h"

namespace {

// PNG strategy 1: ECT and the Deflate post-pass; strategy 2 ("For 7z"): OptiPNG, then ArchiPNG.
const char* const PNG_TOOLS[] = {TOOL_ECT, TOOL_DEFLOPT, TOOL_DEFLUFF};
const char* const PNG_FOR_7Z_TOOLS[] = {TOOL_OPTIPNG, TOOL_ARCHIPNG};
const char* const CONVERT_TOOLS[] = {TOOL_OPTIPNG, TOOL_ECT, TOOL_DEFLOPT, TOOL_DEFLUFF};
const char* const JPEG_TOOLS[] = {TOOL_MOZJPEGTRAN, TOOL_PERL, TOOL_EXIFTOOL_SCRIPT, TOOL_ECT};
const char* const GIF_TOOLS[] = {TOOL_GIFSICLE, TOOL_FLEXIGIF};
const char* const ZIP_TOOLS[] = {TOOL_7Z, TOOL_LEANIFY, TOOL_ECT, TOOL_ADVZIP, TOOL_DEFLOPT, TOOL_DEFLUFF};
const char* const GZIP_TOOLS[] = {TOOL_7Z, TOOL_ECT};
const char* const CFBF_TOOLS[] = {TOOL_VELLCFBF};
const char* const MP3_TOOLS[] = {TOOL_MP3PACKER};
const char* const FLAC_TOOLS[] = {TOOL_METAFLAC, TOOL_FLAC};
const char* const MINIFY_TOOLS[] = {TOOL_LEANIFY};
const char* const EXTRACT_TOOLS[] = {TOOL_7Z};

struct ActionTools {
    const char* const* tools;
    size_t count;
    const wchar_t* kind;
};

#define TOOLS_OF(list) list, sizeof(list) / sizeof(list[0])

// By Action. Files found inside a container are jobs of their own, so a
// container's row lists only what packs and unpacks it.
const ActionTools ACTION_TOOLS[ACTION_COUNT] = {
    {nullptr, 0, L""},                          // none
    {TOOLS_OF(PNG_TOOLS), L"PNG"},
    {TOOLS_OF(JPEG_TOOLS), L"JPEG"},
    {TOOLS_OF(GIF_TOOLS), L"GIF"},
    {TOOLS_OF(ZIP_TOOLS), L"ZIP"},
    {TOOLS_OF(ZIP_TOOLS), L"ZIP-like"},
    {TOOLS_OF(ZIP_TOOLS), L"Office Open XML"},
    {TOOLS_OF(ZIP_TOOLS), L"Open Document"},
    {TOOLS_OF(ZIP_TOOLS), L"EPUB"},
    {TOOLS_OF(GZIP_TOOLS), L"gzip"},
    {TOOLS_OF(CFBF_TOOLS), L"CFBF"},
    {TOOLS_OF(MP3_TOOLS), L"MP3"},
    {TOOLS_OF(FLAC_TOOLS), L"FLAC"},
    {TOOLS_OF(MINIFY_TOOLS), L"XML"},
    {TOOLS_OF(MINIFY_TOOLS), L"SVG"},
    {TOOLS_OF(EXTRACT_TOOLS), L"ZIP"},
    {TOOLS_OF(EXTRACT_TOOLS), L"gzip"},
    {TOOLS_OF(EXTRACT_TOOLS), L"RAR"},
    {TOOLS_OF(EXTRACT_TOOLS), L"7z"},
    {TOOLS_OF(EXTRACT_TOOLS), L"DMG"},
    {TOOLS_OF(CONVERT_TOOLS), L"BMP/TIFF"},     // converted by OptiPNG, then optimized as PNG
    {nullptr, 0, L""},                          // delete
};

// Joins items as "a", "a and b", "a, b and c".
std::wstring joinedList(const std::wstring* items, size_t count)
{
    std::wstring text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            text += i + 1 == count ? L" and " : L", ";
        text += items[i];
    }
    return text;
}

} // namespace

size_t toolsOfAction(Action action, uint8_t pngStrategy, const char* const** tools)
{
    if (action >= ACTION_COUNT) {
        *tools = nullptr;
        return 0;
    }
    // A conversion for 7z is OptiPNG's too, then ArchiPNG's.
    if (pngStrategy == PNG_FOR_7Z && (action == ACTION_OPTIMIZE_PNG || action == ACTION_CONVERT_TO_PNG)) {
        *tools = PNG_FOR_7Z_TOOLS;
        return sizeof(PNG_FOR_7Z_TOOLS) / sizeof(PNG_FOR_7Z_TOOLS[0]);
    }
    *tools = ACTION_TOOLS[action].tools;
    return ACTION_TOOLS[action].count;
}

bool actionNeedsTool(Action action, uint8_t pngStrategy, const char* tool)
{
    const char* const* tools = nullptr;
    size_t count = toolsOfAction(action, pngStrategy, &tools);
    for (size_t i = 0; i < count; ++i) {
        if (strcmp(tools[i], tool) == 0)
            return true;
    }
    return false;
}

const wchar_t* actionKindText(Action action)
{
    return action < ACTION_COUNT ? ACTION_TOOLS[action].kind : L"";
}

void findMissingTools(uint8_t pngStrategy, MissingTools* found)
{
    *found = MissingTools();
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i) {
        std::wstring path = toolsDirectory;
        for (const char* c = TOOL_FILES[i]; *c; ++c)
            path += static_cast<wchar_t>(*c); // tool names are ASCII
        DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        found->missing[i] = true;
        ++found->count;
        for (int action = 0; action < ACTION_COUNT; ++action) {
            if (actionNeedsTool(static_cast<Action>(action), pngStrategy, TOOL_FILES[i]))
                found->actionFails[action] = true;
        }
    }
}

bool needsMissingTool(const MissingTools& found, Action action, uint8_t pngStrategy)
{
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i) {
        if (found.missing[i] && actionNeedsTool(action, pngStrategy, TOOL_FILES[i]))
            return true;
    }
    return false;
}

std::wstring actionsNeedingText(size_t index)
{
    std::wstring text;
    if (index >= TOOL_FILE_COUNT)
        return text;
    for (int action = 0; action < ACTION_COUNT; ++action) {
        if (!actionNeedsTool(static_cast<Action>(action), 1, TOOL_FILES[index]) &&
            !actionNeedsTool(static_cast<Action>(action), PNG_FOR_7Z, TOOL_FILES[index]))
            continue;
        if (!text.empty())
            text += L", ";
        text += actionDisplayText(static_cast<Action>(action));
    }
    return text;
}

std::wstring missingToolsNotice(const MissingTools& found)
{
    if (found.count == 0)
        return std::wstring();
    std::wstring kinds[ACTION_COUNT];
    size_t kindCount = 0;
    for (int action = 0; action < ACTION_COUNT; ++action) {
        const wchar_t* kind = ACTION_TOOLS[action].kind;
        if (!found.actionFails[action] || !*kind)
            continue;
        bool known = false;
        for (size_t k = 0; k < kindCount && !known; ++k)
            known = kinds[k] == kind;
        if (!known)
            kinds[kindCount++] = kind;
    }
    wchar_t count[48];
    swprintf(count, 48, found.count == 1 ? L"%zu tool missing" : L"%zu tools missing", found.count);
    std::wstring text = count;
    if (kindCount)
        text += L": " + joinedList(kinds, kindCount) + L" files will fail";
    return text;
}
