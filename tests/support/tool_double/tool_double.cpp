// A stand-in for every external tool. Tests copy this program into a tools
// folder under the tool's name ("OptiPNG.exe", "Perl\perl.exe", ...). Each run
// appends what it received to "<name>.record" and then follows "<name>.behavior"
// (both beside the copy, "<name>" being its path without ".exe").
//
// Behaviour file: UTF-8, one command a line, run in order; blank lines and lines
// starting with '#' are skipped. A line may start with "call N: " (only on the
// N-th run of this copy) or "call N+: " (on the N-th and every later run).
// TEXT is the rest of the line with the escapes \\ \r \n \t \b \0 \xHH.
// FILE is @K (argument K, 1 = first after the program), @last (the last
// argument), or a path, relative to the working folder; quote it with "" when it
// holds blanks. Without a behaviour file, or at its end, the run exits with 0.
//
//   exit CODE              end now (decimal or 0x hex, e.g. 0xC0000005)
//   stdout TEXT            write TEXT to standard output
//   stderr TEXT            write TEXT to standard error
//   stdout-repeat N TEXT   write TEXT N times to standard output
//   stderr-repeat N TEXT   write TEXT N times to standard error
//   stdin-to-stdout        copy what was read on standard input to standard output
//   cat FILE               copy a file to standard output
//   sleep MS               pause
//   hang                   wait until killed
//   spawn-holder MS TEXT   start a helper that inherits the standard handles, writes
//                          TEXT to standard output, holds the handles for MS ms and
//                          then creates "holder.done" in the working folder; the run
//                          goes on once TEXT is written
//   write FILE TEXT        replace the file's content with TEXT (creating it)
//   append FILE TEXT       append TEXT to the file (creating it)
//   copy FILE FILE         copy the first file over the second
//   shrink FILE N          cut N bytes off the end
//   grow FILE N            append N bytes 'G'
//   empty FILE             cut to 0 bytes
//   delete FILE            delete the file
//   lock FILE              hold the file open, shared with nobody, until the run ends
//   mkdir FILE             create a folder
//   deflopt-report D       DeflOpt's report ending "Number of files rewritten  :        D" CR LF
//   sha256 HEX             7-Zip's hash listing with "SHA256 for data:              HEX"
//   gif-info N [NAME]      Gifsicle's "--info" listing for N images of NAME (default: @last)
//   exiftool-tag NAME TEXT ExifTool's tag line: NAME padded to 32, ": ", TEXT, CR LF
//
// Record: for every run "call N" LF, then fields "key LENGTH:BYTES" LF (pid,
// commandLine, cwd, priority as eight hex digits, stdin, then one "arg" per
// argument after the program), then "end" LF. Text fields are UTF-8.
#include <windows.h>
#include <shellapi.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

struct Run {
    std::wstring base; // own path without ".exe"
    std::vector<std::wstring> arguments; // [0] is the program
    std::string input;
};

std::string toUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0],
                        length, nullptr, nullptr);
    return bytes;
}

std::wstring fromUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                     nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                        length);
    return text;
}

void writeAll(HANDLE handle, const std::string& bytes)
{
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return;
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                       &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

std::string readAll(HANDLE handle)
{
    std::string bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(handle, buffer, sizeof(buffer), &got, nullptr) || got == 0)
            break;
        bytes.append(buffer, got);
    }
    return bytes;
}

bool readFileBytes(const std::wstring& path, std::string* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    *bytes = readAll(file);
    CloseHandle(file);
    return true;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes, bool append)
{
    HANDLE file = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    writeAll(file, bytes);
    CloseHandle(file);
    return true;
}

std::string unescape(const std::string& text)
{
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\' || i + 1 >= text.size()) {
            bytes += c;
            continue;
        }
        char e = text[++i];
        switch (e) {
        case 'r': bytes += '\r'; break;
        case 'n': bytes += '\n'; break;
        case 't': bytes += '\t'; break;
        case 'b': bytes += '\b'; break;
        case '0': bytes += '\0'; break;
        case 'x':
            if (i + 2 < text.size()) {
                std::string hex = text.substr(i + 1, 2);
                bytes += static_cast<char>(strtoul(hex.c_str(), nullptr, 16));
                i += 2;
            }
            break;
        default: bytes += e; break;
        }
    }
    return bytes;
}

