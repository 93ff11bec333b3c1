// The compound-file, MP3 and FLAC pipelines with the real VellCFBF.exe and the
// tools kit from the build's dist\tools folder: the results must read back as
// the same documents and the same audio.
#include "cfbf/sample_file.h"
#include "settings/settings.h"
#include "optimizers/media.h"
#include "runner/tool_names.h"
#include "runner/tool_runner.h"
#include "support/test_files.h"
#include "support/tool_double_setup.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <map>
#include <string>

namespace {

struct Element {
    bool storage;
    std::string bytes;
    CLSID classId;
};
typedef std::map<std::wstring, Element> Tree;

bool readStream(IStorage* parent, const wchar_t* name, std::string* bytes)
{
    IStream* stream = nullptr;
    if (FAILED(parent->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, &stream)))
        return false;
    char buffer[8192];
    ULONG got = 0;
    HRESULT hr = S_OK;
    while ((hr = stream->Read(buffer, sizeof(buffer), &got)) == S_OK && got > 0)
        bytes->append(buffer, got);
    stream->Release();
    return SUCCEEDED(hr);
}

bool readStorage(IStorage* storage, const std::wstring& prefix, Tree* tree)
{
    IEnumSTATSTG* list = nullptr;
    if (FAILED(storage->EnumElements(0, nullptr, 0, &list)))
        return false;
    bool ok = true;
    STATSTG entry;
    while (ok && list->Next(1, &entry, nullptr) == S_OK) {
        std::wstring path = prefix + entry.pwcsName;
        Element element = {entry.type == STGTY_STORAGE, std::string(), entry.clsid};
        if (entry.type == STGTY_STREAM) {
            ok = readStream(storage, entry.pwcsName, &element.bytes);
        } else if (entry.type == STGTY_STORAGE) {
            IStorage* inner = nullptr;
            ok = SUCCEEDED(storage->OpenStorage(entry.pwcsName, nullptr,
                                                STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                                &inner)) &&
                 readStorage(inner, path + L"/", tree);
            if (inner)
                inner->Release();
        } else {
            ok = false;
        }
        (*tree)[path] = element;
        CoTaskMemFree(entry.pwcsName);
    }
    list->Release();
    return ok;
}

// Every storage and stream with its bytes, read through structured storage.
bool readCompoundFile(const std::wstring& path, Tree* tree, CLSID* rootClass)
{
    IStorage* root = nullptr;
    if (FAILED(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr,
                              0, &root)))
        return false;
    STATSTG about;
    bool ok = SUCCEEDED(root->Stat(&about, STATFLAG_NONAME));
    if (ok)
        *rootClass = about.clsid;
    ok = ok && readStorage(root, L"", tree);
    root->Release();
    return ok;
}

void expectSameTree(const Tree& before, const Tree& after)
{
    ASSERT_EQ(before.size(), after.size());
    for (const auto& entry : before) {
        auto found = after.find(entry.first);
        ASSERT_NE(found, after.end()) << narrow(entry.first);
        EXPECT_EQ(found->second.storage, entry.second.storage) << narrow(entry.first);
        EXPECT_TRUE(found->second.bytes == entry.second.bytes) << narrow(entry.first);
        EXPECT_TRUE(IsEqualCLSID(found->second.classId, entry.second.classId)) << narrow(entry.first);
    }
}

// The sector size from the compound file header (sector shift at offset 30).
unsigned sectorSize(const std::string& bytes)
{
    return bytes.size() < 32 ? 0u : 1u << static_cast<unsigned char>(bytes[30]);
}

// The MD5 of the decoded audio, stored in STREAMINFO right after "fLaC", the
// block header and 18 bytes of sizes and rates.
std::string streamInfoMd5(const std::string& flac)
{
    return flac.size() < 42 ? std::string() : flac.substr(26, 16);
}

const char KIT_TOOLS[] = VELL_MEDIA_TOOLS_DIR;

