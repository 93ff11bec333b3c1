// The tools kit, driven from a Windows program exactly as the optimizer
// drives its tools: "<tools>\Name.exe" ARGS, hidden, standard output into a
// pipe or a file handle, standard error into the pipe, explicit inheritance.
// The release tests build this file once more against the real Windows tools
// of the release and run the cases those tools have to pass.
#include "kit_args.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincodec.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::wstring windowsFromLinux(const char* linuxPath)
{
    std::wstring w = wineHostPath(linuxPath);
    if (w.back() != L'\\')
        w += L'\\';
    return w;
}

const std::wstring& toolsDir()
{
    static const std::wstring dir = windowsFromLinux(VELL_KIT_TOOLS_DIR);
    return dir;
}

const std::wstring& samplesDir()
{
    static const std::wstring dir = windowsFromLinux(VELL_KIT_SAMPLES_DIR);
    return dir;
}

struct ToolResult {
    DWORD exitCode = 0xBAD1BAD1;
    std::string log; // everything that came through the pipe
};

// Starts a tool as the optimizer's runner does and waits for it.
ToolResult runTool(const std::wstring& tool, const std::wstring& args, const std::wstring& workDir,
                   HANDLE standardInput = nullptr, HANDLE standardOutput = nullptr,
                   const std::wstring& toolFolder = std::wstring())
{
    ToolResult result;
    std::wstring app = (toolFolder.empty() ? toolsDir() : toolFolder) + tool;
    std::wstring commandLine = L"\"" + app + L"\" " + args;

    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &sa, 0))
        return result;
    std::vector<HANDLE> inherit = {writeEnd};
    if (standardInput)
        inherit.push_back(standardInput);
    if (standardOutput)
        inherit.push_back(standardOutput);
    for (HANDLE h : inherit)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attrStore(size);
    auto attrs = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attrStore.data());
    PROCESS_INFORMATION pi = {};
    bool started = false;
    if (InitializeProcThreadAttributeList(attrs, 1, 0, &size)) {
        if (UpdateProcThreadAttribute(attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit.data(),
                                      inherit.size() * sizeof(HANDLE), nullptr, nullptr)) {
            STARTUPINFOEXW si = {};
            si.StartupInfo.cb = sizeof si;
            si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
            si.StartupInfo.hStdInput = standardInput;
            si.StartupInfo.hStdOutput = standardOutput ? standardOutput : writeEnd;
            si.StartupInfo.hStdError = writeEnd;
            si.lpAttributeList = attrs;
            std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
            line.push_back(0);
            started = CreateProcessW(app.c_str(), line.data(), nullptr, nullptr, TRUE,
                                     CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, workDir.c_str(),
                                     &si.StartupInfo, &pi) != 0;
        }
        DeleteProcThreadAttributeList(attrs);
    }
    CloseHandle(writeEnd);
    if (started) {
        CloseHandle(pi.hThread);
        char buffer[2048];
        DWORD got = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0)
            result.log.append(buffer, got);
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &result.exitCode);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(readEnd);
    return result;
}

Bytes readFile(const std::wstring& path)
{
    Bytes bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    CloseHandle(h);
    return bytes;
}

bool fileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string asText(const Bytes& b)
{
    return std::string(b.begin(), b.end());
}

// A file created for reading and writing, as the optimizer creates its
// capture files ("sha256.txt", "jpegtag.txt" ...).
HANDLE createCapture(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void deleteTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring full = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                deleteTree(full);
            else
                DeleteFileW(full.c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

// Every test works in a fresh folder of its own under the Windows temp folder.
class Kit : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH, base);
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        work = std::wstring(base) + L"vkit-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               vkit::fromUtf8(info->name());
        deleteTree(work);
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    }
    void TearDown() override { deleteTree(work); }

    std::wstring sample(const wchar_t* name)
    {
        std::wstring target = work + L"\\" + name;
        EXPECT_TRUE(CopyFileW((samplesDir() + name).c_str(), target.c_str(), FALSE)) << vkit::toUtf8(name);
        return target;
    }
    std::wstring path(const wchar_t* name) { return work + L"\\" + name; }

    // Runs a tool with its standard output caught in a file; returns the file.
    Bytes captured(const std::wstring& tool, const std::wstring& args, DWORD* exitCode, std::string* log = nullptr)
    {
        std::wstring capture = path(L"capture.txt");
        HANDLE h = createCapture(capture);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        ToolResult r = runTool(tool, args, work, nullptr, h);
        CloseHandle(h);
        *exitCode = r.exitCode;
        if (log)
            *log = r.log;
        Bytes out = readFile(capture);
        DeleteFileW(capture.c_str());
        return out;
    }

    std::wstring work;
};