// Splits off the first word (or "quoted words") of rest.
std::string takeWord(std::string* rest)
{
    size_t start = rest->find_first_not_of(' ');
    if (start == std::string::npos) {
        rest->clear();
        return std::string();
    }
    std::string word;
    size_t end;
    if ((*rest)[start] == '"') {
        end = rest->find('"', start + 1);
        word = rest->substr(start + 1, end == std::string::npos ? std::string::npos
                                                                : end - start - 1);
        end = end == std::string::npos ? rest->size() : end + 1;
    } else {
        end = rest->find(' ', start);
        if (end == std::string::npos)
            end = rest->size();
        word = rest->substr(start, end - start);
    }
    // One blank separates a word from what follows; further blanks belong to it.
    if (end < rest->size() && (*rest)[end] == ' ')
        ++end;
    *rest = rest->substr(end);
    return word;
}

std::wstring resolveFile(const Run& run, const std::string& reference)
{
    if (reference == "@last")
        return run.arguments.size() > 1 ? run.arguments.back() : std::wstring();
    if (reference.size() > 1 && reference[0] == '@') {
        size_t index = strtoul(reference.c_str() + 1, nullptr, 10);
        return index < run.arguments.size() ? run.arguments[index] : std::wstring();
    }
    return fromUtf8(reference);
}

uint64_t parseNumber(const std::string& text)
{
    return strtoull(text.c_str(), nullptr, 0);
}

std::string fileNameOf(const std::wstring& path)
{
    size_t cut = path.find_last_of(L"\\/");
    return toUtf8(cut == std::wstring::npos ? path : path.substr(cut + 1));
}

std::string deflOptReport(const std::string& digit)
{
    return "***  DeflOpt stand-in of the test suite  ***\r\n"
           "***  Rewrites deflate streams in place (not really)  ***\r\n"
           "\r\n"
           "Number of files processed  :        1\r\n"
           "Number of files rewritten  :        " +
           digit + "\r\n";
}

std::string sha256Listing(const std::string& hex, const std::string& name)
{
    std::string dashes(64, '-');
    return "\r\n7-Zip stand-in of the test suite\r\n\r\nScanning\r\n1 file\r\n\r\n"
           "SHA256                                                                   Size  Name\r\n" +
           dashes + " ------------- ------------\r\n" + hex + "            1  " + name +
           "\r\n" + dashes + " ------------- ------------\r\n" + hex +
           "            1\r\n\r\nSize: 1\r\n\r\n"
           "SHA256 for data:              " +
           hex + "\r\n\r\nEverything is Ok\r\n";
}

std::string gifInfo(unsigned count, const std::string& name)
{
    char line[64];
    std::string text = "* " + name;
    snprintf(line, sizeof(line), count == 1 ? " %u image\r\n" : " %u images\r\n", count);
    text += line;
    text += "  logical screen 16x16\r\n  global color table [4]\r\n  background 0\r\n";
    for (unsigned i = 0; i < count; ++i) {
        snprintf(line, sizeof(line), "  + image #%u 16x16\r\n", i);
        text += line;
    }
    return text;
}

std::string exifToolTag(const std::string& name, const std::string& value)
{
    std::string padded = name;
    if (padded.size() < 32)
        padded.append(32 - padded.size(), ' ');
    return padded + ": " + value + "\r\n";
}

bool changeSize(const std::wstring& path, int64_t delta, bool toZero)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    int64_t target = toZero ? 0 : size.QuadPart + delta;
    if (target < 0)
        target = 0;
    if (target > size.QuadPart) {
        LARGE_INTEGER end = {};
        SetFilePointerEx(file, end, nullptr, FILE_END);
        writeAll(file, std::string(static_cast<size_t>(target - size.QuadPart), 'G'));
    } else {
        LARGE_INTEGER cut;
        cut.QuadPart = target;
        SetFilePointerEx(file, cut, nullptr, FILE_BEGIN);
        SetEndOfFile(file);
    }
    CloseHandle(file);
    return true;
}

// The helper of "spawn-holder": this program again, with "--holder MS EVENT".
void spawnHolder(const Run& run, std::string rest)
{
    uint64_t holdMilliseconds = parseNumber(takeWord(&rest));
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE written = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    std::wstring commandLine = L"\"" + run.base + L".exe\" --holder " +
                               std::to_wstring(holdMilliseconds) + L" " +
                               std::to_wstring(reinterpret_cast<uintptr_t>(written)) + L" " +
                               fromUtf8(rest);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION holder = {};
    if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &holder)) {
        HANDLE waits[] = {written, holder.hProcess};
        WaitForMultipleObjects(2, waits, FALSE, 60000);
        CloseHandle(holder.hThread);
        CloseHandle(holder.hProcess);
    }
    CloseHandle(written);
}