class MediaKit : public testing::Test {
protected:
    void SetUp() override
    {
        std::wstring kit = wineHostPath(KIT_TOOLS) + L"\\";
        for (const char* tool : {TOOL_VELLCFBF, TOOL_FLAC, TOOL_METAFLAC, TOOL_MP3PACKER}) {
            if (!pathExists(kit + widen(tool)))
                GTEST_SKIP() << "the tools kit is not built: " << tool << " is missing in "
                             << KIT_TOOLS;
        }
        previousTools = toolsDirectory;
        setToolsDirectory(kit.c_str());
        comReady = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        work = makeTestFolder(L"media-kit");
        scratch = work + L"\\zarn00000001";
        ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), nullptr));
        job = createTestJob(scratch);
        ASSERT_NE(job, nullptr);
    }
    void TearDown() override
    {
        settings.general_verifyResults = 0; // what the other cases run with
        destroyTestJob(job);
        if (!work.empty())
            removeTestFolder(work);
        if (comReady)
            CoUninitialize();
        if (!previousTools.empty())
            setToolsDirectory(previousTools.c_str());
    }
    // Runs the real flac through the runner, as the pipelines do.
    uint32_t runFlac(const std::wstring& arguments)
    {
        return runTool(TOOL_FLAC, arguments.c_str(), work.c_str(), nullptr, nullptr, false,
                       &job->sink);
    }
    std::string decoded(const std::wstring& flac, const wchar_t* wavName)
    {
        std::wstring wav = work + L"\\" + wavName;
        uint32_t code = runFlac(L"-d -s --force -o \"" + wav + L"\" \"" + flac + L"\"");
        EXPECT_EQ(code, 0u) << logFileBytes(job);
        return readBytes(wav);
    }

    std::wstring previousTools;
    bool comReady = false;
    std::wstring work;
    std::wstring scratch;
    Job* job = nullptr;
};

TEST_F(MediaKit, CompoundFileReadsTheSameAfterBothPasses)
{
    // Leaves the files for the olefile cross-check, which runs as a test of its own.
    std::wstring out = wineHostPath(VELL_MEDIA_OUT_DIR);
    CreateDirectoryW(out.c_str(), nullptr);
    DeleteFileW((out + L"\\original.msi").c_str());
    DeleteFileW((out + L"\\optimized.msi").c_str());

    // Written with 4096-byte sectors, so the 512-byte pass shrinks it.
    std::wstring file = work + L"\\Setup.msi";
    ASSERT_EQ(createSampleFile(file.c_str(), SAMPLE_TREE, SAMPLE_TREE_COUNT, &SAMPLE_ROOT_CLASS,
                               true),
              S_OK);
    Tree before, after;
    CLSID rootBefore, rootAfter;
    ASSERT_TRUE(readCompoundFile(file, &before, &rootBefore));
    ASSERT_EQ(before.size(), SAMPLE_TREE_COUNT);
    std::string original = readBytes(file);
    ASSERT_EQ(sectorSize(original), 4096u);
    ASSERT_TRUE(CopyFileW(file.c_str(), (out + L"\\original.msi").c_str(), FALSE));

    settings.general_verifyResults = 1;
    EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink))
        << logFileBytes(job);
    std::string text = logFileBytes(job);
    EXPECT_EQ(text.find("ERROR"), std::string::npos) << text;
    EXPECT_NE(text.find("-v4 \""), std::string::npos) << text; // both passes ran
    EXPECT_NE(text.find("new optimium\n"), std::string::npos) << text;
    EXPECT_NE(text.find("verified: storages, classes and 14 streams equal\n"), std::string::npos) << text;
    std::string optimized = readBytes(file);
    EXPECT_LT(optimized.size(), original.size());
    EXPECT_EQ(sectorSize(optimized), 512u);
    ASSERT_TRUE(readCompoundFile(file, &after, &rootAfter));
    expectSameTree(before, after);
    EXPECT_TRUE(IsEqualCLSID(rootAfter, SAMPLE_ROOT_CLASS));
    ASSERT_TRUE(CopyFileW(file.c_str(), (out + L"\\optimized.msi").c_str(), FALSE));
}

