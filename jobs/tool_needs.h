#pragma once
// Which tool files each action may start, and what a missing one disables.
#include <stddef.h>
#include <stdint.h>
#include <string>
#include "jobs/content.h"
#include "runner/tool_names.h"

// The PNG strategy (png_strategy, a PNG job's options[1]) that takes OptiPNG and ArchiPNG.
const uint8_t PNG_FOR_7Z = 2;

// Tools (entries of TOOL_FILES) that the pipeline of action may start, with the
// PNG strategy where the action is "optimize PNG" or "convert to PNG"; their count.
size_t toolsOfAction(Action action, uint8_t pngStrategy, const char* const** tools);
bool actionNeedsTool(Action action, uint8_t pngStrategy, const char* tool);
// "PNG", "JPEG", ...: the kind of file an action works on; "" for none and delete.
const wchar_t* actionKindText(Action action);

struct MissingTools {
    size_t count;                     // tool files not in the tools directory
    bool missing[TOOL_FILE_COUNT];    // by index of TOOL_FILES
    bool actionFails[ACTION_COUNT];   // actions that need at least one missing tool
};

// Looks for every tool file in toolsDirectory; PNG actions as pngStrategy runs them.
void findMissingTools(uint8_t pngStrategy, MissingTools* found);
// Whether a job of action with that PNG strategy needs a tool that is missing.
bool needsMissingTool(const MissingTools& found, Action action, uint8_t pngStrategy);
// The actions that may need TOOL_FILES[index] (with either PNG strategy), as their
// display texts joined by ", ".
std::wstring actionsNeedingText(size_t index);
// "2 tools missing (ECT_x64.exe, Leanify.exe); PNG, JPEG, ZIP files fail"; empty when none is.
std::wstring missingToolsNotice(const MissingTools& found);
