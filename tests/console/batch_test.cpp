// VellBatch run as a program, with the tool double standing in for every tool.
#include <gtest/gtest.h>
#include "runner/tool_names.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string tinyPng("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1F\x15\xC4\x89", 33);
const uint64_t MARK_STEP = 1000000;

// Saves the registry values a test changes and puts them back afterwards.
class RegistryValues {
public:
    RegistryValues() { RegCreateKeyExW(HKEY_CURRENT_USER, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr); }
    ~RegistryValues()
    {
        for (const Saved& saved : saved_) {
            if (saved.existed)
                RegSetValueExW(key_, saved.name.c_str(), 0, saved.type, saved.data.data(),
                               static_cast<DWORD>(saved.data.size()));
            else
                RegDeleteValueW(key_, saved.name.c_str());
        }
        RegCloseKey(key_);
    }
    void setNumber(const wchar_t* name, DWORD value)
    {
        save(name);
        RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
    void setText(const wchar_t* name, const std::wstring& value)
    {
        save(name);
        RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
    struct Saved {
        std::wstring name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    void save(const wchar_t* name)
    {
        Saved saved = {name, false, 0, std::vector<BYTE>(4096)};
        DWORD length = static_cast<DWORD>(saved.data.size());
        saved.existed = RegQueryValueExW(key_, name, nullptr, &saved.type, saved.data.data(), &length) == ERROR_SUCCESS;
        saved.data.resize(saved.existed ? length : 0);
        saved_.push_back(saved);
    }
    HKEY key_ = nullptr;
    std::vector<Saved> saved_;
};

struct BatchRun {
    DWORD exitCode;
    std::string out;
    std::string err;
};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(line);
    return lines;
}

bool hasScratchFolders(const std::wstring& temp)
{
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((temp + L"zarn*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return false;
    FindClose(listing);
    return true;
}

BOOL WINAPI ignoreControl(DWORD)
{
    return TRUE;
}

// Control events travel through a console the test shares with VellBatch; made
// once per process, the test's own output stays where it was, and the test
// ignores the events it sends.
void shareConsole()
{
    static bool shared = false;
    if (shared)
        return;
    shared = true;
    HANDLE standard[2] = {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
    FreeConsole();
    if (AllocConsole()) {
        SetStdHandle(STD_OUTPUT_HANDLE, standard[0]);
        SetStdHandle(STD_ERROR_HANDLE, standard[1]);
    }
    SetConsoleCtrlHandler(ignoreControl, TRUE);
}

// Bytes as the tool double's TEXT, every byte escaped.
std::string escaped(const std::string& bytes)
{
    std::string text;
    char piece[8];
    for (unsigned char byte : bytes) {
        snprintf(piece, sizeof(piece), "\\x%02X", byte);
        text += piece;
    }
    return text;
}

std::string quoted(const std::wstring& path)
{
    return "\"" + narrow(path) + "\"";
}

// The field of a job line, 0 = path.
std::string fieldOf(const std::string& line, size_t index)
{
    size_t start = 0;
    for (size_t i = 0; i < index; ++i) {
        start = line.find('\t', start);
        if (start == std::string::npos)
            return std::string();
        ++start;
    }
    return line.substr(start, line.find('\t', start) - start);
}

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK collectWindowOf(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->processId)
        search->found.push_back(window);
    return TRUE;
}

// The system tells every top-level window of the end of the session, and nothing else.
std::vector<HWND> topLevelWindowsOf(DWORD processId)
{
    WindowSearch search = {processId, {}};
    EnumWindows(collectWindowOf, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

class VellBatch : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        folder = makeTestFolder(L"batch");
        temp = folder + L"\\temp\\";
        input = folder + L"\\in";
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(input.c_str(), nullptr));
        registry.setText(L"general_tempPath", temp);
        registry.setNumber(L"png_strategy", 1);
        registry.setNumber(L"general_forceIfAlreadyOptimized", 0);
        // The tiny PNGs carry no image data to compare; the status of verified
        // results has a test of its own.
        registry.setNumber(L"general_verifyResults", 0);
        ASSERT_TRUE(tools.install(TOOL_ECT, "shrink @last 10\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLUFF, "stdin-to-stdout\n"));
        ASSERT_TRUE(tools.install(TOOL_DEFLOPT, "deflopt-report 0\n"));
    }

    void TearDown() override { removeTestFolder(folder); }

    std::wstring png(const std::wstring& name)
    {
        std::wstring path = input + L"\\" + name;
        EXPECT_TRUE(writeTestFile(path, tinyPng));
        return path;
    }

    // Starts VellBatch with its output in files; creationFlags for a process group.
    bool start(const std::vector<std::wstring>& arguments, PROCESS_INFORMATION* process, DWORD creationFlags = 0)
    {
        std::wstring command = L"\"" + wineHostPath(VELL_BATCH_PATH) + L"\"";
        for (const std::wstring& argument : arguments)
            command += L" \"" + argument + L"\"";
        SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
        outPath = folder + L"\\out.txt";
        errPath = folder + L"\\err.txt";
        HANDLE out = CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
        HANDLE err = CreateFileW(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOW startup = {sizeof(startup)};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out;
        startup.hStdError = err;
        bool started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, creationFlags, nullptr, nullptr,
                                      &startup, process) != 0;
        CloseHandle(out);
        CloseHandle(err);
        return started;
    }

    BatchRun finish(PROCESS_INFORMATION* process)
    {
        BatchRun run = {};
        if (WaitForSingleObject(process->hProcess, 300000) != WAIT_OBJECT_0) {
            TerminateProcess(process->hProcess, 99);
            WaitForSingleObject(process->hProcess, INFINITE);
            ADD_FAILURE() << "VellBatch did not end";
        }
        GetExitCodeProcess(process->hProcess, &run.exitCode);
        CloseHandle(process->hThread);
        CloseHandle(process->hProcess);
        run.out = readTestFile(outPath);
        run.err = readTestFile(errPath);
        return run;
    }

    // Waits until the tool has been started at least once; false when VellBatch ended first.
    bool waitForTool(const char* toolName, PROCESS_INFORMATION* process)
    {
        for (int i = 0; i < 3000; ++i) {
            if (!tools.calls(toolName).empty())
                return true;
            if (WaitForSingleObject(process->hProcess, 20) == WAIT_OBJECT_0)
                return !tools.calls(toolName).empty();
        }
        return false;
    }

    void endAbandoned(PROCESS_INFORMATION* process, const char* toolName)
    {
        TerminateProcess(process->hProcess, 99);
        for (const ToolCall& call : tools.calls(toolName)) {
            HANDLE tool = OpenProcess(PROCESS_TERMINATE, FALSE, call.processId);
            if (tool) {
                TerminateProcess(tool, 99);
                CloseHandle(tool);
            }
        }
        finish(process);
    }

    BatchRun batch(std::vector<std::wstring> arguments, bool withTools = true)
    {
        if (withTools)
            arguments.insert(arguments.begin(), {L"--tools", toolsArgument()});
        PROCESS_INFORMATION process = {};
        if (!start(arguments, &process)) {
            ADD_FAILURE() << "cannot start VellBatch";
            return BatchRun{99, "", ""};
        }
        return finish(&process);
    }

    // Without its last backslash, which would escape the closing quote on the command line.
    std::wstring toolsArgument() const
    {
        std::wstring folder = tools.toolsDir();
        folder.pop_back();
        return folder;
    }

    ToolSandbox tools;
    RegistryValues registry;
    std::wstring folder;
    std::wstring temp;
    std::wstring input;
    std::wstring outPath;
    std::wstring errPath;
};

TEST_F(VellBatch, HelpDescribesEveryOption)
{
    BatchRun run = batch({L"--help"}, false);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.err.empty()) << run.err;
    for (const char* text : {"Usage: VellBatch", "-j N, --threads N", "--tools DIR", "--dry-run", "--check-tools",
                             "--version", "Thumbs.db", "are deleted", "Ctrl+C", "Exit codes"})
        EXPECT_NE(run.out.find(text), std::string::npos) << text;
    // The default settings delete files, so nothing may promise that all is lossless.
    EXPECT_EQ(run.out.find("losslessly"), std::string::npos);

    BatchRun version = batch({L"--version"}, false);
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_EQ(version.out.compare(0, 10, "VellBatch "), 0) << version.out;
    EXPECT_NE(version.out.find('.'), std::string::npos) << version.out;
}

TEST_F(VellBatch, UsageErrorsExitWithTwo)
{
    const std::vector<std::vector<std::wstring>> rows = {
        {}, {L"-j", L"0", L"x"}, {L"--threads", L"65", L"x"}, {L"--bogus", L"x"}, {L"x", L"--tools"},
    };
    for (const auto& row : rows) {
        BatchRun run = batch(row, false);
        EXPECT_EQ(run.exitCode, 2u) << run.err;
        EXPECT_EQ(run.err.compare(0, 11, "VellBatch: "), 0) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    BatchRun run = batch({L"--tools", folder + L"\\no-such-tools", input}, false);
    EXPECT_EQ(run.exitCode, 2u) << run.err;
}

TEST_F(VellBatch, OptimizesAFolderEndToEnd)
{
    const uint64_t written = 132600000012345678ull;
    std::vector<std::wstring> paths = {png(L"a.png"), png(L"b b.png"), png(L"c.png")};
    ASSERT_TRUE(writeTestFile(input + L"\\notes.txt", "plain text, no job"));
    for (const std::wstring& path : paths)
        ASSERT_TRUE(setTestFileTime(path, 0, written));

    BatchRun run = batch({L"-j", L"2", input});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    std::vector<std::string> jobLines(lines.begin(), lines.end() - 2);
    std::sort(jobLines.begin(), jobLines.end());
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(jobLines[i], narrow(paths[i]) + "\t33\t23 (-10 B; -30 %)\toptimize PNG\tOK");
    EXPECT_EQ(lines[3], narrow(input) + "\\notes.txt\t18\t18\t-\tno action for this kind");
    EXPECT_EQ(lines.back(), "Total: 4 files, 117 bytes before, 87 after, 30 saved (25.6 %)");
    for (const std::wstring& path : paths) {
        EXPECT_EQ(readTestFile(path), tinyPng.substr(0, 23));
        uint64_t marked = testFileTime(path, false);
        EXPECT_EQ(marked % MARK_STEP, 1337u);
        EXPECT_GE(marked, written);
        EXPECT_LT(marked, written + MARK_STEP);
    }
    EXPECT_FALSE(hasScratchFolders(temp)) << "scratch folders are removed at the end";

    // Stamped files are skipped the next time.
    BatchRun again = batch({input});
    EXPECT_EQ(again.exitCode, 0u);
    lines = linesOf(again.out);
    ASSERT_EQ(lines.size(), 5u) << again.out;
    std::sort(lines.begin(), lines.end() - 1);
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(lines[i], narrow(paths[i]) + "\t23\t23\t-\talready optimized");
    EXPECT_EQ(lines.back(), "Total: 4 files, 87 bytes before, 87 after, 0 saved (0.0 %)");
    EXPECT_EQ(tools.calls(TOOL_ECT).size(), 3u);
}

// The plain form of these paths drops the name's trailing blanks and dots, so
// they are reached in the "\\?\" form: found in a folder, below a folder named
// so, or named on the command line, each gets its own line, result and mark.
TEST_F(VellBatch, NamesEndingInABlankOrADotAreOptimized)
{
    const std::wstring dotted = input + L"\\dotted folder.";
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + dotted).c_str(), nullptr));
    const std::wstring given = folder + L"\\given.png.";
    const std::vector<std::wstring> paths = {input + L"\\trailing dot.png.", input + L"\\trailing blank.png ",
                                             input + L"\\blank and dot. .", dotted + L"\\inside.png", given};
    for (const std::wstring& path : paths)
        ASSERT_TRUE(writeTestFile(L"\\\\?\\" + path, tinyPng)) << narrow(path);

    BatchRun run = batch({L"-j", L"2", input, given});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), paths.size() + 1) << run.out;
    std::vector<std::string> expected;
    for (const std::wstring& path : paths)
        expected.push_back(narrow(path) + "\t33\t23 (-10 B; -30 %)\toptimize PNG\tOK");
    std::sort(expected.begin(), expected.end());
    std::sort(lines.begin(), lines.end() - 1);
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(lines[i], expected[i]);
    for (const std::wstring& path : paths) {
        EXPECT_EQ(readTestFile(L"\\\\?\\" + path), tinyPng.substr(0, 23)) << narrow(path);
        EXPECT_EQ(testFileTime(L"\\\\?\\" + path, false) % MARK_STEP, 1337u) << narrow(path);
    }
    EXPECT_FALSE(hasScratchFolders(temp));
}

