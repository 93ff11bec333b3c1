// Every pipeline with a tool double that writes a prepared result (made by
// make_verify_samples.py): a result with the same content replaces the file and
// says "verified: "; one that differs fails the job and leaves the file exactly
// as it was; with verification off the same difference goes through.
#include "jobs/containers.h"
#include "jobs/content.h"
#include "base/file_util.h"
#include "optimizers/archive.h"
#include "optimizers/gif.h"
#include "optimizers/jpeg.h"
#include "optimizers/media.h"
#include "optimizers/png.h"
#include "optimizers/verify.h"
#include "runner/job_log.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <wincodec.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

std::wstring samplePath(const wchar_t* name)
{
    return wineHostPath(VELL_VERIFY_SAMPLES) + L"\\" + name;
}

std::string tail(const std::string& text)
{
    return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

enum Pipeline { PNG, PNG_CLEAR, PNG_STRIP, JPEG, JPEG_STRIP_ALL, JPEG_TURN, JPEG_TRIM, GIF, FLAC, MP3, SVG, GZIP,
                GZIP_CONTENT_CHANGED, ZIP, ZIP_CONTENT_CHANGED, ZIP_CONTENT_DELETED };

struct Row {
    Pipeline pipeline;
    const wchar_t* original;
    const wchar_t* result; // what the tool writes
    const char* extra;     // further behaviour of the tool that checks (flac -t, 7-Zip's test)
    bool same;
    const char* line; // in the log when verification is on
};

const char DIFFERS[] = "ERROR: result differs from the original (";
const std::string DIGEST(64, 'D');

const Row ROWS[] = {
    {PNG, L"original.png", L"same.png", "", true, "verified: decoded pixels equal, metadata kept\n"},
    {PNG, L"original.png", L"flipped.png", "", false, "(pixel 12,7 of frame 1)\n"},
    {PNG, L"original.png", L"cleared.png", "", false, "(pixel 1,0 of frame 1)\n"},
    {PNG_CLEAR, L"original.png", L"cleared.png", "", true, "verified: decoded pixels equal, metadata kept\n"},
    {PNG, L"original.png", L"stripped.png", "", false, "(text \"Comment\" is gone)\n"},
    {PNG_STRIP, L"original.png", L"stripped.png", "", true, "verified: decoded pixels equal\n"},
    {PNG_STRIP, L"original.png", L"flipped.png", "", false, "(pixel 12,7 of frame 1)\n"},
    {JPEG, L"original.jpg", L"same.jpg", "", true, "verified: decoded pixels equal, metadata kept\n"},
    {JPEG, L"original.jpg", L"changed.jpg", "", false, "(pixel "},
    {JPEG, L"original.jpg", L"noexif.jpg", "", false, "(EXIF is gone)\n"},
    {JPEG_STRIP_ALL, L"original.jpg", L"noexif.jpg", "", true, "verified: decoded pixels equal\n"},
    {JPEG_TURN, L"turn-6.jpg", L"turned.jpg", "", true,
     "verified: decoded pixels equal to the original turned by 90 degrees\n"},
    {JPEG_TURN, L"turn-6.jpg", L"turned-wrong.jpg", "", false, "(pixel "},
    {JPEG_TRIM, L"odd-6.jpg", L"odd-trimmed.jpg", "", true,
     "verified: decoded pixels equal to the original turned by 90 degrees\n"},
    {GIF, L"original.gif", L"same.gif", "", true, "verified: frames, delays and loop count equal\n"},
    {GIF, L"original.gif", L"flipped.gif", "", false, "(pixel 20,2 of frame 2)\n"},
    {GIF, L"original.gif", L"dropped.gif", "", false, "(2 frames instead of 3)\n"},
    {GIF, L"original.gif", L"delay.gif", "", false, "(delay of frame 2)\n"},
    {GIF, L"original.gif", L"loop.gif", "", false, "(loop count)\n"},
    {FLAC, L"original.flac", L"same.flac", "", true, "verified: decoded audio equal (MD5 signature)\n"},
    {FLAC, L"original.flac", L"changed.flac", "", false, "(MD5 signature of the audio)\n"},
    {FLAC, L"original.flac", L"same.flac", "call 2: exit 1\n", false,
     "(the result does not decode to its MD5 signature)\n"},
    {MP3, L"original.mp3", L"same.mp3", "", true,
     "not verified: MP3 audio is not decoded here; the result parses with as many frames\n"},
    {MP3, L"original.mp3", L"short.mp3", "", false, "(19 audio frames instead of 20)\n"},
    {MP3, L"original.mp3", L"broken.mp3", "", false, "(the result does not parse as MPEG audio)\n"},
    {SVG, L"original.svg", L"same.svg", "", true,
     "not verified: minified text is not compared; the result parses as XML\n"},
    {SVG, L"original.svg", L"broken.svg", "", false, "(the result does not parse as XML)\n"},
    {GZIP, L"original.gz", L"same.gz", "call 3: cat same.listing\n", true, "verified: decompressed data equal\n"},
    {GZIP, L"original.gz", L"truncated.gz", "call 3: exit 2\n", false, "(the result does not decompress)\n"},
    {GZIP, L"original.gz", L"other.gz", "call 3: cat other.listing\ncall 4: cat same.listing\n", false,
     "(decompressed data)\n"},
    {GZIP_CONTENT_CHANGED, L"original.gz", L"other.gz", "call 2: cat other.listing\n", true,
     "verified: decompressed data equal to the optimized content\n"},
    {ZIP, L"original.zip", L"same.zip", "", true, "verified: 2 entries unchanged, 0 changed by their own jobs\n"},
    {ZIP, L"original.zip", L"changed.zip", "", false, "(entry docs\\b.txt)\n"},
    {ZIP, L"original.zip", L"dropped.zip", "", false, "(entry docs\\b.txt is gone)\n"},
    {ZIP, L"original.zip", L"added.zip", "", false, "(entry c.txt was added)\n"},
    {ZIP_CONTENT_CHANGED, L"original.zip", L"changed.zip", "", true,
     "verified: 1 entries unchanged, 1 changed by their own jobs\n"},
    {ZIP_CONTENT_DELETED, L"original.zip", L"dropped.zip", "", true,
     "verified: 1 entries unchanged, 1 changed by their own jobs\n"},
};

const wchar_t* extensionOf(Pipeline pipeline)
{
    switch (pipeline) {
    case PNG: case PNG_CLEAR: case PNG_STRIP: return L"png";
    case JPEG: case JPEG_STRIP_ALL: case JPEG_TURN: case JPEG_TRIM: return L"jpg";
    case GIF: return L"gif";
    case FLAC: return L"flac";
    case MP3: return L"mp3";
    case SVG: return L"svg";
    case GZIP: case GZIP_CONTENT_CHANGED: return L"gz";
    default: return L"zip";
    }
}

class VerifyResults : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool listReady = false;
        if (!listReady)
            initJobList(&jobList);
        listReady = true;
    }

    void SetUp() override
    {
        ASSERT_TRUE(tools.ready());
        ASSERT_TRUE(pathExists(samplePath(L"stamp"))) << "samples missing in " << VELL_VERIFY_SAMPLES;
        setDefaultSettings(&settings);
        settings.general_backgroundPriority = 0;
    }

    void TearDown() override
    {
        settings.general_verifyResults = 1;
        discardAllJobs();
    }

    // The row's further behaviour, with "cat NAME" reading NAME from the samples.
    std::string extraBehavior(const Row& row)
    {
        std::string extra = row.extra;
        for (size_t at = 0; (at = extra.find("cat ", at)) != std::string::npos;) {
            size_t end = extra.find('\n', at);
            std::string name = extra.substr(at + 4, end - at - 4);
            std::string quoted = "\"" + narrow(samplePath(widen(name).c_str())) + "\"";
            extra.replace(at + 4, name.size(), quoted);
            at += 4 + quoted.size();
        }
        return extra;
    }

    // Installs the tools of the row's pipeline, the one that writes the result first.
    void installTools(const Row& row, const std::wstring& scratch)
    {
        std::string result = narrow(samplePath(row.result));
        std::string copy = "copy \"" + result + "\" ";
        std::string extra = extraBehavior(row);
        for (const char* tool : {TOOL_ECT, TOOL_DEFLUFF, TOOL_DEFLOPT, TOOL_PERL, TOOL_MOZJPEGTRAN, TOOL_GIFSICLE,
                                 TOOL_FLEXIGIF, TOOL_FLAC, TOOL_MP3PACKER, TOOL_7Z, TOOL_LEANIFY, TOOL_ADVZIP}) {
            tools.install(tool);
            tools.clearCalls(tool);
        }
        tools.setBehavior(TOOL_DEFLUFF, "stdin-to-stdout\n");
        tools.setBehavior(TOOL_DEFLOPT, "deflopt-report 0\n");
        switch (row.pipeline) {
        case PNG: case PNG_CLEAR: case PNG_STRIP: case JPEG: case JPEG_STRIP_ALL:
            tools.setBehavior(TOOL_ECT, copy + "@last\n");
            break;
        case JPEG_TURN: case JPEG_TRIM:
            tools.setBehavior(TOOL_PERL, "call 1: exiftool-tag Orientation 6\n");
            tools.setBehavior(TOOL_MOZJPEGTRAN, "call 1: " + copy + "@last\n");
            break;
        case GIF:
            tools.setBehavior(TOOL_GIFSICLE, copy + "@5\n");
            break;
        case FLAC:
            tools.setBehavior(TOOL_FLAC, "call 1: " + copy + "@last\n" + extra);
            break;
        case SVG:
            tools.setBehavior(TOOL_LEANIFY, copy + "@last\n");
            break;
        case MP3:
            tools.setBehavior(TOOL_MP3PACKER, copy + "\"" + narrow(scratch) + "\\x-vbr.mp3\"\n");
            break;
        case GZIP: // after the extraction: the build, then the tests
            tools.setBehavior(TOOL_7Z, "call 2: " + copy + "@6\n" + extra);
            break;
        case GZIP_CONTENT_CHANGED: // unpacked before: the build, then the test
            tools.setBehavior(TOOL_7Z, "call 1: " + copy + "@6\n" + extra);
            break;
        case ZIP: // after the extraction: the folder's digest, the build, the archive's digest
            tools.setBehavior(TOOL_7Z, "call 2: sha256 " + DIGEST + "\ncall 3: " + copy + "@6\ncall 4: sha256 " +
                                           DIGEST + "\n");
            break;
        default:
            tools.setBehavior(TOOL_7Z, "call 1: sha256 " + DIGEST + "\ncall 2: " + copy + "@6\ncall 3: sha256 " +
                                           DIGEST + "\n");
            break;
        }
    }

    // A container job as the worker holds it when it repacks: content already
    // unpacked (with a changed file and its finished job, where the row says so).
    bool runContainer(Job* job, const Row& row, const std::wstring& file)
    {
        bool gzip = row.pipeline == GZIP || row.pipeline == GZIP_CONTENT_CHANGED;
        bool contentChanged = row.pipeline == GZIP_CONTENT_CHANGED || row.pipeline == ZIP_CONTENT_CHANGED ||
                              row.pipeline == ZIP_CONTENT_DELETED;
        job->path = duplicateString(file.c_str(), nullptr);
        job->action = gzip ? ACTION_OPTIMIZE_GZIP : ACTION_OPTIMIZE_ZIP;
        job->kind = gzip ? KIND_GZIP : KIND_ZIP;
        job->options[0] = contentChanged ? 1 : 0;
        job->state = contentChanged ? JOB_RUNNING : JOB_STARTING;
        if (contentChanged) {
            std::wstring folder = std::wstring(job->scratchDir) + L"\\x";
            std::wstring changed = gzip ? folder + L"\\text" : folder + L"\\docs\\b.txt";
            CreateDirectoryW(folder.c_str(), nullptr);
            CreateDirectoryW((folder + L"\\docs").c_str(), nullptr);
            writeBytes(changed, readBytes(samplePath(L"other.txt")));
            TestJob record;
            record.path = changed;
            record.parent = job;
            record.action = row.pipeline == ZIP_CONTENT_DELETED ? ACTION_DELETE : ACTION_MINIFY_XML;
            record.pending = false;
            record.append = true;
            Job* content = createTestJob(record);
            if (!content)
                return false;
            content->state = JOB_DONE;
        }
        runContainerJob(job, &jobList);
        return job->state == JOB_DONE;
    }

    bool run(const Row& row, const std::wstring& file, Job* job)
    {
        const wchar_t* scratch = job->scratchDir;
        const ErrorSink* sink = &job->sink;
        switch (row.pipeline) {
        case PNG: return optimizePng(file.c_str(), scratch, false, false, false, sink);
        case PNG_CLEAR: return optimizePng(file.c_str(), scratch, false, true, false, sink);
        case PNG_STRIP: return optimizePng(file.c_str(), scratch, true, false, false, sink);
        case JPEG: return optimizeJpeg(file.c_str(), scratch, true, 0, 0, false, sink);
        case JPEG_STRIP_ALL: return optimizeJpeg(file.c_str(), scratch, true, 0, 3, false, sink);
        case JPEG_TURN: return optimizeJpeg(file.c_str(), scratch, true, 1, 0, false, sink);
        case JPEG_TRIM: return optimizeJpeg(file.c_str(), scratch, true, 2, 0, false, sink);
        case GIF: return optimizeGif(file.c_str(), scratch, false, sink);
        case FLAC: return optimizeFlac(file.c_str(), scratch, false, false, sink);
        case MP3: return optimizeMp3(file.c_str(), scratch, false, false, sink);
        case SVG: return minifyFile(file.c_str(), scratch, false, sink);
        default: return runContainer(job, row, file);
        }
    }

    ToolSandbox tools;
};