// ---- pure rules -----------------------------------------------------------

TEST(KitArgs, SplitsLikeTheCRuntime)
{
    auto a = vkit::splitCommandLine(
        L"\"C:\\t\\7z.exe\" x \"Z:\\a b\\c.zip\" -y -o\"Z:\\out dir\" [Content_Types].xml mimetype");
    ASSERT_EQ(a.size(), 7u);
    EXPECT_EQ(a[0], L"C:\\t\\7z.exe");
    EXPECT_EQ(a[2], L"Z:\\a b\\c.zip");
    EXPECT_EQ(a[4], L"-oZ:\\out dir");
    EXPECT_EQ(a[5], L"[Content_Types].xml");

    auto b = vkit::splitCommandLine(L"p \"-ThumbnailImage<=Z:\\s\\thumbnail.jpg\" a\\\\\"b c\" d\\\"e \"f\"\"g\"");
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(b[1], L"-ThumbnailImage<=Z:\\s\\thumbnail.jpg");
    EXPECT_EQ(b[2], L"a\\b c");
    EXPECT_EQ(b[3], L"d\"e");
    EXPECT_EQ(b[4], L"f\"g");

    auto c = vkit::splitCommandLine(L"\"C:\\t\\OptiPNG.exe\" ");
    EXPECT_EQ(c.size(), 1u);
}

TEST(KitArgs, FindsWindowsPathsInsideOptions)
{
    EXPECT_EQ(vkit::findWindowsPath(L"Z:\\x\\y.png"), 0u);
    EXPECT_EQ(vkit::findWindowsPath(L"\\\\?\\Z:\\x"), 0u);
    EXPECT_EQ(vkit::findWindowsPath(L"-oZ:\\out"), 2u);
    EXPECT_EQ(vkit::findWindowsPath(L"-ThumbnailImage<=C:\\t.jpg"), 17u);
    EXPECT_EQ(vkit::findWindowsPath(L"-Adobe:ColorTransform"), std::wstring::npos);
    EXPECT_EQ(vkit::findWindowsPath(L"-ifd1:all="), std::wstring::npos);
    EXPECT_EQ(vkit::findWindowsPath(L"/bk"), std::wstring::npos);
    EXPECT_EQ(vkit::findWindowsPath(L"mimetype"), std::wstring::npos);
    EXPECT_EQ(vkit::findWindowsPath(L"*"), std::wstring::npos);
}

// Only "Z:\w" and "Z:\w\tree" exist in this fake world; like Wine, it
// translates a path whose folder exists even when the last name does not.
bool fakeTranslate(const std::wstring& windowsPath, std::string& linuxPath)
{
    std::wstring p = windowsPath;
    while (!p.empty() && p.back() == L'\\')
        p.pop_back();
    auto known = [](const std::wstring& f) { return f == L"Z:" || f == L"Z:\\w" || f == L"Z:\\w\\tree"; };
    std::size_t cut = p.find_last_of(L'\\');
    if (!known(p) && (cut == std::wstring::npos || !known(p.substr(0, cut))))
        return false;
    linuxPath = "/" + vkit::toUtf8(p.size() > 3 ? p.substr(3) : std::wstring());
    for (char& ch : linuxPath)
        if (ch == '\\')
            ch = '/';
    return true;
}