TEST_F(VellBatch, AFailedJobExitsWithOneAndLeavesTheFile)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "stderr broken\\n\nexit 2\n"));
    const uint64_t written = 132600000012345678ull;
    std::wstring path = png(L"bad.png");
    ASSERT_TRUE(setTestFileTime(path, 0, written));
    BatchRun run = batch({L"-j", L"1", path});
    EXPECT_EQ(run.exitCode, 1u);
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    std::string prefix = narrow(path) + "\t33\t-\toptimize PNG\t";
    EXPECT_EQ(lines[0].compare(0, prefix.size(), prefix), 0) << lines[0];
    EXPECT_NE(lines[0].substr(prefix.size()), "OK");
    EXPECT_FALSE(lines[0].substr(prefix.size()).empty());
    EXPECT_EQ(lines[1], "Total: 1 file, 33 bytes before, 33 after, 0 saved (0.0 %)");
    EXPECT_EQ(readTestFile(path), tinyPng);
    EXPECT_EQ(testFileTime(path, false), written);
    EXPECT_FALSE(hasScratchFolders(temp));
}

TEST_F(VellBatch, AMissingPathIsReportedAndExitsWithOne)
{
    png(L"fine.png");
    BatchRun run = batch({input + L"\\fine.png", input + L"\\missing.png"});
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_NE(run.err.find("VellBatch: cannot find"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("\tOK\n"), std::string::npos) << run.out;
}

TEST_F(VellBatch, WildcardsAreExpandedAndAPatternMatchingNothingIsReported)
{
    std::vector<std::wstring> paths = {png(L"a.png"), png(L"b.png")};
    ASSERT_TRUE(writeTestFile(input + L"\\notes.txt", "plain text, no job"));
    BatchRun run = batch({L"--threads=1", input + L"\\*.png", input + L"\\*.gif"});
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    EXPECT_EQ(run.err, "VellBatch: nothing matches " + narrow(input) + "\\*.gif\n");
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    std::sort(lines.begin(), lines.end() - 1);
    for (size_t i = 0; i < paths.size(); ++i)
        EXPECT_EQ(lines[i], narrow(paths[i]) + "\t33\t23 (-10 B; -30 %)\toptimize PNG\tOK");
    EXPECT_EQ(lines.back(), "Total: 2 files, 66 bytes before, 46 after, 20 saved (30.3 %)");
}

// Every file gets a line; a dry run shows the actions and leaves every file as it was.
TEST_F(VellBatch, DryRunShowsEachActionAndChangesNothing)
{
    registry.setNumber(L"deleteFolderJpg", 1);
    const uint64_t written = 132600000012345678ull;
    const uint64_t marked = written - written % MARK_STEP + 1337;
    const std::string jpeg("\xFF\xD8\xFF\xE0\0\x10JFIF\0 and more bytes of a picture", 40);
    const struct {
        const wchar_t* name;
        std::string bytes;
        uint64_t lastWrite;
        const char* dryRun; // action and status of the dry run's line
        const char* run;    // result, action and status after the real run
    } rows[] = {
        {L"a.png", tinyPng, written, "-\toptimize PNG\tdry run", "23 (-10 B; -30 %)\toptimize PNG\tOK"},
        {L"Folder.jpg", jpeg, written, "-\tdelete\tdry run", "deleted\tdelete\tOK"},
        {L"done.png", tinyPng, marked, "33\t-\talready optimized", "33\t-\talready optimized"},
        {L"notes.txt", "plain text, no job", written, "18\t-\tno action for this kind",
         "18\t-\tno action for this kind"},
    };
    std::vector<std::string> dryLines, runLines;
    for (const auto& row : rows) {
        std::wstring path = input + L"\\" + row.name;
        ASSERT_TRUE(writeTestFile(path, row.bytes));
        ASSERT_TRUE(setTestFileTime(path, 0, row.lastWrite));
        std::string start = narrow(path) + "\t" + std::to_string(row.bytes.size()) + "\t";
        dryLines.push_back(start + row.dryRun);
        runLines.push_back(start + row.run);
    }
    // Side files are deleted only when they carry the system attribute.
    ASSERT_TRUE(SetFileAttributesW((input + L"\\Folder.jpg").c_str(), FILE_ATTRIBUTE_SYSTEM));

    BatchRun dry = batch({L"--dry-run", input});
    EXPECT_EQ(dry.exitCode, 0u) << dry.out << dry.err;
    std::vector<std::string> lines = linesOf(dry.out);
    ASSERT_EQ(lines.size(), 5u) << dry.out;
    EXPECT_EQ(lines.back(), "Dry run: 4 files, 2 with an action; nothing was changed");
    lines.pop_back();
    std::sort(lines.begin(), lines.end());
    std::sort(dryLines.begin(), dryLines.end());
    EXPECT_EQ(lines, dryLines);
    for (const auto& row : rows) {
        std::wstring path = input + L"\\" + row.name;
        EXPECT_EQ(readTestFile(path), row.bytes) << narrow(path);
        EXPECT_EQ(testFileTime(path, false), row.lastWrite) << narrow(path);
    }
    EXPECT_TRUE(tools.calls(TOOL_ECT).empty());
    EXPECT_FALSE(hasScratchFolders(temp));

    BatchRun run = batch({L"-j1", input});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines.back(), "Total: 4 files, 124 bytes before, 74 after, 50 saved (40.3 %)");
    lines.pop_back();
    std::sort(lines.begin(), lines.end());
    std::sort(runLines.begin(), runLines.end());
    EXPECT_EQ(lines, runLines);
    EXPECT_FALSE(testPathExists(input + L"\\Folder.jpg"));
}