TEST_F(VerifyResults, ResultsReplaceTheFileOnlyWhenTheirContentIsTheSame)
{
    int number = 0;
    for (const Row& row : ROWS) {
        ++number;
        for (bool verify : {true, false}) {
            if (row.same && !verify)
                continue; // nothing to let through
            SCOPED_TRACE(testing::Message() << narrow(row.original) << " -> " << narrow(row.result)
                                            << (verify ? "" : ", verification off"));
            settings.general_verifyResults = verify ? 1 : 0;
            std::wstring folder = tools.work(std::to_wstring(number) + (verify ? L".on" : L".off"));
            std::wstring scratch = folder + L"\\zarn00000001";
            ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
            ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
            std::wstring file = folder + L"\\file." + extensionOf(row.pipeline);
            std::string original = readBytes(samplePath(row.original));
            std::string result = readBytes(samplePath(row.result));
            ASSERT_FALSE(original.empty());
            ASSERT_TRUE(writeBytes(file, original));
            const uint64_t written = 132500000000000000ull;
            ASSERT_TRUE(setTestFileTime(file, 0, written));
            installTools(row, scratch);
            Job* job = createTestJob(scratch);
            ASSERT_NE(job, nullptr);

            bool succeeded = run(row, file, job);
            std::string log = logFileBytes(job);
            release(job->path);
            destroyTestJob(job);
            if (verify && !row.same) {
                EXPECT_FALSE(succeeded) << tail(log);
                EXPECT_NE(log.find(std::string(DIFFERS) + (row.line + 1)), std::string::npos) << tail(log);
                EXPECT_TRUE(readBytes(file) == original) << "the file was changed";
                EXPECT_EQ(testFileTime(file, false), written) << "the file was rewritten";
            } else {
                EXPECT_TRUE(succeeded) << tail(log);
                EXPECT_TRUE(readBytes(file) == result) << "the result did not replace the file";
                if (verify)
                    EXPECT_NE(log.find(row.line), std::string::npos) << tail(log);
                else
                    EXPECT_EQ(log.find("verified"), std::string::npos) << tail(log);
                EXPECT_EQ(log.find("differs"), std::string::npos) << tail(log);
            }
        }
    }
}

