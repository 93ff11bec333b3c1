// Memory per listed job and the window's longest silence, measured on the real
// "Vell Optimizer.exe" from outside, as another program would see it:
//   1. the program's private bytes before and after a folder of FILES tiny PNG
//      files is dropped on it (workers paused, so every job stays listed);
//   2. the longest time its message loop leaves a WM_NULL unanswered while those
//      files are added, while one ZIP whose 7-Zip double unpacks ENTRIES
//      Thumbs.db files is optimized with its content (one job per entry), and
//      when that container is canceled with all its content listed.
// Every tool is the no-op tool double. Figures only: Wine and the machine decide
// the numbers.
//
//   vell_bench_window.exe OPTIMIZER.EXE TOOL_DOUBLE.EXE WORK_FOLDER FILES ENTRIES
#include <windows.h>
#include <commctrl.h>
#include <psapi.h>
#include <shlobj.h>
#include <stdio.h>
#include <stdlib.h>
#include <atomic>
#include <string>
#include "bench/bench_support.h"
#include "runner/tool_names.h"
#include "settings/settings.h"

namespace {

const WORD ID_JOB_LIST = 16;
const WORD ID_STATUS_LINE = 17;
const WORD ID_WORKER_COUNT = 20;
const WORD ID_CANCEL = 16642;
const DWORD PROBE_PERIOD = 100;
const UINT PROBE_LIMIT = 60000;
const int FILES_PER_FOLDER = 1000;
const int ENTRIES_PER_FOLDER = 1000;
const DWORD THUMBS_LENGTH = 512;
// The drop record sits past a page start: the program frees it with GlobalFree,
// which under Wine looks at the bytes just before it.
const SIZE_T DROP_OFFSET = 64;

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string utf8(const std::wstring& text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length : 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &bytes[0], length, nullptr, nullptr);
    bytes.resize(bytes.size() - 1);
    return bytes;
}

// The program beside a tools folder in which every tool is the double.
bool prepareProgram(const std::wstring& work, const wchar_t* optimizer, const wchar_t* toolDouble,
                    std::wstring* program)
{
    std::wstring app = work + L"\\app";
    *program = app + L"\\Vell Optimizer.exe";
    CreateDirectoryW(app.c_str(), nullptr);
    if (!CopyFileW(optimizer, program->c_str(), FALSE))
        return false;
    for (size_t i = 0; i < TOOL_FILE_COUNT; ++i) {
        std::wstring name(TOOL_FILES[i], TOOL_FILES[i] + strlen(TOOL_FILES[i]));
        std::wstring path = app + L"\\tools\\" + name;
        SHCreateDirectoryExW(nullptr, path.substr(0, path.rfind(L'\\')).c_str(), nullptr);
        if (!CopyFileW(toolDouble, path.c_str(), FALSE))
            return false;
    }
    return true;
}

// FILES tiny PNG files, a thousand a folder; kept between runs.
bool prepareFiles(const std::wstring& root, int files)
{
    std::wstring done = root + L".ready" + std::to_wstring(files);
    if (exists(done))
        return true;
    static const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 0x0D,
                                        'I', 'H', 'D', 'R', 0, 0, 0, 1, 0, 0, 0, 1, 8, 0, 0, 0, 0};
    SHCreateDirectoryExW(nullptr, root.c_str(), nullptr);
    for (int i = 0; i < files; ++i) {
        std::wstring folder = root + L"\\f" + std::to_wstring(i / FILES_PER_FOLDER);
        if (i % FILES_PER_FOLDER == 0)
            CreateDirectoryW(folder.c_str(), nullptr);
        if (!writeWholeFile(folder + L"\\image" + std::to_wstring(i) + L".png", png, sizeof(png)))
            return false;
    }
    return writeWholeFile(done, "", 0);
}

uint64_t pathBytes(const std::wstring& root, int files)
{
    uint64_t bytes = 0;
    for (int i = 0; i < files; ++i) {
        std::wstring path = root + L"\\f" + std::to_wstring(i / FILES_PER_FOLDER) + L"\\image" +
                            std::to_wstring(i) + L".png";
        bytes += (path.size() + 1) * sizeof(wchar_t);
    }
    return bytes;
}