TEST_F(VellBatch, CheckToolsListsEveryToolFile)
{
    BatchRun some = batch({L"--check-tools", L"--tools", toolsArgument()}, false);
    EXPECT_EQ(some.exitCode, 1u) << some.out << some.err;
    std::vector<std::string> lines = linesOf(some.out);
    ASSERT_EQ(lines.size(), TOOL_FILE_COUNT + 1) << some.out;
    EXPECT_EQ(lines[0], "OptiPNG.exe\tmissing\toptimize PNG, convert to PNG");
    EXPECT_EQ(lines[2].compare(0, 23, "ECT_x64.exe\tfound\toptim"), 0) << lines[2];
    EXPECT_EQ(lines.back(), std::to_string(TOOL_FILE_COUNT - 3) + " of " + std::to_string(TOOL_FILE_COUNT) +
                                " tool files missing in " + narrow(tools.toolsDir()));

    for (const char* tool : TOOL_FILES)
        ASSERT_TRUE(tools.install(tool));
    BatchRun all = batch({L"--check-tools", L"--tools", toolsArgument()}, false);
    EXPECT_EQ(all.exitCode, 0u) << all.out << all.err;
    EXPECT_EQ(linesOf(all.out).back(), "All " + std::to_string(TOOL_FILE_COUNT) + " tool files found in " +
                                           narrow(tools.toolsDir()));
}