// ---- the real tools kit -------------------------------------------------------------

// Pixels whose alpha is 0 in both and whose colour changed: what clearing does.
size_t clearedPixels(const std::wstring& before, const std::wstring& after)
{
    IWICImagingFactory* factory = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory))))
        return 0;
    std::vector<BYTE> pixels[2];
    const std::wstring* paths[2] = {&before, &after};
    for (int i = 0; i < 2; ++i) {
        IWICBitmapDecoder* decoder = nullptr;
        IWICBitmapFrameDecode* frame = nullptr;
        IWICBitmapSource* converted = nullptr;
        UINT width = 0;
        UINT height = 0;
        if (SUCCEEDED(factory->CreateDecoderFromFilename(paths[i]->c_str(), nullptr, GENERIC_READ,
                                                         WICDecodeMetadataCacheOnDemand, &decoder)) &&
            SUCCEEDED(decoder->GetFrame(0, &frame)) &&
            SUCCEEDED(WICConvertBitmapSource(GUID_WICPixelFormat32bppBGRA, frame, &converted)) &&
            SUCCEEDED(converted->GetSize(&width, &height))) {
            pixels[i].resize(static_cast<size_t>(width) * height * 4);
            converted->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels[i].size()), pixels[i].data());
        }
        if (converted)
            converted->Release();
        if (frame)
            frame->Release();
        if (decoder)
            decoder->Release();
    }
    factory->Release();
    size_t cleared = 0;
    for (size_t i = 0; i + 3 < pixels[0].size() && pixels[0].size() == pixels[1].size(); i += 4) {
        if (pixels[0][i + 3] == 0 && pixels[1][i + 3] == 0 && memcmp(&pixels[0][i], &pixels[1][i], 3) != 0)
            ++cleared;
    }
    return cleared;
}