// A ZIP whose 7-Zip double, on its second run (the first is the sniffing probe),
// unpacks ENTRIES Thumbs.db files into the job's "x" folder.
bool prepareContainer(const std::wstring& work, const std::wstring& program, int entries,
                      std::wstring* archive)
{
    std::wstring folder = work + L"\\box";
    CreateDirectoryW(folder.c_str(), nullptr);
    *archive = folder + L"\\box.zip";
    std::wstring thumbs = work + L"\\thumbs.template";
    char entry[THUMBS_LENGTH] = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    if (!writeWholeFile(*archive, "PK\x03\x04", 4) || !writeWholeFile(thumbs, entry, THUMBS_LENGTH))
        return false;
    std::string behavior;
    std::string from = "\"" + utf8(thumbs) + "\"";
    for (int i = 0; i < entries; ++i) {
        std::string group = "x\\a" + std::to_string(i / ENTRIES_PER_FOLDER);
        if (i == 0)
            behavior += "call 2: mkdir x\n";
        if (i % ENTRIES_PER_FOLDER == 0)
            behavior += "call 2: mkdir " + group + "\n";
        std::string entryFolder = group + "\\d" + std::to_string(i);
        behavior += "call 2: mkdir " + entryFolder + "\n";
        behavior += "call 2: copy " + from + " " + entryFolder + "\\Thumbs.db\n";
    }
    std::wstring tools = program.substr(0, program.rfind(L'\\')) + L"\\tools\\";
    DeleteFileW((tools + L"7z.record").c_str());
    return writeWholeFile(tools + L"7z.behavior", behavior.data(), static_cast<DWORD>(behavior.size()));
}

void storeSettings(const std::wstring& scratch)
{
    const BenchSetting values[] = {{L"zip_strategy", 1}, {L"zip_recursive", 1}};
    storeBenchSettings(values, sizeof(values) / sizeof(values[0]), scratch);
}

struct Program {
    PROCESS_INFORMATION process;
    HWND window;
    HWND list;
    HWND status;
    HWND workers;
};

struct FindWindowQuery {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchWindow(HWND window, LPARAM parameter)
{
    FindWindowQuery* query = reinterpret_cast<FindWindowQuery*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != query->processId || !GetDlgItem(window, ID_JOB_LIST))
        return TRUE;
    query->found = window;
    return FALSE;
}

bool startProgram(const std::wstring& path, Program* program)
{
    *program = Program();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    std::wstring commandLine = L"\"" + path + L"\"";
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &program->process))
        return false;
    WaitForInputIdle(program->process.hProcess, 30000);
    FindWindowQuery query = {program->process.dwProcessId, nullptr};
    for (int attempt = 0; attempt < 600 && !query.found; ++attempt) {
        EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&query));
        if (!query.found)
            Sleep(100);
    }
    program->window = query.found;
    if (!program->window)
        return false;
    program->list = GetDlgItem(program->window, ID_JOB_LIST);
    program->status = GetDlgItem(program->window, ID_STATUS_LINE);
    program->workers = GetDlgItem(program->window, ID_WORKER_COUNT);
    return true;
}

// As a user's choice in the worker list does it.
void setWorkers(const Program& program, int count)
{
    SendMessageW(program.workers, CB_SETCURSEL, static_cast<WPARAM>(count), 0);
    SendMessageW(program.window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(program.workers));
}

std::wstring statusText(const Program& program)
{
    wchar_t text[600] = L"";
    DWORD_PTR result = 0;
    SendMessageTimeoutW(program.status, WM_GETTEXT, 600, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        PROBE_LIMIT, &result);
    return text;
}

size_t rowCount(const Program& program)
{
    DWORD_PTR count = 0;
    SendMessageTimeoutW(program.list, LVM_GETITEMCOUNT, 0, 0, SMTO_NORMAL, PROBE_LIMIT, &count);
    return count;
}

