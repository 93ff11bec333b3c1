#pragma once
// Builds standard (not extended) in-memory dialog templates: the packed
// DLGTEMPLATE / DLGITEMTEMPLATE layout with its DWORD alignment, sz_Or_Ord
// fields and the font block. Every template of the program comes from here.
#include <windows.h>
#include <stdint.h>

struct DialogTemplate {
    uint8_t* data;
    size_t length;
    size_t capacity;
    bool failed;
    size_t countOffset; // where cdit lives, bumped by every control
};

// Class ordinals of the predefined control classes.
enum : WORD {
    DIALOG_CLASS_BUTTON = 0x0080,
    DIALOG_CLASS_EDIT = 0x0081,
    DIALOG_CLASS_STATIC = 0x0082,
    DIALOG_CLASS_LISTBOX = 0x0083,
    DIALOG_CLASS_SCROLLBAR = 0x0084,
    DIALOG_CLASS_COMBOBOX = 0x0085,
};

// Starts a template; style should include DS_SETFONT when a font is given.
void beginDialogTemplate(DialogTemplate* t, DWORD style, DWORD exStyle, short x, short y, short cx,
                         short cy, const wchar_t* caption, WORD pointSize, const wchar_t* fontName);
// A control whose class is a predefined ordinal.
void addDialogControl(DialogTemplate* t, WORD id, WORD classOrdinal, const wchar_t* text, DWORD style,
                      DWORD exStyle, short x, short y, short cx, short cy);
// A control whose class is named (e.g. WC_LISTVIEWW).
void addDialogControlByName(DialogTemplate* t, WORD id, const wchar_t* className, const wchar_t* text,
                            DWORD style, DWORD exStyle, short x, short y, short cx, short cy);
// The finished template, or null when memory ran out; free with freeDialogTemplate.
const DLGTEMPLATE* dialogTemplateData(const DialogTemplate* t);
void freeDialogTemplate(DialogTemplate* t);