int runHolder(const std::vector<std::wstring>& arguments)
{
    DWORD holdMilliseconds = static_cast<DWORD>(_wtoi64(arguments[2].c_str()));
    HANDLE written = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wtoi64(arguments[3].c_str())));
    std::wstring text;
    for (size_t i = 4; i < arguments.size(); ++i)
        text += (i > 4 ? L" " : L"") + arguments[i];
    writeAll(GetStdHandle(STD_OUTPUT_HANDLE), unescape(toUtf8(text)));
    SetEvent(written);
    Sleep(holdMilliseconds);
    writeFileBytes(L"holder.done", std::string(), false);
    return 0;
}

void execute(const Run& run, const std::string& command, std::string rest)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (command == "exit") {
        ExitProcess(static_cast<UINT>(parseNumber(rest)));
    } else if (command == "stdout") {
        writeAll(out, unescape(rest));
    } else if (command == "stderr") {
        writeAll(err, unescape(rest));
    } else if (command == "stdout-repeat" || command == "stderr-repeat") {
        uint64_t count = parseNumber(takeWord(&rest));
        std::string text = unescape(rest);
        std::string block;
        for (uint64_t i = 0; i < count; ++i)
            block += text;
        writeAll(command == "stdout-repeat" ? out : err, block);
    } else if (command == "stdin-to-stdout") {
        writeAll(out, run.input);
    } else if (command == "cat") {
        std::string bytes;
        if (readFileBytes(resolveFile(run, takeWord(&rest)), &bytes))
            writeAll(out, bytes);
    } else if (command == "sleep") {
        Sleep(static_cast<DWORD>(parseNumber(rest)));
    } else if (command == "hang") {
        Sleep(INFINITE);
    } else if (command == "spawn-holder") {
        spawnHolder(run, rest);
    } else if (command == "write" || command == "append") {
        std::wstring path = resolveFile(run, takeWord(&rest));
        writeFileBytes(path, unescape(rest), command == "append");
    } else if (command == "copy") {
        std::wstring from = resolveFile(run, takeWord(&rest));
        std::wstring to = resolveFile(run, takeWord(&rest));
        CopyFileW(from.c_str(), to.c_str(), FALSE);
    } else if (command == "shrink" || command == "grow") {
        std::wstring path = resolveFile(run, takeWord(&rest));
        int64_t count = static_cast<int64_t>(parseNumber(rest));
        changeSize(path, command == "grow" ? count : -count, false);
    } else if (command == "empty") {
        changeSize(resolveFile(run, takeWord(&rest)), 0, true);
    } else if (command == "delete") {
        DeleteFileW(resolveFile(run, takeWord(&rest)).c_str());
    } else if (command == "lock") {
        // Left open on purpose: the system closes it when the process ends.
        CreateFileW(resolveFile(run, takeWord(&rest)).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    } else if (command == "mkdir") {
        CreateDirectoryW(resolveFile(run, takeWord(&rest)).c_str(), nullptr);
    } else if (command == "deflopt-report") {
        writeAll(out, deflOptReport(takeWord(&rest)));
    } else if (command == "sha256") {
        std::string hex = takeWord(&rest);
        writeAll(out, sha256Listing(hex, fileNameOf(resolveFile(run, "@last"))));
    } else if (command == "gif-info") {
        unsigned count = static_cast<unsigned>(parseNumber(takeWord(&rest)));
        std::string name = takeWord(&rest);
        if (name.empty())
            name = toUtf8(resolveFile(run, "@last"));
        writeAll(out, gifInfo(count, name));
    } else if (command == "exiftool-tag") {
        std::string name = takeWord(&rest);
        writeAll(out, exifToolTag(name, unescape(rest)));
    } else {
        writeAll(err, "tool double: unknown command " + command + "\r\n");
        ExitProcess(0x7D);
    }
}

void appendField(std::string* record, const char* key, const std::string& value)
{
    char head[64];
    snprintf(head, sizeof(head), "%s %u:", key, static_cast<unsigned>(value.size()));
    *record += head;
    *record += value;
    *record += '\n';
}