TEST_F(MediaKit, OfficeFileGetsOnlySmallSectors)
{
    // A document with a deleted stream keeps the stream's sectors as free space.
    std::wstring file = work + L"\\Old Letter.DOC";
    ASSERT_EQ(createSampleFile(file.c_str(), SAMPLE_TREE, SAMPLE_TREE_COUNT, &SAMPLE_ROOT_CLASS,
                               false),
              S_OK);
    IStorage* root = nullptr;
    ASSERT_EQ(StgOpenStorage(file.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                             nullptr, 0, &root),
              S_OK);
    EXPECT_EQ(root->DestroyElement(L"Large"), S_OK);
    EXPECT_EQ(root->Commit(STGC_DEFAULT), S_OK);
    root->Release();
    Tree before, after;
    CLSID rootBefore, rootAfter;
    ASSERT_TRUE(readCompoundFile(file, &before, &rootBefore));
    std::string original = readBytes(file);

    EXPECT_TRUE(optimizeCompoundFile(file.c_str(), scratch.c_str(), true, &job->sink))
        << logFileBytes(job);
    std::string text = logFileBytes(job);
    EXPECT_EQ(text.find("-v4"), std::string::npos) << text;
    EXPECT_NE(text.find("new optimium\n"), std::string::npos) << text;
    std::string optimized = readBytes(file);
    EXPECT_LT(optimized.size(), original.size());
    EXPECT_EQ(sectorSize(optimized), 512u);
    ASSERT_TRUE(readCompoundFile(file, &after, &rootAfter));
    expectSameTree(before, after);
}

TEST_F(MediaKit, BrokenCompoundFileIsLeftAlone)
{
    std::wstring file = work + L"\\broken.msi";
    std::string bytes = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + std::string(3000, '\x01');
    ASSERT_TRUE(writeBytes(file, bytes));
    EXPECT_FALSE(optimizeCompoundFile(file.c_str(), scratch.c_str(), false, &job->sink));
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_NE(logFileBytes(job).find("cannot open source stream"), std::string::npos)
        << logFileBytes(job);
}

TEST_F(MediaKit, FlacIsReencodedSmallerWithTheSameAudio)
{
    struct StripCase {
        bool strip;
        bool tagKept;
    };
    const StripCase table[] = {{false, true}, {true, false}};
    std::wstring sample = wineHostPath(VELL_MEDIA_FLAC_SAMPLE);
    std::string original = readBytes(sample);
    ASSERT_GT(original.size(), 42u) << "the FLAC sample is missing: " << VELL_MEDIA_FLAC_SAMPLE;
    ASSERT_EQ(original.compare(0, 4, "fLaC"), 0);
    ASSERT_NE(original.find("Vell test tone"), std::string::npos);
    std::string audio = decoded(sample, L"original.wav");
    ASSERT_GT(audio.size(), 44100u * 4);
    for (const StripCase& row : table) {
        std::wstring file = work + (row.strip ? L"\\stripped.flac" : L"\\tone.flac");
        ASSERT_TRUE(CopyFileW(sample.c_str(), file.c_str(), FALSE));
        EXPECT_TRUE(optimizeFlac(file.c_str(), scratch.c_str(), row.strip, false, &job->sink))
            << logFileBytes(job);
        std::string result = readBytes(file);
        EXPECT_LT(result.size(), original.size()) << row.strip;
        EXPECT_EQ(result.compare(0, 4, "fLaC"), 0);
        EXPECT_EQ(streamInfoMd5(result), streamInfoMd5(original));
        EXPECT_EQ(result.find("Vell test tone") != std::string::npos, row.tagKept) << row.strip;
        EXPECT_TRUE(decoded(file, L"result.wav") == audio) << row.strip;
        EXPECT_FALSE(pathExists(scratch + L"\\x.flac"));
    }
}

TEST_F(MediaKit, Mp3WithoutGainStaysAsItWas)
{
    // The kit's mp3packer only copies its input, so there is never a gain.
    std::wstring file = work + L"\\song.mp3";
    std::string bytes = "ID3\x04" + std::string(2000, '\x55');
    ASSERT_TRUE(writeBytes(file, bytes));
    EXPECT_TRUE(optimizeMp3(file.c_str(), scratch.c_str(), true, false, &job->sink))
        << logFileBytes(job);
    EXPECT_EQ(readBytes(file), bytes);
    EXPECT_FALSE(pathExists(scratch + L"\\x-vbr.mp3"));
    EXPECT_TRUE(pathExists(scratch + L"\\x.mp3"));
}

} // namespace