TEST(KitArgs, TranslatesArgumentsWithWildcardsAndMissingFolders)
{
    EXPECT_EQ(vkit::linuxArgument(L"Z:\\w\\tree\\*", fakeTranslate), "/w/tree/*");
    EXPECT_EQ(vkit::linuxArgument(L"-oZ:\\w\\out", fakeTranslate), "-o/w/out");
    EXPECT_EQ(vkit::linuxArgument(L"-ThumbnailImage<=Z:\\w\\t.jpg", fakeTranslate), "-ThumbnailImage<=/w/t.jpg");
    EXPECT_EQ(vkit::linuxArgument(L"Z:\\w\\x\\new\\f.txt", fakeTranslate), "/w/x/new/f.txt");
    EXPECT_EQ(vkit::linuxArgument(L"-scrcSHA256", fakeTranslate), "-scrcSHA256");
    EXPECT_EQ(vkit::linuxArgument(L"caf\u00e9", fakeTranslate), "caf\xc3\xa9");
}

TEST(KitArgs, DeflOptReportCarriesTheCountWhereTheOptimizerLooks)
{
    std::string r = vkit::deflOptReport({L"Z:\\w\\x.png"}, 1);
    ASSERT_GE(r.size(), 150u);
    std::string window = r.substr(r.size() - 150);
    const std::string marker = "Number of files rewritten  :        ";
    ASSERT_EQ(marker.size(), 36u);
    std::size_t at = window.find(marker);
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(at, 112u);
    EXPECT_EQ(window[at + 36], '0');
    EXPECT_EQ(r.substr(r.size() - 2), "\r\n");
}

TEST(KitArgs, KeepsChunksThatZopfliWouldDrop)
{
    std::vector<std::string> types = {"IHDR", "gAMA", "tEXt", "PLTE", "tRNS", "IDAT", "IEND"};
    EXPECT_EQ(vkit::pngKeepChunks(types, false), "gAMA,tEXt");
    EXPECT_EQ(vkit::pngKeepChunks(types, true), "gAMA");
    EXPECT_EQ(vkit::mp3PackerOutputName(L"Z:\\s\\x.mp3"), L"Z:\\s\\x-vbr.mp3");
    EXPECT_EQ(vkit::toolKindForName(L"ect_X64.EXE"), vkit::ToolKind::Ect);
    EXPECT_EQ(vkit::toolKindForName(L"VellCFBF.exe"), vkit::ToolKind::Unknown);
}

// ---- helpers for images ----------------------------------------------------

struct Pixels {
    UINT width = 0, height = 0;
    std::vector<std::uint8_t> bgra;
};

// Decodes an image through the Windows imaging component into 8-bit BGRA
// without premultiplication, so transparent pixels keep their colours.
bool decode(const std::wstring& file, Pixels& out)
{
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory))))
        return false;
    bool ok = false;
    IWICBitmapDecoder* decoder = nullptr;
    if (SUCCEEDED(factory->CreateDecoderFromFilename(file.c_str(), nullptr, GENERIC_READ,
                                                     WICDecodeMetadataCacheOnDemand, &decoder))) {
        IWICBitmapFrameDecode* frame = nullptr;
        if (SUCCEEDED(decoder->GetFrame(0, &frame))) {
            IWICBitmapSource* converted = nullptr;
            if (SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, &converted))) {
                converted->GetSize(&out.width, &out.height);
                out.bgra.resize(std::size_t(out.width) * out.height * 4);
                ok = SUCCEEDED(converted->CopyPixels(nullptr, out.width * 4, UINT(out.bgra.size()), out.bgra.data()));
                converted->Release();
            }
            frame->Release();
        }
        decoder->Release();
    }
    factory->Release();
    return ok;
}

class ComScope {
public:
    ComScope() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { CoUninitialize(); }
};

std::vector<std::string> chunkTypes(const std::wstring& file)
{
    Bytes b = readFile(file);
    return vkit::pngChunkTypes(b.data(), b.size());
}

bool hasChunk(const std::wstring& file, const char* type)
{
    for (const std::string& t : chunkTypes(file))
        if (t == type)
            return true;
    return false;
}

// Width and height from a JPEG's start-of-frame marker.
bool jpegSize(const Bytes& b, unsigned& width, unsigned& height)
{
    std::size_t at = 2;
    while (at + 9 < b.size()) {
        if (b[at] != 0xFF)
            return false;
        std::uint8_t marker = b[at + 1];
        unsigned length = (unsigned(b[at + 2]) << 8) | b[at + 3];
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            height = (unsigned(b[at + 5]) << 8) | b[at + 6];
            width = (unsigned(b[at + 7]) << 8) | b[at + 8];
            return true;
        }
        at += 2 + length;
    }
    return false;
}

