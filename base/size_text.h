#pragma once
// The size-change text that the window and VellBatch both show.
#include <stddef.h>
#include <stdint.h>

// (newSize x 100 / oldSize to the nearest, ties to even, in single precision) - 100; 0 when oldSize is 0.
int percentChange(uint64_t oldSize, uint64_t newSize);
// newSizeText, then unless the size is unchanged " (D B; P %)": a "+" before D and P when the
// file grew, unitSpace between each number and its unit, no percentage when oldSize is 0.
// differenceText is newSize - oldSize already formatted, with its own minus sign.
void formatSizeChange(const wchar_t* newSizeText, const wchar_t* differenceText, uint64_t oldSize,
                      uint64_t newSize, wchar_t unitSpace, wchar_t* text, size_t room);
