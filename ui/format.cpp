#include "ui/format.h"
#include <stdio.h>
#include <wchar.h>

uint8_t groupingFromText(const wchar_t* text)
{
    if (text[0] < L'0' || text[0] > L'9')
        return 0;
    uint8_t grouping = static_cast<uint8_t>(text[0] - L'0');
    // "3;2;0" becomes 32. A text cut after its separator ("3;") has no third
    // digit to read, so it keeps the first alone.
    if (text[1] != 0 && text[2] >= L'1' && text[2] <= L'9')
        grouping = static_cast<uint8_t>(grouping * 10 + (text[2] - L'0'));
    return grouping;
}

static uint8_t localeNumber(LCTYPE type)
{
    DWORD value = 0;
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, type | LOCALE_RETURN_NUMBER,
                        reinterpret_cast<wchar_t*>(&value), sizeof(value) / sizeof(wchar_t)))
        return 0;
    return static_cast<uint8_t>(value);
}

static void localeText(LCTYPE type, wchar_t* text, int room, const wchar_t* fallback)
{
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, type, text, room))
        wcscpy_s(text, room, fallback);
}

void initNumberFormat(NumberFormat* format)
{
    format->fractionalDigits = 0;
    format->leadingZero = localeNumber(LOCALE_ILZERO);
    format->negativeOrder = localeNumber(LOCALE_INEGNUMBER);
    localeText(LOCALE_SDECIMAL, format->decimalSeparator, 4, L".");
    localeText(LOCALE_STHOUSAND, format->thousandsSeparator, 4, L",");
    wchar_t grouping[10];
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SGROUPING, grouping, 10))
        grouping[0] = 0;
    format->grouping = groupingFromText(grouping);
}

void formatSize(const NumberFormat* format, int64_t value, wchar_t* text)
{
    wchar_t digits[24];
    swprintf(digits, 24, L"%lld", static_cast<long long>(value));
    NUMBERFMTW system;
    system.NumDigits = format->fractionalDigits;
    system.LeadingZero = format->leadingZero;
    system.Grouping = format->grouping;
    system.lpDecimalSep = const_cast<wchar_t*>(format->decimalSeparator);
    system.lpThousandSep = const_cast<wchar_t*>(format->thousandsSeparator);
    system.NegativeOrder = format->negativeOrder;
    // Without a formatted text the plain digits are still right.
    if (!GetNumberFormatW(LOCALE_USER_DEFAULT, 0, digits, &system, text, SIZE_TEXT_ROOM - 1))
        wcscpy_s(text, SIZE_TEXT_ROOM, digits);
}

void formatOptimizedSize(const NumberFormat* format, uint64_t oldSize, uint64_t newSize,
                         wchar_t* text)
{
    wchar_t sizeText[SIZE_TEXT_ROOM];
    wchar_t differenceText[SIZE_TEXT_ROOM];
    formatSize(format, static_cast<int64_t>(newSize), sizeText);
    formatSize(format, static_cast<int64_t>(newSize - oldSize), differenceText);
    formatSizeChange(sizeText, differenceText, oldSize, newSize, L'\u2009', text, OPTIMIZED_SIZE_TEXT_ROOM);
}

void workerCountText(int count, wchar_t* text)
{
    if (count == 0)
        wcscpy_s(text, WORKER_COUNT_TEXT_ROOM, L"paused");
    else if (count == 1)
        wcscpy_s(text, WORKER_COUNT_TEXT_ROOM, L"1 thread");
    else
        swprintf(text, WORKER_COUNT_TEXT_ROOM, L"%d threads", count);
}