// Told once on standard error, as soon as a file needs a tool that is not there.
TEST_F(VellBatch, AMissingToolIsToldOnce)
{
    registry.setNumber(L"png_strategy", 2); // OptiPNG and ArchiPNG, not installed
    std::vector<std::wstring> paths = {png(L"a.png"), png(L"b.png")};
    BatchRun run = batch({L"-j1", input});
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    const std::string notice = "VellBatch: " + std::to_string(TOOL_FILE_COUNT - 3) + " tools missing: PNG, ";
    EXPECT_EQ(run.err.compare(0, notice.size(), notice), 0) << run.err;
    EXPECT_NE(run.err.find(" files will fail (VellBatch --check-tools lists them)\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("VellBatch:", 1), std::string::npos) << run.err;
    for (const std::wstring& path : paths)
        EXPECT_EQ(readTestFile(path), tinyPng);
}

struct ArchiveCase {
    const char* name;
    std::wstring archive;
    std::string archiveBytes;
    std::string sevenZipBehavior;
    std::string ectBehavior;
    std::vector<std::string> contentLines; // sorted; "?" stands for the one line that failed
    std::string archiveResult;             // empty: not looked at
    std::string total;
    DWORD exitCode;
};

void expectArchiveReport(const ArchiveCase& c, const BatchRun& run)
{
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), c.contentLines.size() + 2) << run.out;
    // The content comes first, then the archive, then the total.
    std::vector<std::string> content(lines.begin(), lines.end() - 2);
    std::sort(content.begin(), content.end());
    size_t failed = 0;
    for (size_t i = 0; i < content.size(); ++i) {
        if (c.contentLines[i] != "?") {
            EXPECT_EQ(content[i], c.contentLines[i]);
            continue;
        }
        EXPECT_EQ(fieldOf(content[i], 0).compare(0, narrow(c.archive).size() + 3, narrow(c.archive) + " > "), 0)
            << content[i];
        if (fieldOf(content[i], 4) != "OK") {
            ++failed;
            EXPECT_EQ(fieldOf(content[i], 2), "-") << content[i];
            EXPECT_FALSE(fieldOf(content[i], 4).empty()) << content[i];
        }
    }
    if (std::find(c.contentLines.begin(), c.contentLines.end(), "?") != c.contentLines.end()) {
        EXPECT_EQ(failed, 1u) << run.out;
    }
    const std::string& archiveLine = lines[lines.size() - 2];
    EXPECT_EQ(fieldOf(archiveLine, 0), narrow(c.archive)) << archiveLine;
    EXPECT_EQ(fieldOf(archiveLine, 1), std::to_string(c.archiveBytes.size())) << archiveLine;
    if (!c.archiveResult.empty()) {
        EXPECT_EQ(fieldOf(archiveLine, 2), c.archiveResult) << archiveLine;
        EXPECT_EQ(fieldOf(archiveLine, 4), "OK") << archiveLine;
    }
    EXPECT_EQ(lines.back(), c.total);
    // Exit code 0 exactly when every line says OK.
    bool allOk = true;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        allOk = allOk && fieldOf(lines[i], 4) == "OK";
    EXPECT_EQ(run.exitCode == 0, allOk) << run.out;
}

