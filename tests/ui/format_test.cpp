#include <gtest/gtest.h>
#include <string>
#include "ui/commands.h"
#include "ui/format.h"
#include "ui/main_window_internal.h"

namespace {

NumberFormat englishFormat(uint8_t grouping)
{
    NumberFormat format = {};
    format.fractionalDigits = 0;
    format.leadingZero = 1;
    format.grouping = grouping;
    format.negativeOrder = 1;
    wcscpy_s(format.decimalSeparator, 4, L".");
    wcscpy_s(format.thousandsSeparator, 4, L",");
    return format;
}

std::wstring sizeText(const NumberFormat& format, int64_t value)
{
    wchar_t text[SIZE_TEXT_ROOM];
    formatSize(&format, value, text);
    return text;
}

TEST(FormatTest, GroupingFromLocaleText)
{
    struct Case {
        const wchar_t* text;
        uint8_t grouping;
    } cases[] = {
        {L"", 0}, {L"3;0", 3}, {L"3;2;0", 32}, {L"3", 3}, {L"0;0", 0}, {L"4;0", 4}, {L"3;", 3},
    };
    for (const Case& c : cases)
        EXPECT_EQ(groupingFromText(c.text), c.grouping) << c.text;
}

TEST(FormatTest, SizesWithGrouping)
{
    struct Case {
        uint8_t grouping;
        int64_t value;
        const wchar_t* text;
    } cases[] = {
        {3, 0, L"0"},
        {3, 7, L"7"},
        {3, 999, L"999"},
        {3, 1000, L"1,000"},
        {3, 1234567, L"1,234,567"},
        {3, -50, L"-50"},
        {3, -234567, L"-234,567"},
        {3, INT64_MAX, L"9,223,372,036,854,775,807"},
        {32, 1234567, L"12,34,567"},
        {0, 1234567, L"1234567"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sizeText(englishFormat(c.grouping), c.value), c.text) << c.value;
}

TEST(FormatTest, SizesFollowTheNegativeOrder)
{
    NumberFormat format = englishFormat(3);
    format.negativeOrder = 0; // (1.1)
    EXPECT_EQ(sizeText(format, -1500), L"(1,500)");
}

TEST(FormatTest, PercentRoundsHalfToEvenInSinglePrecision)
{
    struct Case {
        uint64_t oldSize;
        uint64_t newSize;
        int percent;
    } cases[] = {
        {200, 150, -25},
        {200, 200, 0},
        {8, 1, -88},     // 12.5 goes down to 12
        {8, 3, -62},     // 37.5 goes up to 38
        {200, 201, 0},   // 100.5 goes down to 100
        {200, 203, 2},   // 101.5 goes up to 102
        {3, 1, -67},
        {1000, 1500, 50},
        // Single precision gives 100.500008 where the exact quotient is 100.4999995.
        {16777217, 16861103, 1},
        {16777231, 16861118, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(percentChange(c.oldSize, c.newSize), c.percent) << c.oldSize << " -> " << c.newSize;
}

TEST(FormatTest, OptimizedSizeText)
{
    struct Case {
        uint64_t oldSize;
        uint64_t newSize;
        const wchar_t* text;
    } cases[] = {
        {200, 150, L"150 (-50\u2009B; -25\u2009%)"},
        {200, 200, L"200"},
        {1000, 1500, L"1,500 (+500\u2009B; +50\u2009%)"},
        {1234567, 1000000, L"1,000,000 (-234,567\u2009B; -19\u2009%)"},
        {8, 1, L"1 (-7\u2009B; -88\u2009%)"},
        {0, 10, L"10 (+10\u2009B)"},
    };
    NumberFormat format = englishFormat(3);
    for (const Case& c : cases) {
        wchar_t text[OPTIMIZED_SIZE_TEXT_ROOM];
        formatOptimizedSize(&format, c.oldSize, c.newSize, text);
        EXPECT_EQ(std::wstring(text), c.text) << c.oldSize << " -> " << c.newSize;
    }
}

TEST(FormatTest, WorkerCountTexts)
{
    struct Case {
        int count;
        const wchar_t* text;
    } cases[] = {{0, L"paused"}, {1, L"1 thread"}, {2, L"2 threads"}, {64, L"64 threads"}};
    for (const Case& c : cases) {
        wchar_t text[WORKER_COUNT_TEXT_ROOM];
        workerCountText(c.count, text);
        EXPECT_EQ(std::wstring(text), c.text);
    }
}

TEST(LayoutTableTest, PlacesInDialogUnits)
{
    struct Case {
        int width;
        int height;
        ControlPlacement expected[LAYOUT_CONTROL_COUNT];
    } cases[] = {
        {400, 200,
         {{ID_TABS, 2, 2, 396, 66},
          {ID_JOB_LIST, 2, 70, 396, 110},
          {ID_ADD_FOLDER, 198, 184, 64, 14},
          {ID_ADD_FILE, 266, 184, 64, 14},
          {ID_WORKER_COUNT, 334, 184, 64, 14},
          {ID_STATUS_LINE, 2, 187, 122, 10}}},
        // Narrower than 278 units: the status line has no width left.
        {250, 130,
         {{ID_TABS, 2, 2, 246, 66},
          {ID_JOB_LIST, 2, 70, 246, 40},
          {ID_ADD_FOLDER, 48, 114, 64, 14},
          {ID_ADD_FILE, 116, 114, 64, 14},
          {ID_WORKER_COUNT, 184, 114, 64, 14},
          {ID_STATUS_LINE, 2, 117, 0, 10}}},
    };
    for (const Case& c : cases) {
        ControlPlacement placements[LAYOUT_CONTROL_COUNT];
        layoutTable(c.width, c.height, placements);
        for (int i = 0; i < LAYOUT_CONTROL_COUNT; ++i) {
            const ControlPlacement& got = placements[i];
            const ControlPlacement& want = c.expected[i];
            EXPECT_EQ(got.id, want.id) << i;
            EXPECT_EQ(got.x, want.x) << got.id;
            EXPECT_EQ(got.y, want.y) << got.id;
            EXPECT_EQ(got.width, want.width) << got.id;
            EXPECT_EQ(got.height, want.height) << got.id;
        }
    }
}

} // namespace