// The optimizer's digest rule: the marker within the last 400 bytes.
std::string digestOf(const Bytes& listing)
{
    const std::string marker = "SHA256 for data:              ";
    if (listing.size() < 400)
        return std::string();
    std::string tail(listing.end() - 400, listing.end());
    for (std::size_t i = 0; i <= 304; ++i)
        if (tail.compare(i, marker.size(), marker) == 0)
            return tail.substr(i + marker.size(), 64);
    return std::string();
}

bool isHex64(const std::string& s)
{
    if (s.size() != 64)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// ---- the tools, as the optimizer runs them ---------------------------------

TEST_F(Kit, UnknownToolNameFailsWithAMessage)
{
    std::wstring folder = work + L"\\";
    ASSERT_TRUE(CopyFileW((toolsDir() + L"OptiPNG.exe").c_str(), (folder + L"Nope.exe").c_str(), FALSE));
    ToolResult r = runTool(L"Nope.exe", L"\"x\"", work, nullptr, nullptr, folder);
    EXPECT_EQ(r.exitCode, 9009u);
    EXPECT_NE(r.log.find("Nope.exe"), std::string::npos) << r.log;
}

TEST_F(Kit, SevenZipExitCodePassesThrough)
{
    ToolResult r = runTool(L"7z.exe", L"t \"" + path(L"missing.zip") + L"\"", work);
    EXPECT_NE(r.exitCode, 0u);
    EXPECT_NE(r.exitCode, 0xBAD1BAD1u);
    EXPECT_FALSE(r.log.empty()); // its complaint arrives through the pipe
}

TEST_F(Kit, GifsicleInfoTellsSingleFromAnimated)
{
    std::wstring one = sample(L"one.gif"), anim = sample(L"anim.gif");
    DWORD code = 1;
    std::string first = asText(captured(L"Gifsicle.exe", L"--info \"" + one + L"\"", &code));
    EXPECT_EQ(code, 0u);
    first = first.substr(0, first.find('\n'));
    if (!first.empty() && first.back() == '\r')
        first.pop_back();
    ASSERT_GE(first.size(), 8u) << first;
    EXPECT_EQ(first.substr(first.size() - 8), " 1 image");

    std::string other = asText(captured(L"Gifsicle.exe", L"--info \"" + anim + L"\"", &code));
    EXPECT_EQ(code, 0u);
    other = other.substr(0, other.find('\n'));
    EXPECT_NE(other.substr(other.size() - 8), " 1 image") << other;

    // The GIF pass: optimize A into B.
    ToolResult r = runTool(L"Gifsicle.exe",
                           L"--optimize=3 --no-comments --no-extensions -o \"" + path(L"b.gif") + L"\" \"" + anim +
                               L"\"",
                           work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_GT(readFile(path(L"b.gif")).size(), 0u);
}

TEST_F(Kit, PathsWithBlanksAndNonAsciiNamesReachTheTool)
{
    std::wstring folder = path(L"a b \u00e9t\u00e9");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring gif = folder + L"\\caf\u00e9 \u2603.gif";
    ASSERT_TRUE(CopyFileW((samplesDir() + L"one.gif").c_str(), gif.c_str(), FALSE));
    DWORD code = 1;
    std::string info = asText(captured(L"Gifsicle.exe", L"--info \"" + gif + L"\"", &code));
    EXPECT_EQ(code, 0u) << info;
    EXPECT_NE(info.find("caf\xc3\xa9 \xe2\x98\x83.gif 1 image"), std::string::npos) << info;

    std::wstring png = folder + L"\\caf\u00e9 \u2603.png";
    ASSERT_TRUE(CopyFileW((samplesDir() + L"rgba.png").c_str(), png.c_str(), FALSE));
    ToolResult optimized = runTool(L"OptiPNG.exe", L"-force -o1 -out \"" + png + L"\" \"" + png + L"\"", work);
    EXPECT_EQ(optimized.exitCode, 0u) << optimized.log;
    EXPECT_LT(readFile(png).size(), readFile(samplesDir() + L"rgba.png").size());

    // An output below a folder that does not exist yet (7-Zip creates it).
    std::wstring zip = sample(L"doc.zip");
    ToolResult r = runTool(L"7z.exe", L"x \"" + zip + L"\" -y -o\"" + folder + L"\\new\\deeper\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_TRUE(fileExists(folder + L"\\new\\deeper\\mimetype"));
}

TEST_F(Kit, SevenZipDigestsOfFolderAndItsZipAgree)
{
    std::wstring tree = path(L"tree");
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(CopyFileW((samplesDir() + L"tree\\a.txt").c_str(), (tree + L"\\a.txt").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((samplesDir() + L"tree\\sub\\b.bin").c_str(), (tree + L"\\sub\\b.bin").c_str(), FALSE));

    DWORD code = 1;
    std::string folderDigest =
        digestOf(captured(L"7z.exe", L"h -r -scrcSHA256 \"" + tree + L"\\*\"", &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(isHex64(folderDigest)) << folderDigest;

    std::wstring zip = path(L"x.zip");
    ToolResult made = runTool(L"7z.exe",
                              L"a -mm=Deflate -mfb=258 -mpass=16 -mmt=off  \"" + zip + L"\" \"" + tree + L"\\*\"", work);
    ASSERT_EQ(made.exitCode, 0u) << made.log;

    std::string zipDigest = digestOf(captured(L"7z.exe", L"t -r -scrcSHA256 \"" + zip + L"\" *", &code));
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(isHex64(zipDigest)) << zipDigest;
    EXPECT_EQ(folderDigest, zipDigest);

    // The archive holds the content relative to the folder, not its path. 7-Zip
    // lists names with the separator of the system it runs on.
    std::string listing = asText(captured(L"7z.exe", L"l \"" + zip + L"\"", &code));
    EXPECT_TRUE(listing.find("sub/b.bin") != std::string::npos || listing.find("sub\\b.bin") != std::string::npos)
        << listing;
    EXPECT_EQ(listing.find("tree/a.txt"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("tree\\a.txt"), std::string::npos) << listing;
}

TEST_F(Kit, SevenZipExtractsOnlyTheMarkerEntries)
{
    std::wstring zip = sample(L"doc.zip");
    std::wstring folder = path(L"probe");
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ToolResult r = runTool(
        L"7z.exe", L"x \"" + zip + L"\" -y -o\"" + folder + L"\" " + L"[Content_Types].xml mimetype", folder);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_TRUE(fileExists(folder + L"\\[Content_Types].xml"));
    EXPECT_TRUE(fileExists(folder + L"\\mimetype"));
    EXPECT_FALSE(fileExists(folder + L"\\word"));

    std::wstring all = path(L"all");
    r = runTool(L"7z.exe", L"x \"" + zip + L"\" -y -o\"" + all + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_TRUE(fileExists(all + L"\\word\\body.xml"));
}

std::wstring exifArgs(const std::wstring& options, const std::wstring& file)
{
    return L"\"" + toolsDir() + L"ExifTool\\exiftool\" " + options + L" \"" + file + L"\"";
}

TEST_F(Kit, ExifToolTagValueStandsAtByte34)
{
    std::wstring jpg = sample(L"photo.jpg");
    DWORD code = 1;
    Bytes out = captured(L"Perl\\perl.exe", exifArgs(L"-orientation -n", jpg), &code);
    EXPECT_EQ(code, 0u);
    ASSERT_GT(out.size(), 34u) << asText(out);
    EXPECT_EQ(asText(out).substr(34), "6\r\n");

    // Clearing the tag, as after a turn.
    ToolResult r = runTool(L"Perl\\perl.exe", exifArgs(L"-orientation=", jpg), work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    out = captured(L"Perl\\perl.exe", exifArgs(L"-orientation -n", jpg), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_LE(out.size(), 34u) << asText(out);
}

TEST_F(Kit, ExifToolThumbnailOutAndInIsBinaryExact)
{
    std::wstring jpg = sample(L"withthumb.jpg");
    Bytes thumb = readFile(samplesDir() + L"thumb.jpg");
    ASSERT_FALSE(thumb.empty());
    DWORD code = 1;
    Bytes out = captured(L"Perl\\perl.exe", exifArgs(L"-binary -ThumbnailImage", jpg), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(out, thumb);

    // Writing a thumbnail back from a Windows path inside the option.
    std::wstring other = sample(L"photo.jpg");
    std::wstring thumbFile = sample(L"thumb.jpg");
    ToolResult r = runTool(L"Perl\\perl.exe",
                           exifArgs(L"\"-ThumbnailImage<=" + thumbFile + L"\" -overwrite_original_in_place", other),
                           work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    out = captured(L"Perl\\perl.exe", exifArgs(L"-binary -ThumbnailImage", other), &code);
    EXPECT_EQ(out, thumb);

    // No thumbnail: empty output, success.
    r = runTool(L"Perl\\perl.exe", exifArgs(L"-all= -overwrite_original_in_place", other), work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    out = captured(L"Perl\\perl.exe", exifArgs(L"-binary -ThumbnailImage", other), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(out.empty());
}

TEST_F(Kit, DeflOptReportsNothingRewrittenAndLeavesTheFile)
{
    std::wstring png = sample(L"rgba.png");
    Bytes before = readFile(png);
    DWORD code = 1;
    std::string report = asText(captured(L"DeflOpt.exe", L"/bk \"" + png + L"\"", &code));
    EXPECT_EQ(code, 0u);
    ASSERT_GE(report.size(), 150u);
    std::string window = report.substr(report.size() - 150);
    std::size_t at = window.find("Number of files rewritten  :        ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LT(at, 112u);
    EXPECT_EQ(window[at + 36], '0');
    EXPECT_EQ(readFile(png), before);
}

TEST_F(Kit, DefluffCopiesStandardInputToStandardOutputByteExact)
{
    std::wstring input = sample(L"binary.bin");
    std::wstring output = path(L"binary.bin.2.png");
    HANDLE in = CreateFileW(input.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(output.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ToolResult r = runTool(L"defluff.exe", std::wstring(), work, in, out);
    CloseHandle(in);
    CloseHandle(out);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_EQ(readFile(output), readFile(input));
}

TEST_F(Kit, OptiPngRewritesInPlaceWithEqualPixels)
{
    ComScope com;
    std::wstring png = sample(L"rgba.png");
    Pixels before, after;
    ASSERT_TRUE(decode(png, before));
    ToolResult r = runTool(L"OptiPNG.exe", L"-force -o2 -out \"" + png + L"\" \"" + png + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    ASSERT_TRUE(decode(png, after));
    EXPECT_EQ(after.width, before.width);
    EXPECT_EQ(after.bgra, before.bgra);
    EXPECT_LT(readFile(png).size(), readFile(samplesDir() + L"rgba.png").size());
}

TEST_F(Kit, OptiPngConvertsAGifNamedPng)
{
    ComScope com;
    std::wstring png = path(L"x.png");
    ASSERT_TRUE(CopyFileW((samplesDir() + L"one.gif").c_str(), png.c_str(), FALSE));
    ToolResult r = runTool(L"OptiPNG.exe", L"-force -strip all -o7 -out \"" + png + L"\" \"" + png + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_FALSE(chunkTypes(png).empty());
}

TEST_F(Kit, EctPngModeKeepsPixelsAndNeverGrows)
{
    ComScope com;
    std::wstring png = sample(L"rgba.png");
    Pixels before, after;
    ASSERT_TRUE(decode(png, before));
    std::size_t size0 = readFile(png).size();

    ToolResult r = runTool(L"ECT_x64.exe", L"-30060 --allfilters-b --pal_sort=120 --strict \"" + png + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    std::size_t size1 = readFile(png).size();
    EXPECT_LT(size1, size0);
    ASSERT_TRUE(decode(png, after));
    EXPECT_EQ(after.bgra, before.bgra); // strict: even hidden colours stay
    EXPECT_TRUE(hasChunk(png, "tEXt"));

    // A second run cannot gain and must not grow the file.
    Bytes once = readFile(png);
    r = runTool(L"ECT_x64.exe", L"-30060 --allfilters-b --pal_sort=120 --strict \"" + png + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LE(readFile(png).size(), once.size());

    // Stripping, and clearing transparent pixels: visible pixels stay.
    std::wstring other = sample(L"rgba.png");
    r = runTool(L"ECT_x64.exe", L"-30060 --allfilters-b --pal_sort=120 -strip \"" + other + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_FALSE(hasChunk(other, "tEXt"));
    Pixels cleared;
    ASSERT_TRUE(decode(other, cleared));
    ASSERT_EQ(cleared.bgra.size(), before.bgra.size());
    for (std::size_t i = 0; i < before.bgra.size(); i += 4) {
        EXPECT_EQ(cleared.bgra[i + 3], before.bgra[i + 3]);
        if (before.bgra[i + 3] != 0) {
            EXPECT_EQ(std::memcmp(&cleared.bgra[i], &before.bgra[i], 3), 0) << "pixel " << i / 4;
        }
    }
    EXPECT_FALSE(fileExists(other + L".vkit.png"));
}

TEST_F(Kit, MozJpegTranTurnsInPlaceOrRefusesUntouched)
{
    std::wstring jpg = sample(L"photo.jpg");
    ToolResult r = runTool(L"mozjpegtran.exe",
                           L"-rotate 90 -perfect -copy all -outfile \"" + jpg + L"\" \"" + jpg + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    unsigned w = 0, h = 0;
    ASSERT_TRUE(jpegSize(readFile(jpg), w, h));
    EXPECT_EQ(w, 48u);
    EXPECT_EQ(h, 64u);
    EXPECT_FALSE(fileExists(jpg + L".vkit-tmp"));

    std::wstring odd = sample(L"odd.jpg");
    Bytes before = readFile(odd);
    r = runTool(L"mozjpegtran.exe", L"-rotate 90 -perfect -copy all -outfile \"" + odd + L"\" \"" + odd + L"\"",
                work);
    EXPECT_NE(r.exitCode, 0u) << r.log;
    EXPECT_EQ(readFile(odd), before);
    EXPECT_FALSE(fileExists(odd + L".vkit-tmp"));

    // The plain re-encode of the JPEG pipeline.
    r = runTool(L"mozjpegtran.exe", L"-copy all -outfile \"" + odd + L"\" \"" + odd + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    ASSERT_TRUE(jpegSize(readFile(odd), w, h));
    EXPECT_EQ(w, 70u);
}

TEST_F(Kit, EctJpegZipAndGzipModesNeverGrow)
{
    std::wstring jpg = sample(L"odd.jpg");
    std::size_t jpgBefore = readFile(jpg).size();
    ToolResult r = runTool(L"ECT_x64.exe", L"-progressive \"" + jpg + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LE(readFile(jpg).size(), jpgBefore);
    unsigned w = 0, h = 0;
    EXPECT_TRUE(jpegSize(readFile(jpg), w, h));

    std::wstring zip = sample(L"doc.zip");
    std::size_t zipBefore = readFile(zip).size();
    DWORD code = 1;
    std::string digestBefore = digestOf(captured(L"7z.exe", L"t -r -scrcSHA256 \"" + zip + L"\" *", &code));
    r = runTool(L"ECT_x64.exe", L"-60500 --disable-jpg --disable-png -zip \"" + zip + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LE(readFile(zip).size(), zipBefore);
    EXPECT_EQ(digestOf(captured(L"7z.exe", L"t -r -scrcSHA256 \"" + zip + L"\" *", &code)), digestBefore);

    std::wstring gz = sample(L"text.gz");
    std::size_t gzBefore = readFile(gz).size();
    r = runTool(L"ECT_x64.exe", L"-60500 -gzip --strict \"" + gz + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LE(readFile(gz).size(), gzBefore);
    r = runTool(L"7z.exe", L"t \"" + gz + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;

    r = runTool(L"ECT_x64.exe", L"-60500 -gzip --strict \"" + path(L"missing.gz") + L"\"", work);
    EXPECT_EQ(r.exitCode, 1u); // "cannot optimize this file", the gzip pass goes on
}

TEST_F(Kit, AdvzipRecompressesInPlaceKeepingTheData)
{
    std::wstring zip = sample(L"doc.zip");
    std::size_t before = readFile(zip).size();
    DWORD code = 1;
    std::string digestBefore = digestOf(captured(L"7z.exe", L"t -r -scrcSHA256 \"" + zip + L"\" *", &code));
    ASSERT_TRUE(isHex64(digestBefore));
    ToolResult r = runTool(L"advzip.exe", L"--recompress --shrink-insane \"" + zip + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LE(readFile(zip).size(), before);
    EXPECT_EQ(digestOf(captured(L"7z.exe", L"t -r -scrcSHA256 \"" + zip + L"\" *", &code)), digestBefore);
}

TEST_F(Kit, StandInsCopyOrLeaveFiles)
{
    std::wstring a = path(L"a.gif"), b = sample(L"anim.gif");
    ToolResult r = runTool(L"flexiGIF.exe", L"-f -p -a=1 -y \"" + b + L"\" \"" + a + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_EQ(readFile(a), readFile(b));

    std::wstring mp3 = path(L"x.mp3");
    ASSERT_TRUE(CopyFileW((samplesDir() + L"binary.bin").c_str(), mp3.c_str(), FALSE));
    r = runTool(L"mp3packer64.exe", L"-z -A --keep-ok out --keep-bad in --workers 0 -t -s \"" + mp3 + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_EQ(readFile(path(L"x-vbr.mp3")), readFile(mp3));

    std::wstring zip = sample(L"doc.zip");
    Bytes before = readFile(zip);
    r = runTool(L"Leanify.exe", L"--verbose --max_depth 1 \"" + zip + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_EQ(readFile(zip), before);
    std::wstring png = sample(L"rgba.png");
    r = runTool(L"ArchiPNG.exe", L"\"" + png + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    r = runTool(L"ArchiPNG.exe", L"\"" + path(L"none.png") + L"\"", work);
    EXPECT_NE(r.exitCode, 0u);
}

TEST_F(Kit, FlacAndMetaflacRewriteInPlace)
{
    std::wstring flac = sample(L"tone.flac");
    std::size_t before = readFile(flac).size();
    ToolResult r = runTool(L"metaflac.exe", L"--dont-use-padding --remove-all \"" + flac + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    EXPECT_LT(readFile(flac).size(), before); // the padding and the comment are gone
    r = runTool(L"flac.exe",
                L"--best -r 0,7 --exhaustive-model-search --qlp-coeff-precision-search --force \"" + flac + L"\"",
                work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
    Bytes after = readFile(flac);
    ASSERT_GE(after.size(), 4u);
    EXPECT_EQ(asText(after).substr(0, 4), "fLaC");
    r = runTool(L"flac.exe", L"-t \"" + flac + L"\"", work);
    EXPECT_EQ(r.exitCode, 0u) << r.log;
}

// A cancelled job terminates the shim; the Linux program must not live on.
TEST_F(Kit, TerminatingTheShimEndsTheLinuxProgram)
{
    typedef char*(CDECL * UnixName)(const WCHAR*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    ASSERT_NE(unixName, nullptr);
    char* dir = unixName(work.c_str());
    ASSERT_NE(dir, nullptr);
    std::string flag = std::string(dir) + "/still-running";
    std::string started = std::string(dir) + "/started";
    HeapFree(GetProcessHeap(), 0, dir);

    std::wstring app = toolsDir() + L"Perl\\perl.exe";
    std::wstring line = L"\"" + app + L"\" -e \"open(F, '>', '" + vkit::fromUtf8(started) +
                        L"'); close F; sleep 3; open(F, '>', '" + vkit::fromUtf8(flag) + L"'); close F\"";
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES; // no standard handles at all
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessW(app.c_str(), buffer.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               work.c_str(), &si, &pi));
    CloseHandle(pi.hThread);
    Sleep(1500);
    EXPECT_TRUE(fileExists(path(L"started")));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    TerminateProcess(pi.hProcess, 0xDEADDEAD);
    WaitForSingleObject(pi.hProcess, INFINITE);
    CloseHandle(pi.hProcess);
    Sleep(3000);
    EXPECT_FALSE(fileExists(path(L"still-running")));
}

} // namespace