TEST_F(VellBatch, ArchivesAndTheirContentAreReportedTruthfully)
{
    registry.setNumber(L"7z_strategy", 1);
    registry.setNumber(L"7z_recursive", 1);
    registry.setNumber(L"gzip_strategy", 1);
    registry.setNumber(L"gzip_recursive", 1);
    const std::string png = escaped(tinyPng);
    const std::string sevenZip = "7z\xBC\xAF\x27\x1C" + std::string(100, 's');
    const std::string gzip = std::string("\x1F\x8B\x08\0\0\0\0\0\0\x03", 10) + std::string(100, 'g');
    const std::wstring pack = input + L"\\pack.7z";
    const std::wstring log = input + L"\\log.gz";
    const std::string ok = "\t33\t23 (-10 B; -30 %)\toptimize PNG\tOK";
    const ArchiveCase cases[] = {
        {"extraction: the archive became a folder, its content saved",
         pack, sevenZip,
         "write " + quoted(pack + L"\\one.png") + " " + png + "\nmkdir " + quoted(pack + L"\\sub") + "\nwrite " +
             quoted(pack + L"\\sub\\two.png") + " " + png + "\n",
         "shrink @last 10\n",
         {narrow(pack) + " > one.png" + ok, narrow(pack) + " > sub\\two.png" + ok},
         "folder (-20 B)",
         "Total: 2 files, 66 bytes before, 46 after, 20 saved (30.3 %)", 0},
        {"extraction with a failure inside",
         pack, sevenZip,
         "write " + quoted(pack + L"\\one.png") + " " + png + "\nwrite " + quoted(pack + L"\\two.png") + " " + png + "\n",
         "call 1: stderr broken\\n\ncall 1: exit 2\nshrink @last 10\n",
         {"?", "?"},
         "",
         "Total: 2 files, 66 bytes before, 56 after, 10 saved (15.2 %)", 1},
        {"repacked container: its own file counts, its content is inside it",
         log, gzip,
         // The rebuilt archive is larger than the original, so the file stays as it was.
         "call 1: mkdir x\ncall 1: write x\\inner.png " + png + "\ncall 2: write @6 " + std::string(200, 'G') + "\n",
         "shrink @last 10\n",
         {narrow(log) + " > inner.png" + ok},
         "110",
         "Total: 1 file, 110 bytes before, 110 after, 0 saved (0.0 %)", 0},
    };
    for (const ArchiveCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeTestFile(c.archive, c.archiveBytes));
        ASSERT_TRUE(tools.install(TOOL_7Z, c.sevenZipBehavior));
        ASSERT_TRUE(tools.setBehavior(TOOL_ECT, c.ectBehavior));

        expectArchiveReport(c, batch({L"-j", L"1", c.archive}));
        EXPECT_FALSE(hasScratchFolders(temp));
        removeTestFolder(input);
        ASSERT_TRUE(CreateDirectoryW(input.c_str(), nullptr));
        tools.clearCalls(TOOL_7Z);
        tools.clearCalls(TOOL_ECT);
    }
}

