// The check VellCFBF makes before a compound file reaches structured storage: sound
// files of every shape pass, each kind of broken link is found.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "cfbf/sample_file.h"
#include "cfbf/structure_check.h"
#include "support/test_files.h"

namespace {

class StructureCheck : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        folder = makeTestFolder(L"cfbf-check");
    }
    void TearDown() override
    {
        removeTestFolder(folder);
        CoUninitialize();
    }

    std::string sample(const std::vector<SampleElement>& elements, bool largeSectors)
    {
        std::wstring path = folder + L"\\sample.cfb";
        EXPECT_EQ(S_OK, createSampleFile(path.c_str(), elements.data(), elements.size(), nullptr, largeSectors));
        return readTestFile(path);
    }

    // What the check says about these bytes; "" when they pass.
    std::string faultOf(const std::string& bytes)
    {
        std::wstring path = folder + L"\\checked.cfb";
        if (!writeTestFile(path, bytes))
            return "cannot write the file";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return "cannot open the file";
        const char* fault = findStructureFault(file);
        CloseHandle(file);
        return fault ? fault : "";
    }

    std::wstring folder;
};

const std::vector<SampleElement> fullTree(SAMPLE_TREE, SAMPLE_TREE + SAMPLE_TREE_COUNT);
// Over 109 FAT sectors with 512-byte sectors, so the FAT is listed by a DIFAT sector too.
const std::vector<SampleElement> difatTree = {{L"Large", false, 8u << 20, nullptr, 0},
                                              {L"Small", false, 100, nullptr, 0}};

TEST_F(StructureCheck, SoundFilesPass)
{
    struct Case {
        const char* title;
        std::vector<SampleElement> elements;
        bool largeSectors;
    };
    const Case cases[] = {
        {"every kind of element, 512-byte sectors", fullTree, false},
        {"every kind of element, 4096-byte sectors", fullTree, true},
        {"storages only", {{L"A", true, 0, nullptr, 0}, {L"A/B", true, 0, nullptr, 0}}, false},
        {"nothing at all", {}, true},
        {"a FAT listed by the DIFAT", difatTree, false},
    };
    for (const Case& sound : cases) {
        SCOPED_TRACE(sound.title);
        EXPECT_EQ("", faultOf(sample(sound.elements, sound.largeSectors)));
    }
    EXPECT_EQ("", faultOf(readTestFile(wineHostPath(VELL_SAMPLE_FILES "/storage.cfb"))));
    // Files without the signature are left to structured storage, which refuses them.
    EXPECT_EQ("", faultOf(std::string(2000, 'a')));
    EXPECT_EQ("", faultOf(std::string()));
}

TEST_F(StructureCheck, BrokenLinksAreFound)
{
    struct Case {
        Corruption corruption;
        const std::vector<SampleElement>* elements;
        bool largeSectors;
        const char* fault;
    };
    const Case cases[] = {
        {CORRUPT_DIRECTORY_CIRCLE, &fullTree, false, "the directory chain runs in a circle"},
        {CORRUPT_DIRECTORY_CIRCLE, &fullTree, true, "the directory chain runs in a circle"},
        {CORRUPT_MINI_FAT_CIRCLE, &fullTree, false, "the mini FAT chain runs in a circle"},
        {CORRUPT_MINI_STREAM_CIRCLE, &fullTree, true, "the mini stream chain runs in a circle"},
        {CORRUPT_SIBLING_CIRCLE, &fullTree, false, "is linked more than once"},
        {CORRUPT_LARGE_STREAM_CIRCLE, &fullTree, false, "runs in a circle"},
        {CORRUPT_SMALL_STREAM_CIRCLE, &fullTree, true, "runs in a circle"},
        {CORRUPT_CHILD_PAST_DIRECTORY, &fullTree, false, "a directory link leads past the directory"},
        {CORRUPT_FAT_SECTOR_OUTSIDE, &fullTree, false, "FAT sector 0 lies outside the file"},
        {CORRUPT_FAT_COUNT, &fullTree, true, "the header counts more FAT sectors than the file holds"},
        {CORRUPT_DIFAT_CIRCLE, &difatTree, false, "the DIFAT chain runs in a circle"},
        {CORRUPT_RANDOM_BODY, &fullTree, false, ""},
        {CORRUPT_RANDOM_BODY, &fullTree, true, ""},
    };
    for (const Case& broken : cases) {
        SCOPED_TRACE(testing::Message() << "corruption " << broken.corruption << ", sectors of "
                                        << (broken.largeSectors ? 4096 : 512));
        std::string bytes = sample(*broken.elements, broken.largeSectors);
        ASSERT_TRUE(corruptCompoundFile(bytes, broken.corruption));
        std::string fault = faultOf(bytes);
        EXPECT_FALSE(fault.empty());
        EXPECT_NE(std::string::npos, fault.find(broken.fault)) << fault;
    }
}

} // namespace
