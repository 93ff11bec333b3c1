// Drives a running "Vell Optimizer.exe" from outside, as a user would: adds
// files through "Add File …", picks worker counts, cancels rows through the context menu's
// command, reads the job list and closes the window. It reads one command a
// line on standard input (UTF-8, fields separated by tabs) and answers each
// with one line starting "ok" or "error" (a few answers add lines):
//   find LIMIT_MS             the window within the limit: "ok PROCESS_ID"
//   add-file PATH             typed into the file dialog of "Add File …"
//   workers COUNT             picked in the worker list
//   cancel ROW...             those rows selected, then "Cancel"
//   rows                      "ok N", then per row its five cells
//   status                    "ok" and the status line
//   close                     WM_CLOSE
#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>
#include <stdio.h>
#include <string>
#include <vector>
#include "ui/format.h"
#include "ui/main_window.h"

// A window that does not answer a command within this long is hung.
const UINT ANSWER_LIMIT_MS = 60000;
const int CELL_ROOM = 1024;

struct Target {
    HWND window;
    HWND list;
    HWND workers;
    HANDLE process;
};

static std::wstring widen(const std::string& text)
{
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

static std::string narrow(const std::wstring& text)
{
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr,
                        nullptr);
    return bytes;
}

static void answer(const std::string& line)
{
    fputs(line.c_str(), stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// Standard input is read whole lines at a time; false at its end.
static bool readLine(std::string* line)
{
    line->clear();
    int c;
    while ((c = fgetc(stdin)) != EOF) {
        if (c == '\n')
            return true;
        if (c != '\r')
            line->push_back(static_cast<char>(c));
    }
    return !line->empty();
}

static std::vector<std::string> fieldsOf(const std::string& line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// False when the window did not answer within the limit (or is gone).
static bool sendWithin(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result = nullptr)
{
    DWORD_PTR value = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, ANSWER_LIMIT_MS, &value))
        return false;
    if (result)
        *result = static_cast<LRESULT>(value);
    return true;
}

static bool findTarget(DWORD limitMs, Target* target)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND window = FindWindowW(L"#32770", MAIN_WINDOW_CAPTION);
        if (window && IsWindowVisible(window)) {
            DWORD processId = 0;
            GetWindowThreadProcessId(window, &processId);
            target->window = window;
            target->list = GetDlgItem(window, ID_JOB_LIST);
            target->workers = GetDlgItem(window, ID_WORKER_COUNT);
            target->process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                              PROCESS_QUERY_INFORMATION | SYNCHRONIZE,
                                          FALSE, processId);
            if (target->list && target->workers && target->process)
                return true;
        }
        if (GetTickCount() - start > limitMs)
            return false;
        Sleep(100);
    }
}

// List view messages carry pointers, which must point into the window's process.
struct RemoteBuffer {
    HANDLE process;
    char* base;
};