TEST_F(VellBatch, EndOfSessionCancelsAndCleansUpBeforeItAnswers)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
    std::wstring path = png(L"slow.png");
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(start({L"--tools", toolsArgument(), L"-j", L"1", path}, &process));
    if (!waitForTool(TOOL_ECT, &process)) {
        BatchRun run = finish(&process);
        FAIL() << "the tool never started\n" << run.out << run.err;
    }
    HANDLE tool = OpenProcess(SYNCHRONIZE, FALSE, tools.calls(TOOL_ECT)[0].processId);
    std::vector<HWND> windows = topLevelWindowsOf(process.dwProcessId);
    if (!tool || windows.empty()) {
        if (tool)
            CloseHandle(tool);
        endAbandoned(&process, TOOL_ECT);
        FAIL() << (tool ? "VellBatch has no top-level window to hear of the end of the session"
                        : "the tool cannot be opened");
    }

    struct Step {
        UINT message;
        WPARAM ending;
        bool cleanedUp;
    } steps[] = {
        {WM_QUERYENDSESSION, 0, false},
        {WM_ENDSESSION, FALSE, false}, // the session goes on after all
        {WM_ENDSESSION, TRUE, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(testing::Message() << step.message << " " << step.ending);
        for (HWND window : windows) {
            DWORD_PTR answer = 0;
            bool answered = SendMessageTimeoutW(window, step.message, step.ending, ENDSESSION_LOGOFF, SMTO_NORMAL,
                                                120000, &answer) != 0;
            // Once the session has ended for one of its windows, the process may be gone with the others.
            ASSERT_TRUE(answered || (step.cleanedUp && !IsWindow(window))) << GetLastError();
            if (step.message == WM_QUERYENDSESSION) {
                EXPECT_EQ(answer, static_cast<DWORD_PTR>(TRUE)) << "VellBatch never holds up the end of the session";
            }
        }
        // Checked at once: the process may be ended as soon as the answer has come.
        EXPECT_EQ(WaitForSingleObject(tool, 0) == WAIT_OBJECT_0, step.cleanedUp);
        EXPECT_EQ(hasScratchFolders(temp), !step.cleanedUp);
    }
    CloseHandle(tool);
    BatchRun run = finish(&process);
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(fieldOf(lines[0], 0), narrow(path));
    EXPECT_NE(fieldOf(lines[0], 4), "OK");
    EXPECT_EQ(lines[1], "Total: 1 file, 33 bytes before, 33 after, 0 saved (0.0 %)");
    EXPECT_EQ(readTestFile(path), tinyPng);
}