// What the end-to-end run of the bundled samples cannot show: settings that are
// not the defaults, and real decoders facing broken results.
TEST_F(VerifyResults, RealToolsVerifyTheirResults)
{
    std::wstring kit = wineHostPath(VELL_VERIFY_KIT_DIR) + L"\\";
    if (!pathExists(kit + widen(TOOL_ECT)) || !pathExists(kit + widen(TOOL_MOZJPEGTRAN)))
        GTEST_SKIP() << "the tools kit is not built at " << narrow(kit);
    std::wstring previousTools = toolsDirectory;
    setToolsDirectory(kit.c_str());
    HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring folder = tools.work(L"kit");
    std::wstring scratch = folder + L"\\zarn00000002";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
    Job* job = createTestJob(scratch);
    ASSERT_NE(job, nullptr);

    // A PNG whose transparent pixels lose their colours, as the settings allow.
    std::wstring original = samplePath(L"original.png");
    std::wstring png = folder + L"\\cleared.png";
    ASSERT_TRUE(CopyFileW(original.c_str(), png.c_str(), FALSE));
    EXPECT_TRUE(optimizePng(png.c_str(), scratch.c_str(), false, true, false, &job->sink)) << tail(logFileBytes(job));
    EXPECT_NE(logFileBytes(job).find("verified: decoded pixels equal, metadata kept\n"), std::string::npos);
    EXPECT_GT(clearedPixels(original, png), 0u) << "no transparent pixel was cleared";

    // A forced turn that drops the partial blocks at the edge.
    std::wstring jpeg = folder + L"\\odd-6.jpg";
    ASSERT_TRUE(CopyFileW(samplePath(L"odd-6.jpg").c_str(), jpeg.c_str(), FALSE));
    EXPECT_TRUE(optimizeJpeg(jpeg.c_str(), scratch.c_str(), true, 2, 0, false, &job->sink)) << tail(logFileBytes(job));
    EXPECT_NE(logFileBytes(job).find("verified: decoded pixels equal to the original turned by 90 degrees\n"),
              std::string::npos);

    // Broken results that the real decoders refuse.
    std::string flac = readBytes(samplePath(L"same.flac"));
    flac[flac.size() - 100] ^= 0x20;
    std::wstring brokenFlac = folder + L"\\broken.flac";
    ASSERT_TRUE(writeBytes(brokenFlac, flac));
    // Each check in a folder of its own, as each job has one.
    std::wstring works[3] = {folder + L"\\flac", folder + L"\\gz1", folder + L"\\gz2"};
    for (const std::wstring& work : works)
        ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
    EXPECT_FALSE(verifyFlacResult(samplePath(L"original.flac").c_str(), brokenFlac.c_str(), works[0].c_str(), false,
                                  &job->sink));
    EXPECT_FALSE(verifyGzipResult(samplePath(L"original.gz").c_str(), samplePath(L"truncated.gz").c_str(), nullptr,
                                  works[1].c_str(), false, &job->sink));
    EXPECT_TRUE(verifyGzipResult(samplePath(L"original.gz").c_str(), samplePath(L"same.gz").c_str(), nullptr,
                                 works[2].c_str(), false, &job->sink));
    std::string log = logFileBytes(job);
    EXPECT_NE(log.find("(the result does not decode to its MD5 signature)\n"), std::string::npos) << tail(log);
    EXPECT_NE(log.find("(the result does not decompress)\n"), std::string::npos) << tail(log);
    EXPECT_NE(log.find("verified: decompressed data equal\n"), std::string::npos) << tail(log);

    destroyTestJob(job);
    if (SUCCEEDED(com))
        CoUninitialize();
    setToolsDirectory(previousTools.c_str());
}

} // namespace