static bool openRemote(const Target* target, RemoteBuffer* remote)
{
    remote->process = target->process;
    remote->base = static_cast<char*>(VirtualAllocEx(target->process, nullptr, 64 * 1024,
                                                     MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    return remote->base != nullptr;
}

static void closeRemote(RemoteBuffer* remote)
{
    if (remote->base)
        VirtualFreeEx(remote->process, remote->base, 0, MEM_RELEASE);
}

static bool cellText(const Target* target, RemoteBuffer* remote, int row, int column, std::wstring* text)
{
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(remote->base + sizeof(LVITEMW));
    item.cchTextMax = CELL_ROOM;
    wchar_t cell[CELL_ROOM] = {};
    LRESULT length = 0;
    if (!WriteProcessMemory(remote->process, remote->base, &item, sizeof(item), nullptr) ||
        !sendWithin(target->list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                    reinterpret_cast<LPARAM>(remote->base), &length) ||
        !ReadProcessMemory(remote->process, remote->base + sizeof(LVITEMW), cell, sizeof(cell) - sizeof(wchar_t),
                           nullptr))
        return false;
    cell[CELL_ROOM - 1] = 0;
    *text = cell;
    return true;
}

static bool setSelected(const Target* target, RemoteBuffer* remote, int row, bool selected)
{
    LVITEMW item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = selected ? LVIS_SELECTED : 0;
    return WriteProcessMemory(remote->process, remote->base, &item, sizeof(item), nullptr) &&
           sendWithin(target->list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                      reinterpret_cast<LPARAM>(remote->base));
}

static void listRows(const Target* target)
{
    LRESULT count = 0;
    RemoteBuffer remote = {};
    if (!sendWithin(target->list, LVM_GETITEMCOUNT, 0, 0, &count) || !openRemote(target, &remote)) {
        answer("error the window does not answer");
        return;
    }
    std::vector<std::string> lines;
    for (int row = 0; row < count; ++row) {
        std::string line;
        for (int column = 0; column < 5; ++column) {
            std::wstring text;
            if (!cellText(target, &remote, row, column, &text)) {
                closeRemote(&remote);
                answer("error the window does not answer");
                return;
            }
            line += (column ? "\t" : "") + narrow(text);
        }
        lines.push_back(line);
    }
    closeRemote(&remote);
    answer("ok " + std::to_string(lines.size()));
    for (const std::string& line : lines)
        answer(line);
}

// Only these rows selected, then the context menu's "Cancel".
static void cancelRows(const Target* target, const std::vector<std::string>& fields)
{
    RemoteBuffer remote = {};
    if (!openRemote(target, &remote)) {
        answer("error no memory in the window's process");
        return;
    }
    bool answered = setSelected(target, &remote, -1, false);
    for (size_t i = 1; answered && i < fields.size(); ++i)
        answered = setSelected(target, &remote, atoi(fields[i].c_str()), true);
    closeRemote(&remote);
    if (answered)
        answered = sendWithin(target->window, WM_COMMAND, MAKEWPARAM(ID_CANCEL, 0), 0);
    answer(answered ? "ok" : "error the window does not answer");
}

// The list offers as many counts as the machine has processors; on a smaller
// machine the entries an 8-processor machine would show are added first.
static void pickWorkers(const Target* target, int count)
{
    LRESULT entries = 0;
    if (!sendWithin(target->workers, CB_GETCOUNT, 0, 0, &entries)) {
        answer("error the window does not answer");
        return;
    }
    for (int n = static_cast<int>(entries); n <= count; ++n) {
        wchar_t text[WORKER_COUNT_TEXT_ROOM];
        workerCountText(n, text);
        if (!sendWithin(target->workers, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text))) {
            answer("error the window does not answer");
            return;
        }
    }
    LRESULT selected = 0;
    bool answered = sendWithin(target->workers, CB_SETCURSEL, static_cast<WPARAM>(count), 0, &selected) &&
                    sendWithin(target->window, WM_COMMAND, MAKEWPARAM(ID_WORKER_COUNT, CBN_SELCHANGE),
                               reinterpret_cast<LPARAM>(target->workers));
    if (!answered)
        answer("error the window does not answer");
    else if (selected != count)
        answer("error no entry " + std::to_string(count));
    else
        answer("ok");
}

struct OwnedDialogSearch {
    HWND owner;
    HWND found;
};

static BOOL CALLBACK findOwnedDialog(HWND window, LPARAM parameter)
{
    OwnedDialogSearch* search = reinterpret_cast<OwnedDialogSearch*>(parameter);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    if (GetWindow(window, GW_OWNER) == search->owner && wcscmp(className, L"#32770") == 0 &&
        IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

static HWND waitForOwnedDialog(HWND owner, DWORD limitMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        OwnedDialogSearch search = {owner, nullptr};
        EnumWindows(findOwnedDialog, reinterpret_cast<LPARAM>(&search));
        if (search.found || GetTickCount() - start > limitMs)
            return search.found;
        Sleep(50);
    }
}

// "Add File …", the path typed into the file dialog's name field, then Open.
// A path the dialog cannot take leaves it open (with its message); it is then
// canceled, so nothing but the typed file can ever be added.
static void addFile(const Target* target, const std::string& path)
{
    if (!PostMessageW(target->window, WM_COMMAND, MAKEWPARAM(ID_ADD_FILE, BN_CLICKED),
                      reinterpret_cast<LPARAM>(GetDlgItem(target->window, ID_ADD_FILE)))) {
        answer("error the window is gone");
        return;
    }
    HWND dialog = waitForOwnedDialog(target->window, ANSWER_LIMIT_MS);
    if (!dialog) {
        answer("error no file dialog");
        return;
    }
    // The name field: an edit, or the edit of the name combo box.
    HWND name = GetDlgItem(dialog, edt1);
    HWND combo = GetDlgItem(dialog, cmb13);
    LRESULT edit = 0;
    if (!name && combo && sendWithin(combo, CBEM_GETEDITCONTROL, 0, 0, &edit))
        name = reinterpret_cast<HWND>(edit);
    std::wstring wide = widen(path);
    if (!name || !sendWithin(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()))) {
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        answer("error no name field in the file dialog");
        return;
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
    DWORD start = GetTickCount();
    while (IsWindow(dialog) && GetTickCount() - start < 10000)
        Sleep(20);
    if (IsWindow(dialog)) {
        HWND message = waitForOwnedDialog(dialog, 0);
        if (message)
            PostMessageW(message, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        Sleep(500);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        answer("error the file dialog did not take the path");
        return;
    }
    answer("ok");
}

static void statusLine(const Target* target)
{
    wchar_t text[CELL_ROOM] = {};
    LRESULT length = 0;
    HWND status = GetDlgItem(target->window, ID_STATUS_LINE);
    if (!status || !sendWithin(status, WM_GETTEXT, CELL_ROOM, reinterpret_cast<LPARAM>(text), &length)) {
        answer("error the window does not answer");
        return;
    }
    answer("ok");
    answer(narrow(text));
}

int main()
{
    Target target = {};
    std::string line;
    while (readLine(&line)) {
        std::vector<std::string> fields = fieldsOf(line);
        const std::string& command = fields[0];
        if (command == "find") {
            if (findTarget(fields.size() > 1 ? static_cast<DWORD>(atoi(fields[1].c_str())) : 30000, &target))
                answer("ok " + std::to_string(GetProcessId(target.process)));
            else
                answer("error no window");
        } else if (!target.window) {
            answer("error no window yet (find first)");
        } else if (command == "add-file" && fields.size() == 2) {
            addFile(&target, fields[1]);
        } else if (command == "workers" && fields.size() == 2) {
            pickWorkers(&target, atoi(fields[1].c_str()));
        } else if (command == "cancel") {
            cancelRows(&target, fields);
        } else if (command == "rows") {
            listRows(&target);
        } else if (command == "status") {
            statusLine(&target);
        } else if (command == "close") {
            answer(PostMessageW(target.window, WM_CLOSE, 0, 0) ? "ok" : "error the window is gone");
        } else {
            answer("error unknown command: " + command);
        }
    }
    if (target.process)
        CloseHandle(target.process);
    return 0;
}
