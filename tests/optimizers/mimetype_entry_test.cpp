#include <gtest/gtest.h>
#include "optimizers/mimetype_entry.h"
#include "support/test_files.h"
#include <string>

namespace {

// The same header under another four-byte signature.
std::string withSignature(std::string header, const char* signature)
{
    return header.replace(0, 4, signature, 4);
}

const std::string ODT_TEXT = "application/vnd.oasis.opendocument.text";

TEST(MimetypeEntry, OnlyAStoredMimetypeEntryFirstCounts)
{
    const struct {
        const char* title;
        std::string head;
        bool expected;
    } table[] = {
        {"OpenDocument text", zipLocalHeader("mimetype", 0) + ODT_TEXT, true},
        {"EPUB", zipLocalHeader("mimetype", 0) + "application/epub+zip", true},
        {"EPUB whose text ends in a newline", zipLocalHeader("mimetype", 0) + "application/epub+zip\n", true},
        {"name and nothing after it", zipLocalHeader("mimetype", 0), true},
        {"with an extra field", zipLocalHeader("mimetype", 0, std::string(4, '\x01')) + ODT_TEXT, true},
        {"one byte short", zipLocalHeader("mimetype", 0).substr(0, 37), false},
        {"deflated", zipLocalHeader("mimetype", 8) + "x", false},
        {"another method", zipLocalHeader("mimetype", 0x100) + ODT_TEXT, false},
        {"another entry first", zipLocalHeader("content.xml", 0) + "<x/>", false},
        {"longer name", zipLocalHeader("mimetypes", 0) + ODT_TEXT, false},
        {"name in capitals", zipLocalHeader("MIMETYPE", 0) + ODT_TEXT, false},
        {"in a folder", zipLocalHeader("a/mimetype", 0) + ODT_TEXT, false},
        {"spanned archive marker", withSignature(zipLocalHeader("mimetype", 0), "PK\x07\x08") + ODT_TEXT,
         false},
        {"central directory", withSignature(zipLocalHeader("mimetype", 0), "PK\x01\x02") + ODT_TEXT, false},
        {"empty", "", false},
    };
    for (const auto& c : table) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(startsWithStoredMimetype(reinterpret_cast<const uint8_t*>(c.head.data()), c.head.size()),
                  c.expected);
    }
}

TEST(MimetypeEntry, ArchiveIsReadFromItsStart)
{
    std::wstring folder = makeTestFolder(L"mimetype-entry");
    std::wstring odt = folder + L"\\a.odt";
    std::wstring zip = folder + L"\\b.zip";
    ASSERT_TRUE(writeTestFile(odt, zipLocalHeader("mimetype", 0) + ODT_TEXT + std::string(500, 'z')));
    ASSERT_TRUE(writeTestFile(zip, zipLocalHeader("mimetype", 8) + std::string(500, 'z')));
    EXPECT_TRUE(archiveStartsWithStoredMimetype(odt.c_str()));
    EXPECT_FALSE(archiveStartsWithStoredMimetype(zip.c_str()));
    EXPECT_FALSE(archiveStartsWithStoredMimetype((folder + L"\\missing.odt").c_str()));
    EXPECT_FALSE(archiveStartsWithStoredMimetype(folder.c_str()));
    removeTestFolder(folder);
}

} // namespace
