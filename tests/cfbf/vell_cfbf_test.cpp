// End-to-end tests of VellCFBF: each case builds compound files through structured
// storage, runs the real program from the build's dist\tools folder and checks its exit
// code, its output and the files it leaves.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>
#include <wchar.h>

#include <map>
#include <string>
#include <vector>

#include "cfbf/sample_file.h"

namespace {

const char USAGE_TEXT[] =
    "Zarn's Vell CFBF Optimizer 2019.08.31 from https://vell-optimizer.example/\n"
    "usage: VellCFBF [-v4] <in path> <out path>\n"
    "  input and output must be different files\n"
    "  -v4 uses 4096-B sectors; 512 B otherwise\n";

const DWORD EXIT_USAGE = 0xFFFFFFF0;

struct RunResult {
    DWORD exitCode;
    std::string output;
    std::string error;
};

std::wstring directoryOf(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool fileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The program is copied to <build>\dist\tools; the test sits somewhere below <build>.
std::wstring findProgram()
{
    wchar_t module[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring folder = directoryOf(std::wstring(module, length));
    while (!folder.empty()) {
        std::wstring candidate = folder + L"\\dist\\tools\\VellCFBF.exe";
        if (fileExists(candidate))
            return candidate;
        std::wstring parent = directoryOf(folder);
        if (parent == folder)
            break;
        folder = parent;
    }
    return std::wstring();
}

std::wstring quoted(const std::wstring& argument)
{
    return L"\"" + argument + L"\"";
}

std::string drain(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

// Longer than any run here takes, even on a loaded machine; a run still going then
// has hung.
const DWORD RUN_LIMIT_MS = 40000;

// Starts the program with the arguments quoted one by one and collects both outputs.
// The program writes only a few bytes, far below a pipe's buffer, so it can end before
// anything is read, and a run that hangs is ended after RUN_LIMIT_MS.
RunResult runProgram(const std::vector<std::wstring>& arguments, const std::wstring& folder)
{
    RunResult result = {0xDEADBEEF, std::string(), std::string()};
    static const std::wstring program = findProgram();
    if (program.empty()) {
        ADD_FAILURE() << "VellCFBF.exe not found below dist\\tools";
        return result;
    }
    std::wstring commandLine = quoted(program);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + quoted(argument);

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE outputRead = nullptr, outputWrite = nullptr, errorRead = nullptr, errorWrite = nullptr;
    if (!CreatePipe(&outputRead, &outputWrite, &inherit, 0) ||
        !CreatePipe(&errorRead, &errorWrite, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed";
        return result;
    }
    SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errorRead, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = outputWrite;
    startup.hStdError = errorWrite;
    PROCESS_INFORMATION process = {};
    std::vector<wchar_t> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back(L'\0');
    BOOL started = CreateProcessW(program.c_str(), mutableLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup, &process);
    CloseHandle(outputWrite);
    CloseHandle(errorWrite);
    if (started) {
        if (WaitForSingleObject(process.hProcess, RUN_LIMIT_MS) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 0xDEADBEEF);
            WaitForSingleObject(process.hProcess, INFINITE);
            ADD_FAILURE() << "VellCFBF did not end within " << RUN_LIMIT_MS / 1000 << " s";
        }
        result.output = drain(outputRead);
        result.error = drain(errorRead);
        GetExitCodeProcess(process.hProcess, &result.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
    }
    CloseHandle(outputRead);
    CloseHandle(errorRead);
    return result;
}

std::string readFileBytes(const std::wstring& path)
{
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

bool writeFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == bytes.size();
}

unsigned readU16(const std::string& bytes, size_t offset)
{
    return static_cast<unsigned char>(bytes[offset]) |
           (static_cast<unsigned char>(bytes[offset + 1]) << 8);
}

unsigned long readU32(const std::string& bytes, size_t offset)
{
    return readU16(bytes, offset) | (static_cast<unsigned long>(readU16(bytes, offset + 2)) << 16);
}

void writeU32(std::string& bytes, size_t offset, unsigned long value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// One element as read back through structured storage; a storage's class and state
// bits come from its own description, as the program reads them.
struct ReadElement {
    bool storage;
    ULONGLONG listedLength;
    std::string bytes;
    CLSID classId;
    DWORD stateBits;
};

using Tree = std::map<std::wstring, ReadElement>;

bool readStorage(IStorage* storage, const std::wstring& prefix, Tree& tree)
{
    IEnumSTATSTG* listing = nullptr;
    if (FAILED(storage->EnumElements(0, nullptr, 0, &listing)))
        return false;
    bool ok = true;
    STATSTG element = {};
    ULONG fetched = 0;
    while (ok && listing->Next(1, &element, &fetched) == S_OK && fetched == 1) {
        std::wstring path = prefix + element.pwcsName;
        ReadElement& entry = tree[path];
        entry.storage = element.type == STGTY_STORAGE;
        entry.listedLength = element.cbSize.QuadPart;
        entry.classId = element.clsid;
        entry.stateBits = 0;
        if (element.type == STGTY_STORAGE) {
            IStorage* child = nullptr;
            ok = SUCCEEDED(storage->OpenStorage(element.pwcsName, nullptr,
                                                STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                                &child));
            if (ok) {
                STATSTG description = {};
                ok = SUCCEEDED(child->Stat(&description, STATFLAG_NONAME)) &&
                     readStorage(child, path + L"/", tree);
                entry.classId = description.clsid;
                entry.stateBits = description.grfStateBits;
                child->Release();
            }
        } else {
            IStream* stream = nullptr;
            ok = SUCCEEDED(storage->OpenStream(element.pwcsName, nullptr,
                                               STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream));
            if (ok) {
                char buffer[4096];
                ULONG read = 0;
                while (SUCCEEDED(stream->Read(buffer, sizeof(buffer), &read)) && read > 0)
                    entry.bytes.append(buffer, read);
                stream->Release();
            }
        }
        CoTaskMemFree(element.pwcsName);
    }
    listing->Release();
    return ok;
}

// The root is kept under the empty name.
bool readTree(const std::wstring& path, Tree& tree)
{
    IStorage* root = nullptr;
    if (FAILED(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                              0, &root)))
        return false;
    STATSTG description = {};
    bool ok = SUCCEEDED(root->Stat(&description, STATFLAG_NONAME));
    ReadElement& entry = tree[std::wstring()];
    entry.storage = true;
    entry.listedLength = 0;
    entry.classId = description.clsid;
    entry.stateBits = description.grfStateBits;
    ok = ok && readStorage(root, std::wstring(), tree);
    root->Release();
    return ok;
}

std::string narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += c < 0x80 ? static_cast<char>(c) : '?';
    return result;
}

// Expects `output` to hold exactly the tree of `input`, byte for byte, with the class
// and state bits of every storage.
void expectSameTree(const std::wstring& input, const std::wstring& output)
{
    Tree in, out;
    ASSERT_TRUE(readTree(input, in));
    ASSERT_TRUE(readTree(output, out));
    ASSERT_EQ(in.size(), out.size());
    for (const auto& entry : in) {
        auto match = out.find(entry.first);
        ASSERT_NE(match, out.end()) << narrow(entry.first);
        EXPECT_EQ(entry.second.storage, match->second.storage) << narrow(entry.first);
        EXPECT_EQ(entry.second.listedLength, match->second.listedLength) << narrow(entry.first);
        EXPECT_EQ(entry.second.listedLength, match->second.bytes.size()) << narrow(entry.first);
        EXPECT_TRUE(entry.second.bytes == match->second.bytes) << narrow(entry.first);
        EXPECT_TRUE(IsEqualCLSID(entry.second.classId, match->second.classId)) << narrow(entry.first);
        EXPECT_EQ(entry.second.stateBits, match->second.stateBits) << narrow(entry.first);
    }
}

class CfbfTest : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static unsigned counter = 0;
        folder = std::wstring(temp) + L"vell-cfbf-" + std::to_wstring(GetCurrentProcessId()) +
                 L"-" + std::to_wstring(++counter);
        CreateDirectoryW(folder.c_str(), nullptr);
    }

    void TearDown() override
    {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                    DeleteFileW((folder + L"\\" + found.cFileName).c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(folder.c_str());
        CoUninitialize();
    }

    std::wstring pathOf(const wchar_t* name) const { return folder + L"\\" + name; }

    std::wstring makeSample(const wchar_t* name)
    {
        std::wstring path = pathOf(name);
        EXPECT_EQ(S_OK, createSampleFile(path.c_str(), SAMPLE_TREE, SAMPLE_TREE_COUNT,
                                         &SAMPLE_ROOT_CLASS, false));
        return path;
    }

    RunResult run(const std::vector<std::wstring>& arguments)
    {
        return runProgram(arguments, folder);
    }

    std::wstring folder;
};

void expectSuccess(const RunResult& result)
{
    EXPECT_EQ(0u, result.exitCode);
    EXPECT_EQ("OK\n", result.output);
    EXPECT_EQ("", result.error);
}

void expectFailure(const RunResult& result, DWORD code, const char* message)
{
    EXPECT_EQ(code, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(message, result.error);
}

// Sector shift (bytes 30-31) and major version (bytes 26-27) of a compound file header.
void expectSectors(const std::wstring& path, unsigned shift, unsigned version)
{
    std::string bytes = readFileBytes(path);
    ASSERT_GE(bytes.size(), 512u);
    EXPECT_EQ(0, bytes.compare(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
    EXPECT_EQ(shift, readU16(bytes, 30));
    EXPECT_EQ(version, readU16(bytes, 26));
}

TEST_F(CfbfTest, UsageWhenTwoPathsAreMissing)
{
    const std::vector<std::wstring> cases[] = {
        {},
        {L"only.cfb"},
        {L"-v4"},
        {L"-v4", L"-v4"},
        {L"-v4", L"only.cfb", L"-v4"},
    };
    for (const auto& arguments : cases) {
        RunResult result = run(arguments);
        EXPECT_EQ(EXIT_USAGE, result.exitCode) << arguments.size();
        EXPECT_EQ(USAGE_TEXT, result.output);
        EXPECT_EQ("", result.error);
    }
    EXPECT_FALSE(fileExists(pathOf(L"only.cfb")));
}

TEST_F(CfbfTest, CopiesTreeBytesAndClassesWith512ByteSectors)
{
    std::wstring input = makeSample(L"in.cfb");
    std::string inputBefore = readFileBytes(input);
    std::wstring output = pathOf(L"out file \x00e4.cfb");
    expectSuccess(run({input, output}));
    expectSectors(output, 9, 3);
    expectSameTree(input, output);
    EXPECT_TRUE(inputBefore == readFileBytes(input));

    Tree tree;
    ASSERT_TRUE(readTree(output, tree));
    EXPECT_TRUE(IsEqualCLSID(SAMPLE_ROOT_CLASS, tree[std::wstring()].classId));
    ASSERT_EQ(SAMPLE_TREE_COUNT + 1, tree.size());
    for (size_t i = 0; i < SAMPLE_TREE_COUNT; ++i) {
        const SampleElement& element = SAMPLE_TREE[i];
        auto found = tree.find(element.path);
        ASSERT_NE(found, tree.end()) << narrow(element.path);
        EXPECT_EQ(element.storage, found->second.storage);
        if (element.storage) {
            // An embedded object is only found again by its storage's class.
            const CLSID& expected = element.classId != nullptr ? *element.classId : CLSID_NULL;
            EXPECT_TRUE(IsEqualCLSID(expected, found->second.classId)) << narrow(element.path);
            continue;
        }
        ASSERT_EQ(element.length, found->second.bytes.size()) << narrow(element.path);
        bool same = true;
        for (unsigned long j = 0; same && j < element.length; ++j)
            same = static_cast<unsigned char>(found->second.bytes[j]) ==
                   sampleByte(element.path, j);
        EXPECT_TRUE(same) << narrow(element.path);
    }
}

TEST_F(CfbfTest, LargeSectorSwitchAnywhere)
{
    std::wstring input = makeSample(L"in.cfb");
    std::wstring output = pathOf(L"out.cfb");
    const std::vector<std::wstring> cases[] = {
        {L"-v4", input, output},
        {input, L"-v4", output},
        {input, output, L"-v4"},
        {L"-v4", input, L"-v4", output, L"-v4"},
    };
    for (const auto& arguments : cases) {
        DeleteFileW(output.c_str());
        expectSuccess(run(arguments));
        expectSectors(output, 12, 4);
        expectSameTree(input, output);
    }
}

TEST_F(CfbfTest, UpperCaseSwitchIsAPath)
{
    std::wstring input = makeSample(L"in.cfb");
    // As output: a file named "-V4" in the working folder, with 512-byte sectors.
    expectSuccess(run({input, L"-V4"}));
    expectSectors(pathOf(L"-V4"), 9, 3);
    expectSameTree(input, pathOf(L"-V4"));
    // As input: it names the file just made, and the last path is the output.
    expectSuccess(run({L"-V4", pathOf(L"copy.cfb")}));
    expectSectors(pathOf(L"copy.cfb"), 9, 3);
    // With three paths "-V4" is the input and the third path the output.
    DeleteFileW(pathOf(L"-V4").c_str());
    expectFailure(run({L"-V4", input, pathOf(L"never.cfb")}), 0xFFFFFFF7,
                  "cannot open source stream\n");
    EXPECT_FALSE(fileExists(pathOf(L"never.cfb")));
}

TEST_F(CfbfTest, LastOfSeveralPathsIsTheOutput)
{
    std::wstring input = makeSample(L"in.cfb");
    std::wstring skipped = pathOf(L"skipped.cfb");
    std::wstring output = pathOf(L"out.cfb");
    expectSuccess(run({input, skipped, output}));
    EXPECT_FALSE(fileExists(skipped));
    expectSameTree(input, output);
    expectSuccess(run({input, skipped, pathOf(L"also.cfb"), L"-v4", pathOf(L"last.cfb")}));
    EXPECT_FALSE(fileExists(skipped));
    EXPECT_FALSE(fileExists(pathOf(L"also.cfb")));
    expectSectors(pathOf(L"last.cfb"), 12, 4);
}

TEST_F(CfbfTest, SameFileAsInputAndOutputIsRefused)
{
    std::wstring input = makeSample(L"in.cfb");
    std::string before = readFileBytes(input);
    expectFailure(run({input, input}), 0xFFFFFFF8, "cannot create target file\n");
    EXPECT_TRUE(before == readFileBytes(input));
    expectFailure(run({L"-v4", input, input}), 0xFFFFFFF8, "cannot create target file\n");
    EXPECT_TRUE(before == readFileBytes(input));
}

TEST_F(CfbfTest, ExistingOutputIsReplaced)
{
    std::wstring input = makeSample(L"in.cfb");
    std::wstring junk = pathOf(L"junk.bin");
    ASSERT_TRUE(writeFileBytes(junk, std::string(300000, 'x')));
    expectSuccess(run({input, junk}));
    expectSameTree(input, junk);
    EXPECT_LT(readFileBytes(junk).size(), 300000u);

    // A compound file with other elements is replaced, not merged into.
    std::wstring stale = pathOf(L"stale.cfb");
    const SampleElement other[] = {{L"Stale", false, 10, nullptr}, {L"Old", true, 0, nullptr}};
    ASSERT_EQ(S_OK, createSampleFile(stale.c_str(), other, 2, nullptr, true));
    expectSuccess(run({input, stale}));
    expectSectors(stale, 9, 3);
    expectSameTree(input, stale);
    Tree tree;
    ASSERT_TRUE(readTree(stale, tree));
    EXPECT_EQ(0u, tree.count(L"Stale"));
    EXPECT_EQ(0u, tree.count(L"Old"));
}

TEST_F(CfbfTest, InputThatCannotBeOpened)
{
    std::wstring text = pathOf(L"plain.txt");
    ASSERT_TRUE(writeFileBytes(text, std::string(2000, 'a')));
    ASSERT_TRUE(writeFileBytes(pathOf(L"empty.bin"), std::string()));
    const std::wstring inputs[] = {text, pathOf(L"empty.bin"), pathOf(L"missing.cfb")};
    for (const std::wstring& input : inputs) {
        expectFailure(run({input, pathOf(L"out.cfb")}), 0xFFFFFFF7,
                      "cannot open source stream\n");
        EXPECT_FALSE(fileExists(pathOf(L"out.cfb")));
    }
}

TEST_F(CfbfTest, OutputThatCannotBeCreated)
{
    std::wstring input = makeSample(L"in.cfb");
    expectFailure(run({input, pathOf(L"no such folder\\out.cfb")}), 0xFFFFFFF8,
                  "cannot create target file\n");
}

TEST_F(CfbfTest, StoragesWithoutStreams)
{
    const SampleElement hollow[] = {
        {L"A", true, 0, nullptr},
        {L"A/B", true, 0, &SAMPLE_INNER_CLASS},
        {L"A/B/C", true, 0, nullptr},
        {L"D", true, 0, nullptr},
    };
    std::wstring input = pathOf(L"hollow.cfb");
    ASSERT_EQ(S_OK, createSampleFile(input.c_str(), hollow, 4, &SAMPLE_ROOT_CLASS, false));
    for (bool large : {false, true}) {
        std::wstring output = pathOf(large ? L"out4096.cfb" : L"out512.cfb");
        std::vector<std::wstring> arguments = {input, output};
        if (large)
            arguments.push_back(L"-v4");
        expectSuccess(run(arguments));
        expectSectors(output, large ? 12 : 9, large ? 4 : 3);
        expectSameTree(input, output);
    }

    std::wstring bare = pathOf(L"bare.cfb");
    ASSERT_EQ(S_OK, createSampleFile(bare.c_str(), nullptr, 0, nullptr, true));
    expectSuccess(run({bare, pathOf(L"bare-out.cfb")}));
    expectSameTree(bare, pathOf(L"bare-out.cfb"));
}

TEST_F(CfbfTest, LargeSectorInputToSmallSectors)
{
    std::wstring input = pathOf(L"in4096.cfb");
    ASSERT_EQ(S_OK, createSampleFile(input.c_str(), SAMPLE_TREE, SAMPLE_TREE_COUNT,
                                     &SAMPLE_ROOT_CLASS, true));
    expectSectors(input, 12, 4);
    expectSuccess(run({input, pathOf(L"out.cfb")}));
    expectSectors(pathOf(L"out.cfb"), 9, 3);
    expectSameTree(input, pathOf(L"out.cfb"));
}

TEST_F(CfbfTest, StateBitsOfEveryStorage)
{
    if (!sampleStateBitsKept(pathOf(L"probe.cfb").c_str()))
        GTEST_SKIP() << "this system's structured storage does not write state bits to the file "
                        "(Wine keeps them in memory only), so no input can carry any";
    const SampleElement flagged[] = {
        {L"Plain", true, 0, nullptr, 0},
        {L"Flagged", true, 0, &SAMPLE_INNER_CLASS, 0x00010001},
        {L"Flagged/Deeper", true, 0, nullptr, 0x80000000},
        {L"Flagged/Deeper/Data", false, 300, nullptr, 0},
    };
    std::wstring input = pathOf(L"flagged.cfb");
    ASSERT_EQ(S_OK, createSampleFile(input.c_str(), flagged, 4, &SAMPLE_ROOT_CLASS, false));
    Tree tree;
    ASSERT_TRUE(readTree(input, tree));
    ASSERT_EQ(0x80000000u, tree[L"Flagged/Deeper"].stateBits);
    for (bool large : {false, true}) {
        std::wstring output = pathOf(large ? L"out4096.cfb" : L"out512.cfb");
        std::vector<std::wstring> arguments = {input, output};
        if (large)
            arguments.push_back(L"-v4");
        expectSuccess(run(arguments));
        expectSameTree(input, output);
    }
}

// Hand-edited inputs. The files are made with 512-byte sectors, where each directory
// sector holds four 128-byte entries.
const unsigned long NO_STREAM = 0xFFFFFFFF;
const size_t ENTRY_LEFT = 68, ENTRY_RIGHT = 72, ENTRY_CHILD = 76,
             ENTRY_COLOR = 67, ENTRY_CLASS = 80, ENTRY_SIZE = 120;

size_t findEntry(const std::string& bytes, const wchar_t* name)
{
    size_t length = wcslen(name);
    for (size_t offset = 512; offset + 128 <= bytes.size(); offset += 128) {
        if (readU16(bytes, offset + 64) != (length + 1) * 2)
            continue;
        bool same = true;
        for (size_t i = 0; same && i <= length; ++i)
            same = readU16(bytes, offset + 2 * i) == static_cast<unsigned>(name[i]);
        if (same)
            return offset;
    }
    return std::string::npos;
}

unsigned long entryIndex(const std::string& bytes, size_t offset)
{
    size_t directory = (readU32(bytes, 48) + 1) * 512;
    EXPECT_GE(offset, directory);
    EXPECT_LT(offset, directory + 512);
    return static_cast<unsigned long>((offset - directory) / 128);
}

struct BrokenCase {
    const char* title;
    std::vector<SampleElement> elements;
    void (*edit)(std::string& bytes);
    DWORD exitCode;
    const char* message;
};

// "Z" hangs on the left of "B" although it sorts after it: listing the root still
// reaches it, but looking it up by name does not.
void misplaceSibling(std::string& bytes)
{
    size_t b = findEntry(bytes, L"B");
    size_t z = findEntry(bytes, L"Z");
    ASSERT_NE(std::string::npos, b);
    ASSERT_NE(std::string::npos, z);
    size_t root = findEntry(bytes, L"Root Entry");
    ASSERT_NE(std::string::npos, root);
    writeU32(bytes, root + ENTRY_CHILD, entryIndex(bytes, b));
    writeU32(bytes, b + ENTRY_LEFT, entryIndex(bytes, z));
    writeU32(bytes, b + ENTRY_RIGHT, NO_STREAM);
    writeU32(bytes, z + ENTRY_LEFT, NO_STREAM);
    writeU32(bytes, z + ENTRY_RIGHT, NO_STREAM);
    bytes[b + ENTRY_COLOR] = 1;
    bytes[z + ENTRY_COLOR] = 1;
}

void setSize(std::string& bytes, const wchar_t* name, unsigned long size)
{
    size_t entry = findEntry(bytes, name);
    ASSERT_NE(std::string::npos, entry);
    writeU32(bytes, entry + ENTRY_SIZE, size);
}

void lengthenSmallStream(std::string& bytes) { setSize(bytes, L"S", 3000); }
void lengthenLargeStream(std::string& bytes) { setSize(bytes, L"L", 12288); }

// A class identifier on a stream is legal in the format, but creating a stream gives it
// none, so the verification must notice the difference.
void classifyStream(std::string& bytes)
{
    size_t entry = findEntry(bytes, L"S");
    ASSERT_NE(std::string::npos, entry);
    for (size_t i = 0; i < 16; ++i)
        bytes[entry + ENTRY_CLASS + i] = static_cast<char>(0x11 * (i + 1));
}

TEST_F(CfbfTest, BrokenInputs)
{
    const BrokenCase cases[] = {
        {"stream found by listing but not by name",
         {{L"B", false, 10, nullptr}, {L"Z", false, 10, nullptr}}, misplaceSibling, 14,
         "error: cannot open stream\n"},
        {"storage found by listing but not by name",
         {{L"B", true, 0, nullptr}, {L"Z", true, 0, nullptr}}, misplaceSibling, 0xFFFFFFF4,
         "error: cannot open storage\n"},
        {"small stream listed longer than its chain",
         {{L"S", false, 100, nullptr}, {L"L", false, 8192, nullptr}}, lengthenSmallStream,
         0xFFFFFFF9, "cannot copy small stream\n"},
        {"large stream listed longer than its chain",
         {{L"S", false, 100, nullptr}, {L"L", false, 8192, nullptr}}, lengthenLargeStream,
         0xFFFFFFFA, "cannot copy large stream\n"},
        {"stream class that the copy does not carry",
         {{L"S", false, 100, nullptr}}, classifyStream, 0xFFFFFFEF, "result is broken\n"},
    };
    for (const BrokenCase& broken : cases) {
        SCOPED_TRACE(broken.title);
        std::wstring input = pathOf(L"broken.cfb");
        ASSERT_EQ(S_OK, createSampleFile(input.c_str(), broken.elements.data(),
                                         broken.elements.size(), nullptr, false));
        std::string bytes = readFileBytes(input);
        broken.edit(bytes);
        ASSERT_TRUE(writeFileBytes(input, bytes));
        expectFailure(run({input, pathOf(L"out.cfb")}), broken.exitCode, broken.message);
        EXPECT_TRUE(bytes == readFileBytes(input));
        DeleteFileW(pathOf(L"out.cfb").c_str());
    }
}

// Structured storage may follow these links for ever; VellCFBF refuses them before
// it opens the file, says why, and leaves the file as it was.
TEST_F(CfbfTest, LinksInACircleAreRefusedBeforeOpening)
{
    const Corruption cases[] = {CORRUPT_DIRECTORY_CIRCLE, CORRUPT_MINI_FAT_CIRCLE, CORRUPT_MINI_STREAM_CIRCLE,
                                CORRUPT_SIBLING_CIRCLE};
    const std::string refusal = "cannot open source stream\n";
    for (Corruption corruption : cases) {
        SCOPED_TRACE(testing::Message() << "corruption " << corruption);
        std::wstring input = makeSample(L"broken.cfb");
        std::string bytes = readFileBytes(input);
        ASSERT_TRUE(corruptCompoundFile(bytes, corruption));
        ASSERT_TRUE(writeFileBytes(input, bytes));
        RunResult result = run({input, pathOf(L"out.cfb")});
        EXPECT_EQ(0xFFFFFFF7, result.exitCode);
        EXPECT_EQ("", result.output);
        EXPECT_EQ(0u, result.error.find("malformed compound file: ")) << result.error;
        EXPECT_TRUE(result.error.size() > refusal.size() &&
                    result.error.compare(result.error.size() - refusal.size(), refusal.size(), refusal) == 0)
            << result.error;
        EXPECT_TRUE(bytes == readFileBytes(input));
        EXPECT_FALSE(fileExists(pathOf(L"out.cfb")));
    }
}

} // namespace
