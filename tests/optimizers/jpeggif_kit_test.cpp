// The JPEG and GIF pipelines with the real tools kit (dist/tools): real
// mozjpegtran, ExifTool and Gifsicle on generated samples. The GIF results are
// left in VELL_JPEGGIF_KIT_RESULTS for compare_gif_frames.py, which checks
// every frame as shown.
#include "optimizers/gif.h"
#include "optimizers/jpeg.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <wincodec.h>
#include <stdio.h>
#include <string>
#include <vector>

namespace {

std::wstring windowsPath(const char* linuxPath, bool folder)
{
    std::wstring path = wineHostPath(linuxPath);
    if (folder && path.back() != L'\\')
        path += L'\\';
    return path;
}

const std::wstring kitDir = windowsPath(VELL_JPEGGIF_KIT_DIR, true);
const std::wstring samplesDir = windowsPath(VELL_JPEGGIF_KIT_SAMPLES, true);
const std::wstring resultsDir = windowsPath(VELL_JPEGGIF_KIT_RESULTS, true);

struct Pixels {
    UINT width = 0;
    UINT height = 0;
    std::vector<BYTE> bgra;
};

// The first frame as 32-bit BGRA, through the system's imaging component.
bool decode(const std::wstring& path, Pixels* pixels)
{
    IWICImagingFactory* factory = nullptr;
    IWICBitmapDecoder* decoder = nullptr;
    IWICBitmapFrameDecode* frame = nullptr;
    IWICBitmapSource* converted = nullptr;
    bool done = false;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory))))
        goto cleanup;
    if (FAILED(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                  WICDecodeMetadataCacheOnDemand, &decoder)) ||
        FAILED(decoder->GetFrame(0, &frame)) ||
        FAILED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, &converted)) ||
        FAILED(converted->GetSize(&pixels->width, &pixels->height)))
        goto cleanup;
    pixels->bgra.assign(static_cast<size_t>(pixels->width) * pixels->height * 4, 0);
    done = SUCCEEDED(converted->CopyPixels(nullptr, pixels->width * 4, static_cast<UINT>(pixels->bgra.size()),
                                           pixels->bgra.data()));
cleanup:
    if (converted)
        converted->Release();
    if (frame)
        frame->Release();
    if (decoder)
        decoder->Release();
    if (factory)
        factory->Release();
    return done;
}

// Volume serial and file index: a replaced file gets a new identity.
uint64_t fileIdentity(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    uint64_t identity = 0;
    if (GetFileInformationByHandle(file, &info))
        identity = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    CloseHandle(file);
    return identity;
}

class KitPipelines : public testing::Test {
protected:
    static void SetUpTestSuite() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    static void TearDownTestSuite() { CoUninitialize(); }

