// What the list view alone costs per row as it grows: a report-style list view
// of five columns, filled as the window fills its job list (a file name, then
// four cell texts a row, in batches with drawing off), and next to it the job
// records alone, one heap block of a job's size a row, made after every row.
// At each checkpoint this process's committed private regions and the live
// blocks of its heap are read: the first is what the system pays, the second
// what the rows use, and a cost per row that grows with the count shows up
// between checkpoints.
//   vell_bench_listview.exe ROWS
#include <windows.h>
#include <commctrl.h>
#include <stdio.h>
#include <vector>
#include "bench/bench_support.h"
#include "jobs/job.h"

namespace {

const int COLUMN_COUNT = 5;
const int BATCH_ROWS = 256;
const int CHECKPOINTS = 5;

void setCell(HWND list, int row, int column, const wchar_t* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text);
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

HWND createList()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&controls);
    HWND frame = CreateWindowExW(0, L"STATIC", L"list view bench", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                 0, 0, 800, 600, nullptr, nullptr, nullptr, nullptr);
    HWND list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOLABELWRAP, 0,
                                0, 800, 600, frame, nullptr, nullptr, nullptr);
    for (int i = 0; i < COLUMN_COUNT; ++i) {
        LVCOLUMNW column = {};
        column.mask = LVCF_WIDTH | LVCF_TEXT;
        column.cx = 120;
        column.pszText = const_cast<wchar_t*>(L"column");
        SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&column));
    }
    return list;
}

void addRows(HWND list, int from, int to)
{
    for (int first = from; first < to; first += BATCH_ROWS) {
        int last = first + BATCH_ROWS < to ? first + BATCH_ROWS : to;
        SendMessageW(list, WM_SETREDRAW, FALSE, 0);
        for (int row = first; row < last; ++row) {
            wchar_t name[32];
            swprintf(name, 32, L"f%06d.png", row);
            LVITEMW item = {};
            item.mask = LVIF_TEXT;
            item.iItem = row;
            item.pszText = name;
            SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
            setCell(list, row, 1, L"600 B");
            setCell(list, row, 2, L"-");
            setCell(list, row, 3, L"optimize PNG");
            setCell(list, row, 4, L"pending");
        }
        SendMessageW(list, WM_SETREDRAW, TRUE, 0);
        pumpMessagesFor(0);
    }
}

double committed()
{
    return static_cast<double>(memoryOf(GetCurrentProcess()).privateCommitted);
}

// Bytes in the process heap's busy blocks: what the rows use, whatever the heap
// has committed around them.
double heapInUse()
{
    HANDLE heap = GetProcessHeap();
    double total = 0;
    PROCESS_HEAP_ENTRY entry = {};
    HeapLock(heap);
    while (HeapWalk(heap, &entry)) {
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            total += static_cast<double>(entry.cbData) + entry.cbOverhead;
    }
    HeapUnlock(heap);
    return total;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int rows = argc > 1 ? _wtoi(argv[1]) : 100000;
    if (rows < CHECKPOINTS) {
        fprintf(stderr, "usage: vell_bench_listview ROWS (at least %d)\n", CHECKPOINTS);
        return 2;
    }
    printf("List view alone, then the job records alone: %d rows in %d steps\n", rows, CHECKPOINTS);
    printf("  %8s  %16s  %16s  %16s  %10s\n", "rows", "committed B/row", "this step B/row", "heap used B/row",
           "rows/s");
    HWND list = createList();
    double base = committed();
    double heapBase = heapInUse();
    double previous = base;
    int done = 0;
    for (int step = 1; step <= CHECKPOINTS; ++step) {
        int target = static_cast<int>(static_cast<long long>(rows) * step / CHECKPOINTS);
        double start = benchSeconds();
        addRows(list, done, target);
        double seconds = benchSeconds() - start;
        double listed = committed();
        printf("  %8d  %16.0f  %16.0f  %16.0f  %10.0f\n", target, (listed - base) / target,
               (listed - previous) / (target - done), (heapInUse() - heapBase) / target,
               (target - done) / seconds);
        fflush(stdout);
        previous = listed;
        done = target;
    }
    // The records come after every row, so the heap's growth is theirs alone.
    std::vector<void*> records;
    records.reserve(static_cast<size_t>(rows));
    HANDLE heap = GetProcessHeap();
    base = committed();
    heapBase = heapInUse();
    for (int i = 0; i < rows; ++i)
        records.push_back(HeapAlloc(heap, 0, sizeof(Job)));
    printf("  job records alone, %d: %.0f B/row committed, %.0f B/row heap used\n", rows,
           (committed() - base) / rows, (heapInUse() - heapBase) / rows);
    printf("  (a job record is %u B; the window adds a row of five such texts for each job)\n",
           static_cast<unsigned>(sizeof(Job)));
    return 0;
}
