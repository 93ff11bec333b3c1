#pragma once
// Texts of the job list and the worker list, built without a window.
#include <windows.h>
#include <stdint.h>
#include "base/size_text.h"

// The user's number format with fractional digits forced to 0.
struct NumberFormat {
    uint8_t fractionalDigits;
    uint8_t leadingZero;
    uint8_t grouping;
    uint8_t negativeOrder;
    wchar_t decimalSeparator[4];
    wchar_t thousandsSeparator[4];
};

const int SIZE_TEXT_ROOM = 100;
const int OPTIMIZED_SIZE_TEXT_ROOM = 256;
const int WORKER_COUNT_TEXT_ROOM = 16;

// The locale's grouping text ("3;0", "3;2;0") as NUMBERFMT's Grouping number.
uint8_t groupingFromText(const wchar_t* text);
void initNumberFormat(NumberFormat* format);
// value formatted with grouping into text (SIZE_TEXT_ROOM units).
void formatSize(const NumberFormat* format, int64_t value, wchar_t* text);
// "N", or "N (D B; P %)" with thin spaces, into text (OPTIMIZED_SIZE_TEXT_ROOM units).
void formatOptimizedSize(const NumberFormat* format, uint64_t oldSize, uint64_t newSize,
                         wchar_t* text);
// "paused", "1 thread", "N threads" (WORKER_COUNT_TEXT_ROOM units).
void workerCountText(int count, wchar_t* text);