    void SetUp() override
    {
        if (!pathExists(kitDir + L"Perl\\perl.exe") || !pathExists(kitDir + L"ExifTool\\exiftool"))
            GTEST_SKIP() << "the tools kit is not built in " << narrow(kitDir) << " (target toolkit_dist)";
        ASSERT_TRUE(pathExists(samplesDir + L"stamp")) << "samples missing in " << narrow(samplesDir);
        previousTools = toolsDirectory;
        setToolsDirectory(kitDir.c_str());
        folder = makeTestFolder(L"jpeggif-kit");
        scratch = folder + L"\\zarn4B495400";
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override
    {
        destroyTestJob(job);
        if (!previousTools.empty())
            setToolsDirectory(previousTools.c_str());
        if (!folder.empty())
            removeTestFolder(folder);
    }

    std::wstring place(const wchar_t* sample, const wchar_t* name)
    {
        std::wstring path = folder + L"\\" + name;
        EXPECT_TRUE(CopyFileW((samplesDir + sample).c_str(), path.c_str(), TRUE));
        return path;
    }
    bool jpeg(const std::wstring& path, bool optimize, uint8_t mode, uint8_t strategy)
    {
        return optimizeJpeg(path.c_str(), scratch.c_str(), optimize, mode, strategy, false, &job->sink);
    }
    std::string orientation(const std::wstring& path)
    {
        char value[EXIF_TAG_ROOM];
        if (!readExifTag(path.c_str(), L"-orientation -n", folder.c_str(), false, nullptr, value))
            return std::string();
        return value;
    }
    std::string thumbnail(const std::wstring& path)
    {
        std::wstring out = folder + L"\\extracted.jpg";
        HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return std::string();
        uint32_t code = runExifTool(L"-binary -ThumbnailImage", path.c_str(), folder.c_str(), file, false, nullptr);
        CloseHandle(file);
        std::string bytes = code == 0 ? readBytes(out) : std::string("failed");
        DeleteFileW(out.c_str());
        return bytes;
    }
    std::string log() const { return logFileBytes(job); }
    // A new scratch folder with a new job log, as each job gets. Folders are not
    // reused: under Wine a finished tool may hold its working folder a moment longer.
    void freshScratch()
    {
        destroyTestJob(job);
        job = nullptr;
        wchar_t name[32];
        swprintf(name, 32, L"\\zarn%08X", ++scratchCount);
        scratch = folder + name;
        if (CreateDirectoryW(scratch.c_str(), nullptr))
            job = createTestJob(scratch);
    }

    std::wstring previousTools;
    std::wstring folder;
    std::wstring scratch;
    Job* job = nullptr;
    unsigned scratchCount = 0;
};

TEST_F(KitPipelines, OrientedJpegIsTurnedLosslesslyAndKeepsItsThumbnail)
{
    std::wstring path = place(L"upright-6.jpg", L"holiday photo.jpg");
    ASSERT_EQ(orientation(path), "6"); // the reading works, so its absence below means something
    ASSERT_EQ(thumbnail(path).compare(0, 2, "\xFF\xD8"), 0);
    EXPECT_TRUE(jpeg(path, true, 1, 0)) << log();

    Pixels result;
    Pixels reference;
    ASSERT_TRUE(decode(path, &result));
    ASSERT_TRUE(decode(samplesDir + L"upright-6.ref.jpg", &reference));
    EXPECT_EQ(result.width, 48u);
    EXPECT_EQ(result.height, 64u);
    EXPECT_TRUE(result.bgra == reference.bgra) << "pixels differ from a lossless turn";
    EXPECT_EQ(orientation(path), "");

    std::string embedded = thumbnail(path);
    EXPECT_EQ(embedded.compare(0, 2, "\xFF\xD8"), 0) << "thumbnail lost";
    std::string text = log();
    EXPECT_NE(text.find("-rotate 90 -perfect "), std::string::npos);
    EXPECT_NE(text.find("no thumbnail embedded\n"), std::string::npos) << "nested run missing";
    EXPECT_NE(text.find("-ThumbnailImage<="), std::string::npos);
    EXPECT_FALSE(pathExists(scratch + L"\\x.jpg"));
}

TEST_F(KitPipelines, StrippingStrategiesDropTheThumbnailBeforeItsStep)
{
    for (uint8_t strategy = 1; strategy <= 3; ++strategy) {
        SCOPED_TRACE(testing::Message() << "strategy " << int(strategy));
        freshScratch();
        ASSERT_NE(job, nullptr);
        std::wstring path = folder + L"\\photo.jpg";
        DeleteFileW(path.c_str());
        place(L"upright-6.jpg", L"photo.jpg");
        EXPECT_TRUE(jpeg(path, true, 1, strategy)) << log();
        EXPECT_NE(log().find("no thumbnail embedded\n"), std::string::npos);
        EXPECT_FALSE(pathExists(scratch + L"\\thumbnail"));
        EXPECT_EQ(thumbnail(path), "");
        EXPECT_EQ(orientation(path), "");
        Pixels result;
        ASSERT_TRUE(decode(path, &result));
        EXPECT_EQ(result.width, 48u);
    }
}

TEST_F(KitPipelines, ImpossibleLosslessTurnLeavesTheImageUnturned)
{
    std::wstring path = place(L"odd-6.jpg", L"odd.jpg");
    EXPECT_TRUE(jpeg(path, true, 1, 0)) << log();
    Pixels result;
    ASSERT_TRUE(decode(path, &result));
    EXPECT_EQ(result.width, 61u);
    EXPECT_EQ(result.height, 45u);
    EXPECT_EQ(orientation(path), "6");
}

TEST_F(KitPipelines, TrimmingTurnLosesTheEdges)
{
    std::wstring path = place(L"odd-6.jpg", L"odd.jpg");
    EXPECT_TRUE(jpeg(path, true, 2, 0)) << log();
    Pixels result;
    ASSERT_TRUE(decode(path, &result));
    EXPECT_LE(result.width, 45u);
    EXPECT_GT(result.height, result.width);
    EXPECT_EQ(orientation(path), "");
}

TEST_F(KitPipelines, JpegThatCannotShrinkStaysAsItWas)
{
    std::wstring path = place(L"tight.jpg", L"tight one.jpg");
    std::string before = readBytes(path);
    uint64_t identity = fileIdentity(path);
    ASSERT_NE(identity, 0u);
    EXPECT_TRUE(jpeg(path, true, 0, 0)) << log();
    EXPECT_EQ(readBytes(path), before);
    EXPECT_EQ(fileIdentity(path), identity) << "the file was rewritten";
}

TEST_F(KitPipelines, GifsKeepTheirFramesAndNeverGrow)
{
    CreateDirectoryW(resultsDir.c_str(), nullptr);
    const wchar_t* names[] = {L"one.gif", L"anim.gif", L"clear.gif"};
    for (const wchar_t* name : names) {
        SCOPED_TRACE(narrow(name));
        DeleteFileW((resultsDir + name).c_str());
        freshScratch();
        ASSERT_NE(job, nullptr);
        std::wstring path = place(name, name);
        std::string before = readBytes(path);
        EXPECT_TRUE(optimizeGif(path.c_str(), scratch.c_str(), false, &job->sink)) << log();
        std::string after = readBytes(path);
        EXPECT_EQ(after.compare(0, 4, "GIF8"), 0);
        EXPECT_LE(after.size(), before.size());
        EXPECT_FALSE(pathExists(scratch + L"\\a.gif"));
        EXPECT_FALSE(pathExists(scratch + L"\\b.gif"));
        Pixels first;
        EXPECT_TRUE(decode(path, &first));
        EXPECT_TRUE(CopyFileW(path.c_str(), (resultsDir + name).c_str(), FALSE));
    }
}

}  // namespace
