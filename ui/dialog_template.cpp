#include "ui/dialog_template.h"
#include "base/file_util.h"
#include <string.h>
#include <wchar.h>

static void appendBytes(DialogTemplate* t, const void* bytes, size_t count)
{
    if (t->failed)
        return;
    if (t->length + count > t->capacity) {
        size_t capacity = t->capacity * 2 > t->length + count ? t->capacity * 2 : t->length + count + 256;
        uint8_t* grown = static_cast<uint8_t*>(reallocate(t->data, capacity, 1, nullptr));
        if (!grown) {
            t->failed = true;
            return;
        }
        t->data = grown;
        t->capacity = capacity;
    }
    memcpy(t->data + t->length, bytes, count);
    t->length += count;
}

static void appendWord(DialogTemplate* t, WORD value)
{
    appendBytes(t, &value, sizeof(value));
}

static void appendString(DialogTemplate* t, const wchar_t* text)
{
    appendBytes(t, text ? text : L"", ((text ? wcslen(text) : 0) + 1) * sizeof(wchar_t));
}

static void alignToDword(DialogTemplate* t)
{
    static const uint8_t zeros[4] = {};
    if (t->length % 4)
        appendBytes(t, zeros, 4 - t->length % 4);
}

void beginDialogTemplate(DialogTemplate* t, DWORD style, DWORD exStyle, short x, short y, short cx,
                         short cy, const wchar_t* caption, WORD pointSize, const wchar_t* fontName)
{
    *t = DialogTemplate();
    DLGTEMPLATE header = {};
    header.style = style;
    header.dwExtendedStyle = exStyle;
    header.x = x;
    header.y = y;
    header.cx = cx;
    header.cy = cy;
    t->countOffset = offsetof(DLGTEMPLATE, cdit);
    appendBytes(t, &header, sizeof(header));
    appendWord(t, 0); // no menu
    appendWord(t, 0); // the predefined dialog class
    appendString(t, caption);
    if (style & DS_SETFONT) {
        appendWord(t, pointSize);
        appendString(t, fontName);
    }
}

static void beginItem(DialogTemplate* t, WORD id, DWORD style, DWORD exStyle, short x, short y, short cx,
                      short cy)
{
    alignToDword(t);
    DLGITEMTEMPLATE item = {};
    item.style = style;
    item.dwExtendedStyle = exStyle;
    item.x = x;
    item.y = y;
    item.cx = cx;
    item.cy = cy;
    item.id = id;
    appendBytes(t, &item, sizeof(item));
    if (!t->failed) {
        WORD count;
        memcpy(&count, t->data + t->countOffset, sizeof(count));
        ++count;
        memcpy(t->data + t->countOffset, &count, sizeof(count));
    }
}

static void endItem(DialogTemplate* t, const wchar_t* text)
{
    appendString(t, text);
    appendWord(t, 0); // no creation data
}

void addDialogControl(DialogTemplate* t, WORD id, WORD classOrdinal, const wchar_t* text, DWORD style,
                      DWORD exStyle, short x, short y, short cx, short cy)
{
    beginItem(t, id, style, exStyle, x, y, cx, cy);
    appendWord(t, 0xFFFF);
    appendWord(t, classOrdinal);
    endItem(t, text);
}

void addDialogControlByName(DialogTemplate* t, WORD id, const wchar_t* className, const wchar_t* text,
                            DWORD style, DWORD exStyle, short x, short y, short cx, short cy)
{
    beginItem(t, id, style, exStyle, x, y, cx, cy);
    appendString(t, className);
    endItem(t, text);
}

const DLGTEMPLATE* dialogTemplateData(const DialogTemplate* t)
{
    return t->failed ? nullptr : reinterpret_cast<const DLGTEMPLATE*>(t->data);
}

void freeDialogTemplate(DialogTemplate* t)
{
    release(t->data);
    *t = DialogTemplate();
}
