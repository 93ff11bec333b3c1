// The verification of VellCFBF on its own: pairs of compound files built here are
// compared the way the program compares its input with its output.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "cfbf/sample_file.h"
#include "cfbf/storage_copy.h"
#include "support/test_files.h"

namespace {

class StorageCompareTest : public testing::Test {
protected:
    void SetUp() override
    {
        CoInitialize(nullptr);
        folder = makeTestFolder(L"cfbf-compare");
    }

    void TearDown() override
    {
        removeTestFolder(folder);
        CoUninitialize();
    }

    std::wstring makeFile(const wchar_t* name, const std::vector<SampleElement>& elements,
                          const CLSID* rootClass)
    {
        std::wstring path = folder + L"\\" + name;
        EXPECT_EQ(S_OK, createSampleFile(path.c_str(), elements.data(), elements.size(), rootClass,
                                         false));
        return path;
    }

    // Opened as the verification opens both files.
    bool compareFiles(const std::wstring& input, const std::wstring& output)
    {
        IStorage* source = nullptr;
        IStorage* target = nullptr;
        const DWORD mode = STGM_READ | STGM_SHARE_DENY_WRITE;
        EXPECT_EQ(S_OK, StgOpenStorage(input.c_str(), nullptr, mode, nullptr, 0, &source));
        EXPECT_EQ(S_OK, StgOpenStorage(output.c_str(), nullptr, mode, nullptr, 0, &target));
        bool same = source != nullptr && target != nullptr && compareStorageTrees(source, target);
        if (target != nullptr)
            target->Release();
        if (source != nullptr)
            source->Release();
        return same;
    }

    std::wstring folder;
};

std::vector<SampleElement> sampleTree()
{
    return std::vector<SampleElement>(SAMPLE_TREE, SAMPLE_TREE + SAMPLE_TREE_COUNT);
}

SampleElement& elementOf(std::vector<SampleElement>& tree, const wchar_t* path)
{
    for (SampleElement& element : tree) {
        if (wcscmp(element.path, path) == 0)
            return element;
    }
    ADD_FAILURE() << "no sample element " << path;
    return tree.front();
}

TEST_F(StorageCompareTest, ClassesOfEveryStorageMustMatch)
{
    std::wstring input = makeFile(L"in.cfb", sampleTree(), &SAMPLE_ROOT_CLASS);
    struct Case {
        const char* title;
        const wchar_t* path; // the storage whose class the output changes; null: none
        const CLSID* classId;
        const CLSID* rootClass;
        bool same;
    } table[] = {
        {"same tree and classes", nullptr, nullptr, &SAMPLE_ROOT_CLASS, true},
        {"embedded object without its class", L"ObjectPool/_1234567890", nullptr,
         &SAMPLE_ROOT_CLASS, false},
        {"embedded object with another class", L"ObjectPool/_1234567890", &SAMPLE_INNER_CLASS,
         &SAMPLE_ROOT_CLASS, false},
        {"storage below the root without its class", L"Inner", nullptr, &SAMPLE_ROOT_CLASS, false},
        {"storage with a class its original lacks", L"Hollow", &SAMPLE_OBJECT_CLASS,
         &SAMPLE_ROOT_CLASS, false},
        {"root without its class", nullptr, nullptr, nullptr, false},
    };
    for (const Case& c : table) {
        SCOPED_TRACE(c.title);
        std::vector<SampleElement> tree = sampleTree();
        if (c.path != nullptr)
            elementOf(tree, c.path).classId = c.classId;
        std::wstring output = makeFile(L"out.cfb", tree, c.rootClass);
        EXPECT_EQ(c.same, compareFiles(input, output));
        EXPECT_EQ(c.same, compareFiles(output, input));
    }
}

TEST_F(StorageCompareTest, StreamsAndStoragesMustBeThere)
{
    std::wstring input = makeFile(L"in.cfb", sampleTree(), &SAMPLE_ROOT_CLASS);
    std::vector<SampleElement> shorter = sampleTree();
    elementOf(shorter, L"ObjectPool/_1234567890/Workbook").length = 5999;
    EXPECT_FALSE(compareFiles(input, makeFile(L"shorter.cfb", shorter, &SAMPLE_ROOT_CLASS)));
    std::vector<SampleElement> withoutObject;
    for (const SampleElement& element : sampleTree()) {
        if (wcsncmp(element.path, L"ObjectPool/", 11) != 0)
            withoutObject.push_back(element);
    }
    EXPECT_FALSE(compareFiles(input, makeFile(L"empty-pool.cfb", withoutObject, &SAMPLE_ROOT_CLASS)));
}

TEST_F(StorageCompareTest, StateBitsOfEveryStorageMustMatch)
{
    if (!sampleStateBitsKept((folder + L"\\probe.cfb").c_str()))
        GTEST_SKIP() << "this system's structured storage does not write state bits to the file "
                        "(Wine keeps them in memory only), so no pair of files can differ in them";
    std::vector<SampleElement> flagged = sampleTree();
    elementOf(flagged, L"ObjectPool/_1234567890").stateBits = 0x00000004;
    std::wstring input = makeFile(L"in.cfb", flagged, &SAMPLE_ROOT_CLASS);
    EXPECT_TRUE(compareFiles(input, makeFile(L"same.cfb", flagged, &SAMPLE_ROOT_CLASS)));
    EXPECT_FALSE(compareFiles(input, makeFile(L"plain.cfb", sampleTree(), &SAMPLE_ROOT_CLASS)));
}

} // namespace