// Walks the records field by field: a value may hold any bytes, line ends included.
unsigned countRecords(const std::string& records)
{
    unsigned count = 0;
    size_t at = 0;
    while (at < records.size()) {
        size_t end = records.find('\n', at);
        if (end == std::string::npos)
            break;
        std::string line = records.substr(at, end - at);
        if (line == "end") {
            ++count;
            at = end + 1;
            continue;
        }
        size_t colon = records.find(':', at);
        size_t blank = records.find(' ', at);
        if (line.compare(0, 5, "call ") == 0 || colon == std::string::npos ||
            blank == std::string::npos || blank > colon) {
            at = end + 1;
            continue;
        }
        size_t length = strtoul(records.c_str() + blank + 1, nullptr, 10);
        at = colon + 1 + length + 1;
    }
    return count;
}

// Appends this run's record and returns its call number. The record file is held
// exclusively meanwhile, so runs of one copy at the same moment count correctly.
unsigned recordRun(const Run& run)
{
    std::wstring path = run.base + L".record";
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 2000; ++attempt) {
        file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                           0, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
            break;
        Sleep(5);
    }
    unsigned number = 1;
    std::string existing;
    if (file != INVALID_HANDLE_VALUE)
        existing = readAll(file);
    number += countRecords(existing);

    std::string record;
    char line[64];
    snprintf(line, sizeof(line), "call %u\n", number);
    record += line;
    snprintf(line, sizeof(line), "%lu", GetCurrentProcessId());
    appendField(&record, "pid", line);
    appendField(&record, "commandLine", toUtf8(GetCommandLineW()));
    wchar_t directory[32768];
    DWORD directoryLength = GetCurrentDirectoryW(32768, directory);
    appendField(&record, "cwd", toUtf8(std::wstring(directory, directoryLength)));
    snprintf(line, sizeof(line), "%08lX", GetPriorityClass(GetCurrentProcess()));
    appendField(&record, "priority", line);
    appendField(&record, "stdin", run.input);
    for (size_t i = 1; i < run.arguments.size(); ++i)
        appendField(&record, "arg", toUtf8(run.arguments[i]));
    record += "end\n";
    if (file != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER end = {};
        SetFilePointerEx(file, end, nullptr, FILE_END);
        writeAll(file, record);
        CloseHandle(file);
    }
    return number;
}

// True when a line's "call N:" or "call N+:" prefix admits this run; strips it.
bool admitsCall(std::string* line, unsigned number)
{
    if (line->compare(0, 5, "call ") != 0)
        return true;
    size_t colon = line->find(':');
    if (colon == std::string::npos)
        return true;
    std::string condition = line->substr(5, colon - 5);
    size_t start = colon + 1;
    if (start < line->size() && (*line)[start] == ' ')
        ++start;
    *line = line->substr(start);
    unsigned wanted = static_cast<unsigned>(strtoul(condition.c_str(), nullptr, 10));
    if (!condition.empty() && condition.back() == '+')
        return number >= wanted;
    return number == wanted;
}

} // namespace

int main()
{
    Run run;
    wchar_t modulePath[32768];
    DWORD moduleLength = GetModuleFileNameW(nullptr, modulePath, 32768);
    run.base.assign(modulePath, moduleLength);
    if (run.base.size() > 4 && _wcsicmp(run.base.c_str() + run.base.size() - 4, L".exe") == 0)
        run.base.resize(run.base.size() - 4);

    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; arguments && i < count; ++i)
        run.arguments.push_back(arguments[i]);
    if (arguments)
        LocalFree(arguments);
    if (run.arguments.size() >= 4 && run.arguments[1] == L"--holder")
        return runHolder(run.arguments);

    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input && input != INVALID_HANDLE_VALUE) {
        DWORD type = GetFileType(input);
        if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE)
            run.input = readAll(input);
    }

    unsigned number = recordRun(run);

    std::string behaviour;
    if (!readFileBytes(run.base + L".behavior", &behaviour))
        return 0;
    size_t start = 0;
    while (start < behaviour.size()) {
        size_t end = behaviour.find('\n', start);
        if (end == std::string::npos)
            end = behaviour.size();
        std::string line = behaviour.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#' || !admitsCall(&line, number))
            continue;
        std::string rest = line;
        std::string command = takeWord(&rest);
        execute(run, command, rest);
    }
    return 0;
}
