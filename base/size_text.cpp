#include "base/size_text.h"
#include <math.h>
#include <stdio.h>
#include <wchar.h>

int percentChange(uint64_t oldSize, uint64_t newSize)
{
    if (oldSize == 0)
        return 0;
    float quotient = static_cast<float>(newSize * 100) / static_cast<float>(oldSize);
    // lrintf rounds in the default mode, to nearest with ties to even.
    return static_cast<int>(lrintf(quotient)) - 100;
}

void formatSizeChange(const wchar_t* newSizeText, const wchar_t* differenceText, uint64_t oldSize,
                      uint64_t newSize, wchar_t unitSpace, wchar_t* text, size_t room)
{
    if (room == 0)
        return;
    if (newSize == oldSize) {
        swprintf(text, room, L"%ls", newSizeText);
        return;
    }
    // The sign follows the bytes, so a growth too small to show in the percentage still reads "+0".
    const wchar_t* plus = newSize > oldSize ? L"+" : L"";
    if (oldSize == 0) {
        swprintf(text, room, L"%ls (%ls%ls%lcB)", newSizeText, plus, differenceText, unitSpace);
        return;
    }
    swprintf(text, room, L"%ls (%ls%ls%lcB; %ls%d%lc%%)", newSizeText, plus, differenceText, unitSpace, plus,
             percentChange(oldSize, newSize), unitSpace);
}