std::wstring verifySample(const char* name)
{
    return wineHostPath(VELL_VERIFY_SAMPLES) + L"\\" + widen(name);
}

// A done job says whether its result was shown to hold the same content.
TEST_F(VellBatch, StatusSaysWhatTheCheckOfTheResultFound)
{
    if (!testPathExists(verifySample("original.png")))
        GTEST_SKIP() << "the verification samples were not made (no Python 3 when the build was configured)";
    registry.setNumber(L"general_verifyResults", 1);
    const struct {
        const char* result; // what ECT writes; null: the tiny PNG cut short
        const char* status;
    } rows[] = {
        {"same.png", "OK (verified)"},
        {nullptr, "OK (not verified)"},
        {"flipped.png", "ERROR: result differs from the original (pixel 12,7 of frame 1)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.result ? row.result : "tiny");
        std::wstring path = input + L"\\picture.png";
        if (row.result) {
            ASSERT_TRUE(writeTestFile(path, readTestFile(verifySample("original.png"))));
            ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "copy \"" + narrow(verifySample(row.result)) + "\" @last\n"));
        } else {
            png(L"picture.png");
            ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "shrink @last 10\n"));
        }
        BatchRun run = batch({L"-j", L"1", path});
        std::vector<std::string> lines = linesOf(run.out);
        ASSERT_EQ(lines.size(), 2u) << run.out << run.err;
        std::string field = lines[0].substr(lines[0].rfind('\t') + 1);
        EXPECT_EQ(field, row.status) << lines[0];
        DeleteFileW(path.c_str());
    }
}