// The text of one cell, read through a buffer in the program's memory.
std::wstring cellText(const Program& program, int row, int column)
{
    const SIZE_T room = 512;
    HANDLE process = program.process.hProcess;
    char* remote = static_cast<char*>(
        VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (!remote)
        return std::wstring();
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(remote + 256);
    item.cchTextMax = static_cast<int>(room);
    wchar_t text[room + 1] = L"";
    DWORD_PTR result = 0;
    if (WriteProcessMemory(process, remote, &item, sizeof(item), nullptr) &&
        SendMessageTimeoutW(program.list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                            reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, PROBE_LIMIT, &result))
        ReadProcessMemory(process, remote + 256, text, room * sizeof(wchar_t), nullptr);
    text[room] = 0;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return text;
}

// Selects one row, as a click on it would.
bool selectRow(const Program& program, int row)
{
    HANDLE process = program.process.hProcess;
    void* remote = VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!remote)
        return false;
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    DWORD_PTR result = 0;
    bool ok = WriteProcessMemory(process, remote, &item, sizeof(item), nullptr) &&
              SendMessageTimeoutW(program.list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                                  reinterpret_cast<LPARAM>(remote), SMTO_NORMAL, PROBE_LIMIT, &result) &&
              result;
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return ok;
}

// A drop of one path, as the shell would post it; the program reads and frees it.
bool dropPath(const Program& program, const std::wstring& path)
{
    std::string record(sizeof(DROPFILES), '\0');
    DROPFILES* header = reinterpret_cast<DROPFILES*>(&record[0]);
    header->pFiles = sizeof(DROPFILES);
    header->fWide = TRUE;
    record.append(reinterpret_cast<const char*>(path.c_str()), (path.size() + 1) * sizeof(wchar_t));
    record.append(sizeof(wchar_t), '\0');
    char* remote = static_cast<char*>(VirtualAllocEx(program.process.hProcess, nullptr, 4096 + record.size(),
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return remote &&
           WriteProcessMemory(program.process.hProcess, remote + DROP_OFFSET, record.data(), record.size(),
                              nullptr) &&
           PostMessageW(program.window, WM_DROPFILES, reinterpret_cast<WPARAM>(remote + DROP_OFFSET), 0);
}

// Sends WM_NULL every PROBE_PERIOD ms and keeps the longest wait for an answer.
struct Probe {
    HWND window;
    std::atomic<bool> stop;
    double longest;
    double longestAt; // seconds after the probe started
    int sent;
    int unanswered;
    HANDLE thread;
};

DWORD WINAPI probeThread(void* parameter)
{
    Probe* probe = static_cast<Probe*>(parameter);
    double start = benchSeconds();
    while (!probe->stop.load()) {
        double sent = benchSeconds();
        DWORD_PTR result = 0;
        LRESULT answered = SendMessageTimeoutW(probe->window, WM_NULL, 0, 0, SMTO_NORMAL, PROBE_LIMIT, &result);
        double waited = benchSeconds() - sent;
        ++probe->sent;
        if (!answered)
            ++probe->unanswered;
        if (waited > probe->longest) {
            probe->longest = waited;
            probe->longestAt = sent - start;
        }
        double next = sent + PROBE_PERIOD / 1000.0 - benchSeconds();
        if (next > 0)
            Sleep(static_cast<DWORD>(next * 1000.0));
    }
    return 0;
}

void startProbe(Probe* probe, HWND window)
{
    probe->window = window;
    probe->stop.store(false);
    probe->longest = 0;
    probe->longestAt = 0;
    probe->sent = 0;
    probe->unanswered = 0;
    probe->thread = CreateThread(nullptr, 0, probeThread, probe, 0, nullptr);
}

void stopProbe(Probe* probe)
{
    probe->stop.store(true);
    WaitForSingleObject(probe->thread, INFINITE);
    CloseHandle(probe->thread);
}

bool statusIs(const Program& program, const wchar_t* text)
{
    return statusText(program) == text;
}

// Closes the window as the user would and waits for the teardown.
double closeProgram(Program* program)
{
    double start = benchSeconds();
    PostMessageW(program->window, WM_CLOSE, 0, 0);
    WaitForSingleObject(program->process.hProcess, INFINITE);
    CloseHandle(program->process.hProcess);
    CloseHandle(program->process.hThread);
    return benchSeconds() - start;
}

double kib(double bytes)
{
    return bytes / 1024.0;
}

bool measureAdding(const std::wstring& programPath, const std::wstring& files, int count)
{
    Program program;
    if (!startProgram(programPath, &program)) {
        fprintf(stderr, "the window did not appear\n");
        return false;
    }
    setWorkers(program, 0);
    if (getenv("BENCH_MINIMIZE"))
        ShowWindow(program.window, SW_MINIMIZE);
    Sleep(2000);
    MemoryFigures before = memoryOf(program.process.hProcess);
    Probe probe;
    startProbe(&probe, program.window);
    double start = benchSeconds();
    if (!dropPath(program, files)) {
        stopProbe(&probe);
        fprintf(stderr, "cannot drop the folder\n");
        return false;
    }
    // Listed: every row is there and the adding run has ended.
    double analyzed = 0;
    bool seenAnalyzing = false;
    double traced = start;
    bool trace = getenv("BENCH_TRACE") != nullptr;
    for (;;) {
        size_t rows = rowCount(program);
        std::wstring status = statusText(program);
        bool analyzing = status.compare(0, 11, L" Analyzing ") == 0;
        if (analyzing)
            seenAnalyzing = true;
        else if (seenAnalyzing && analyzed == 0)
            analyzed = benchSeconds() - start;
        if (rows >= static_cast<size_t>(count) && status == L" Paused.")
            break;
        if (trace && benchSeconds() - traced > 5) {
            traced = benchSeconds();
            printf("    %6.1f s: %zu rows\n", traced - start, rows);
            fflush(stdout);
        }
        Sleep(200);
    }
    double added = benchSeconds() - start;
    stopProbe(&probe);
    Sleep(2000);
    MemoryFigures after = memoryOf(program.process.hProcess);
    size_t rows = rowCount(program);
    double paths = static_cast<double>(pathBytes(files, count)) / count;
    printf("  adding %d files (one folder dropped, workers paused): %.1f s, %.0f files/s, %zu rows; the adder "
           "ended after %.1f s\n",
           count, added, count / added, rows, analyzed);
    printf("  longest unanswered WM_NULL while adding: %.3f s (at %.1f s; %d probes, %d timed out)\n",
           probe.longest, probe.longestAt, probe.sent, probe.unanswered);
    double usage = (static_cast<double>(after.privateUsage) - static_cast<double>(before.privateUsage)) / count;
    double committed =
        (static_cast<double>(after.privateCommitted) - static_cast<double>(before.privateCommitted)) / count;
    printf("  private bytes: %.1f MiB before, %.1f MiB after (PrivateUsage); committed private regions %.1f -> "
           "%.1f MiB\n",
           kib(kib(static_cast<double>(before.privateUsage))), kib(kib(static_cast<double>(after.privateUsage))),
           kib(kib(static_cast<double>(before.privateCommitted))),
           kib(kib(static_cast<double>(after.privateCommitted))));
    printf("  per job: %.0f B PrivateUsage, %.0f B committed; less its path (%.0f B): %.0f B, %.0f B "
           "(target under 2048 B)\n",
           usage, committed, paths, usage - paths, committed - paths);
    fflush(stdout);
    double closing = closeProgram(&program);
    printf("  closing the window (removes %d scratch folders): %.1f s\n", count, closing);
    fflush(stdout);
    return true;
}

bool measureContainer(const std::wstring& programPath, const std::wstring& archive, int entries)
{
    Program program;
    if (!startProgram(programPath, &program)) {
        fprintf(stderr, "the window did not appear\n");
        return false;
    }
    Sleep(2000);
    Probe probe;
    startProbe(&probe, program.window);
    double start = benchSeconds();
    if (!dropPath(program, archive)) {
        stopProbe(&probe);
        fprintf(stderr, "cannot drop the archive\n");
        return false;
    }
    // Finished: the container and every entry are listed and no worker is busy.
    // (twice, a second apart: the worker that ends the last entry picks the container next).
    for (int quiet = 0; quiet < 2;) {
        bool ended = rowCount(program) >= static_cast<size_t>(entries) + 1 && statusIs(program, L" Paused.") &&
                     cellText(program, 0, 4) != L"pending";
        quiet = ended ? quiet + 1 : 0;
        Sleep(ended ? 1000 : 200);
    }
    double finished = benchSeconds() - start;
    stopProbe(&probe);
    size_t rows = rowCount(program);
    size_t ok = 0;
    printf("  a ZIP of %d entries with its content: %.1f s, %zu rows; the container's status \"%s\"\n", entries,
           finished, rows, utf8(cellText(program, 0, 4)).c_str());
    for (int row = 1; row <= entries; row += entries / 10 > 0 ? entries / 10 : 1)
        ok += cellText(program, row, 4) == L"OK";
    printf("  entries sampled OK: %zu of %d\n", ok, entries >= 10 ? 10 : entries);
    printf("  longest unanswered WM_NULL while it ran: %.3f s (at %.1f s; %d probes, %d timed out)\n",
           probe.longest, probe.longestAt, probe.sent, probe.unanswered);
    fflush(stdout);
    double closing = closeProgram(&program);
    printf("  closing the window: %.1f s\n", closing);
    fflush(stdout);
    return true;
}

// The container is canceled from its context menu once all its content is
// listed; the window answers nothing until the command has been handled.
bool measureCancel(const std::wstring& programPath, const std::wstring& archive, int entries)
{
    Program program;
    if (!startProgram(programPath, &program)) {
        fprintf(stderr, "the window did not appear\n");
        return false;
    }
    Sleep(2000);
    if (!dropPath(program, archive)) {
        fprintf(stderr, "cannot drop the archive\n");
        return false;
    }
    while (rowCount(program) < static_cast<size_t>(entries) + 1)
        Sleep(200);
    Probe probe;
    startProbe(&probe, program.window);
    Sleep(500);
    selectRow(program, 0);
    double start = benchSeconds();
    DWORD_PTR result = 0;
    SendMessageTimeoutW(program.window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0, SMTO_NORMAL, PROBE_LIMIT * 10,
                        &result);
    double canceling = benchSeconds() - start;
    // The content's rows are labelled by later messages; the probe runs on
    // until the sampled rows all show the outcome, or 30 s have passed.
    size_t canceled = 0;
    size_t samples = entries >= 10 ? 10 : static_cast<size_t>(entries);
    for (double waited = 0; waited < 30 && canceled < samples; waited += 0.2) {
        Sleep(200);
        canceled = 0;
        for (int row = 1; row <= entries; row += entries / 10 > 0 ? entries / 10 : 1)
            canceled += cellText(program, row, 4) == L"canceled" || cellText(program, row, 4) == L"OK";
    }
    double labelled = benchSeconds() - start;
    stopProbe(&probe);
    printf("  canceling that container once its entries are listed: the command took %.3f s, the rows were "
           "labelled after %.1f s; longest unanswered WM_NULL %.3f s; entries sampled canceled or already done: "
           "%zu of %zu\n",
           canceling, labelled, probe.longest, canceled, samples);
    fflush(stdout);
    double closing = closeProgram(&program);
    printf("  closing the window: %.1f s\n", closing);
    fflush(stdout);
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: vell_bench_window OPTIMIZER.EXE TOOL_DOUBLE.EXE WORK_FOLDER FILES ENTRIES\n");
        return 2;
    }
    std::wstring work = argv[3];
    int files = _wtoi(argv[4]);
    int entries = _wtoi(argv[5]);
    // FILES 0 measures only the container.
    if (files < 0 || entries <= 0) {
        fprintf(stderr, "FILES must not be negative, ENTRIES must be positive\n");
        return 2;
    }
    SHCreateDirectoryExW(nullptr, work.c_str(), nullptr);
    std::wstring scratch = work + L"\\scratch\\";
    CreateDirectoryW(scratch.c_str(), nullptr);
    std::wstring program;
    std::wstring root = work + L"\\files" + std::to_wstring(files);
    std::wstring archive;
    if (!prepareProgram(work, argv[1], argv[2], &program) || !prepareFiles(root, files) ||
        !prepareContainer(work, program, entries, &archive)) {
        fprintf(stderr, "cannot prepare %ls\n", work.c_str());
        return 1;
    }
    storeSettings(scratch);
    printf("P5 memory and the window (\"Vell Optimizer.exe\", every tool the no-op double)\n");
    fflush(stdout);
    if ((files > 0 && !measureAdding(program, root, files)) || !measureContainer(program, archive, entries) ||
        !prepareContainer(work, program, entries, &archive) || !measureCancel(program, archive, entries))
        return 1;
    return 0;
}