TEST_F(VellBatch, CtrlCCancelsCleanly)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
    std::wstring path = png(L"slow.png");
    shareConsole();
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(start({L"--tools", toolsArgument(), L"-j", L"1", path}, &process));
    if (!waitForTool(TOOL_ECT, &process)) {
        BatchRun run = finish(&process);
        FAIL() << "the tool never started\n" << run.out << run.err;
    }
    // Ctrl+C goes to every process of the console; Wine sends no event to a single group.
    if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
        DWORD error = GetLastError();
        endAbandoned(&process, TOOL_ECT);
        GTEST_SKIP() << "no console control event can be sent here (GenerateConsoleCtrlEvent failed, error "
                     << error << ")";
    }
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        endAbandoned(&process, TOOL_ECT);
        FAIL() << "VellBatch did not stop within 60 s of Ctrl+C\n" << readTestFile(outPath) << readTestFile(errPath);
    }
    BatchRun run = finish(&process);
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    EXPECT_NE(run.err.find("canceling"), std::string::npos) << run.err;
    std::vector<std::string> lines = linesOf(run.out);
    ASSERT_EQ(lines.size(), 2u) << run.out;
    EXPECT_EQ(lines[0].compare(0, narrow(path).size() + 1, narrow(path) + "\t"), 0);
    EXPECT_EQ(lines[1], "Total: 1 file, 33 bytes before, 33 after, 0 saved (0.0 %)");
    EXPECT_EQ(readTestFile(path), tinyPng);
    EXPECT_FALSE(hasScratchFolders(temp));
    for (const ToolCall& call : tools.calls(TOOL_ECT)) {
        HANDLE tool = OpenProcess(SYNCHRONIZE, FALSE, call.processId);
        if (tool) {
            EXPECT_EQ(WaitForSingleObject(tool, 0), WAIT_OBJECT_0) << "the tool was ended";
            CloseHandle(tool);
        }
    }
}

// Ctrl+C while the adder waits for a probe tool that never ends (Gifsicle asked
// about a GIF): the tool is ended and VellBatch finishes, the GIF untouched.
TEST_F(VellBatch, CtrlCEndsAHangingProbe)
{
    ASSERT_TRUE(tools.install(TOOL_GIFSICLE, "hang\n"));
    const std::string gifBytes = "GIF89a, a picture that must stay as it is";
    std::wstring path = input + L"\\slow.gif";
    ASSERT_TRUE(writeTestFile(path, gifBytes));
    shareConsole();
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(start({L"--tools", toolsArgument(), L"-j", L"1", path}, &process));
    if (!waitForTool(TOOL_GIFSICLE, &process)) {
        BatchRun run = finish(&process);
        FAIL() << "the probe never started\n" << run.out << run.err;
    }
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
        // Whether the event arrived, VellBatch said on standard error.
        bool heard = readTestFile(errPath).find("canceling") != std::string::npos;
        endAbandoned(&process, TOOL_GIFSICLE);
        if (!heard)
            GTEST_SKIP() << "no console control event reaches the child here (no console to share)";
        FAIL() << "VellBatch heard Ctrl+C but did not end while its probe tool hung";
    }
    BatchRun run = finish(&process);
    EXPECT_EQ(run.exitCode, 1u) << run.out << run.err;
    EXPECT_NE(run.err.find("canceling"), std::string::npos) << run.err;
    EXPECT_EQ(readTestFile(path), gifBytes);
    EXPECT_FALSE(hasScratchFolders(temp));
    for (const ToolCall& call : tools.calls(TOOL_GIFSICLE)) {
        HANDLE tool = OpenProcess(SYNCHRONIZE, FALSE, call.processId);
        if (tool) {
            EXPECT_EQ(WaitForSingleObject(tool, 0), WAIT_OBJECT_0) << "the tool was ended";
            CloseHandle(tool);
        }
    }
}

// A killed run cannot clean up; the next run removes what it left, and never
// a folder it did not make.
TEST_F(VellBatch, TheNextRunRemovesTheScratchFoldersOfAKilledOne)
{
    ASSERT_TRUE(tools.setBehavior(TOOL_ECT, "hang\n"));
    std::wstring path = png(L"killed.png");
    std::wstring foreign = temp + L"zarn00000000";
    ASSERT_TRUE(CreateDirectoryW(foreign.c_str(), nullptr));
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(start({L"--tools", toolsArgument(), L"-j", L"1", path}, &process));
    bool toolStarted = waitForTool(TOOL_ECT, &process);
    endAbandoned(&process, TOOL_ECT);
    ASSERT_TRUE(toolStarted);
    auto scratchFolders = [this]() {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE listing = FindFirstFileW((temp + L"zarn*").c_str(), &found);
        if (listing == INVALID_HANDLE_VALUE)
            return names;
        do
            names.push_back(found.cFileName);
        while (FindNextFileW(listing, &found));
        FindClose(listing);
        return names;
    };
    ASSERT_GE(scratchFolders().size(), 2u) << "the killed run left its scratch folder";

    std::wstring empty = folder + L"\\empty";
    ASSERT_TRUE(CreateDirectoryW(empty.c_str(), nullptr));
    BatchRun run = batch({empty});
    EXPECT_EQ(run.exitCode, 0u) << run.out << run.err;
    EXPECT_EQ(scratchFolders(), std::vector<std::wstring>{L"zarn00000000"});
}

} // namespace
