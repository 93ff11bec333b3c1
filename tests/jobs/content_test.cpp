#include <gtest/gtest.h>
#include "jobs/content.h"
#include "settings/settings.h"
#include "support/test_files.h"
#include <string>

namespace {

std::string bytes(const char* data, size_t length)
{
    return std::string(data, length);
}

std::string padded(std::string head, size_t length = 512)
{
    head.resize(length, 'x');
    return head;
}

const std::string pngHead = bytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDR", 16);
const std::string cfbHead = bytes("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);

struct SniffCase {
    const char* label;
    std::string head;
    uint64_t size; // 0: the head's length
    const wchar_t* path;
    FileKind expected;
};

FileKind sniff(const SniffCase& c)
{
    uint64_t size = c.size ? c.size : c.head.size();
    uint32_t n = static_cast<uint32_t>(c.head.size() < 512 ? c.head.size() : 512);
    return sniffContent(c.path, L"C:\\does-not-exist\\", reinterpret_cast<const uint8_t*>(c.head.data()),
                        size, n, false, &defaultSink);
}

TEST(SniffContent, RecognisesEverySignatureAndBound)
{
    const uint64_t twoGiB = 0x80000000ull;
    const uint64_t fourGiB = 0x100000000ull;
    const SniffCase cases[] = {
        {"png", padded(pngHead, 16), 0, L"C:\\a\\b.bin", KIND_PNG},
        {"png without IHDR", padded(bytes("\x89PNG\r\n\x1A\n\0\0\0\x0DIHDX", 16)), 0, L"C:\\b", KIND_NONE},
        {"png too short", pngHead.substr(0, 15), 0, L"C:\\b", KIND_NONE},
        {"compound", padded(cfbHead), 0, L"C:\\a\\b.doc", KIND_CFBF},
        {"compound below 2 GiB", padded(cfbHead), twoGiB - 1, L"C:\\a\\b.doc", KIND_CFBF},
        {"compound of 2 GiB", padded(cfbHead), twoGiB, L"C:\\a\\b.doc", KIND_NONE},
        {"compound head short", padded(cfbHead, 511), 0, L"C:\\a\\b.doc", KIND_NONE},
        {"thumbs.db", padded(cfbHead), 0, L"C:\\a\\Thumbs.DB", KIND_THUMBS_DB},
        {"thumbs.db with slash", padded(cfbHead), 0, L"C:/a/thumbs.db", KIND_THUMBS_DB},
        {"jpeg", bytes("\xFF\xD8\xFF", 3), 0, L"C:\\a.jpg", KIND_JPEG},
        {"jpeg short", bytes("\xFF\xD8", 2), 0, L"C:\\a.jpg", KIND_NONE},
        {"gif87a probe missing", padded("GIF87a", 20), 0, L"C:\\a.gif", KIND_GIF_MULTI},
        {"gif89a probe missing", padded("GIF89a", 20), 0, L"C:\\a.gif", KIND_GIF_MULTI},
        {"gif at 4 GiB", padded("GIF89a", 20), fourGiB, L"C:\\a.gif", KIND_NONE},
        {"gif below 4 GiB", padded("GIF89a", 20), fourGiB - 1, L"C:\\a.gif", KIND_GIF_MULTI},
        {"bmp", "BM", 0, L"C:\\a.bmp", KIND_BMP},
        {"zip named zip", padded("PK\x03\x04", 30), 0, L"C:\\a.ZiP", KIND_ZIP},
        {"zip named otherwise", padded("PK\x03\x04", 30), 0, L"C:\\a.jar", KIND_ZIP_LIKE},
        {"dot only in the folder", padded("PK\x03\x04", 30), 0, L"C:\\x.zip\\archive", KIND_ZIP_LIKE},
        {"gzip", padded(bytes("\x1F\x8B\x08\x1F\0\0\0\0\x04\x03", 10)), 0, L"C:\\a.gz", KIND_GZIP},
        {"gzip xfl 2", bytes("\x1F\x8B\x08\x00\0\0\0\0\x02\x03", 10), 0, L"C:\\a.gz", KIND_GZIP},
        {"gzip bad flags", padded(bytes("\x1F\x8B\x08\x20\0\0\0\0\x00\x03", 10)), 0, L"C:\\a.gz", KIND_NONE},
        {"gzip bad method", padded(bytes("\x1F\x8B\x07\x00\0\0\0\0\x00\x03", 10)), 0, L"C:\\a.gz", KIND_NONE},
        {"gzip bad xfl", padded(bytes("\x1F\x8B\x08\x00\0\0\0\0\x01\x03", 10)), 0, L"C:\\a.gz", KIND_NONE},
        {"gzip of 4 GiB", padded(bytes("\x1F\x8B\x08\x00\0\0\0\0\x00\x03", 10)), fourGiB, L"C:\\a.gz", KIND_NONE},
        {"gzip short", bytes("\x1F\x8B\x08\x00\0\0\0\0\x00", 9), 0, L"C:\\a.gz", KIND_NONE},
        {"rar", bytes("Rar!\x1A\x07\0", 7), 0, L"C:\\a.rar", KIND_RAR},
        {"rar 5", padded(bytes("Rar!\x1A\x07\x01\0", 8)), 0, L"C:\\a.rar", KIND_NONE},
        {"7z", bytes("7z\xBC\xAF\x27\x1C", 6), 0, L"C:\\a.7z", KIND_7Z},
        {"dmg", bytes("\x78\x01\x73\x0D\x62\x62\x60", 7), 0, L"C:\\a.dmg", KIND_DMG},
        {"tiff le", bytes("II*\0", 4), 0, L"C:\\a.tif", KIND_TIFF},
        {"tiff be", bytes("MM\0*", 4), 0, L"C:\\a.tif", KIND_TIFF},
        {"tiff of 4 GiB", padded(bytes("II*\0", 4)), fourGiB, L"C:\\a.tif", KIND_NONE},
        {"short text", "<?xml version=", 0, L"C:\\a.xml", KIND_NONE},
        {"xml", padded("<?xml version='1.0'?>", 40), 0, L"C:\\a.xml", KIND_XML},
        {"xml utf8 bom", padded("\xEF\xBB\xBF<?xml version='1.0'?>", 40), 0, L"C:\\a.xml", KIND_XML},
        {"xml utf16le bom", padded(bytes("\xFF\xFE<\0?\0x\0m\0l\0 \0v\0", 18)), 0, L"C:\\a", KIND_XML},
        {"xml utf16be bom", padded(bytes("\xFE\xFF\0<\0?\0x\0m\0l\0 \0v", 18)), 0, L"C:\\a", KIND_XML},
        {"xml utf16le no bom", padded(bytes("<\0?\0x\0m\0l\0 \0v\0e\0", 16)), 0, L"C:\\a", KIND_XML},
        {"svg", padded("<svg xmlns='http://www.w3.org/2000/svg'>", 40), 0, L"C:\\a.svg", KIND_SVG},
        {"svg bom", padded("\xEF\xBB\xBF<svg width='1'>", 40), 0, L"C:\\a.svg", KIND_SVG},
        {"svg utf16le", padded(bytes("\xFF\xFE<\0s\0v\0g\0 \0w\0i\0", 16)), 0, L"C:\\a", KIND_SVG},
        {"svg utf16be", padded(bytes("\xFE\xFF\0<\0s\0v\0g\0 \0w\0i", 16)), 0, L"C:\\a", KIND_SVG},
        {"svg after xml declaration", padded("<?xml version='1.0'?><svg>", 40), 0, L"C:\\a.svg", KIND_XML},
        {"mp3 frame sync", padded("\xFF\xFB\x90\x44", 20), 0, L"C:\\a\\song.MP3", KIND_MP3},
        {"mp3 id3", padded("ID3\x04", 20), 0, L"C:\\song.mp3", KIND_MP3},
        {"mp3 other extension", padded("ID3\x04", 20), 0, L"C:\\song.wav", KIND_NONE},
        {"mp3 without sync", padded("RIFF", 20), 0, L"C:\\song.mp3", KIND_NONE},
        {"flac", padded("fLaC\0\0\0\x22", 20), 0, L"C:\\a.flac", KIND_FLAC},
        {"flac short", "fLaC\0\0\0\x22", 0, L"C:\\a.flac", KIND_NONE},
        {"one byte", "B", 0, L"C:\\a", KIND_NONE},
        {"unknown", padded("hello world, nothing here"), 0, L"C:\\a.txt", KIND_NONE},
    };
    for (const SniffCase& c : cases)
        EXPECT_EQ(sniff(c), c.expected) << c.label;
}

// The extension is whatever follows the last dot of the whole path, so a file
// without one in a dotted folder takes "folder part\name" as its extension.
TEST(SniffContent, ExtensionComesFromTheWholePath)
{
    std::string mp3 = padded("\xFF\xFB", 20);
    SniffCase inDottedFolder = {"", mp3, 0, L"C:\\music.mp3\\track", KIND_NONE};
    SniffCase dottedFolderAndFile = {"", mp3, 0, L"C:\\music.v2\\track.Mp3", KIND_MP3};
    EXPECT_EQ(sniff(inDottedFolder), KIND_NONE);
    EXPECT_EQ(sniff(dottedFolderAndFile), KIND_MP3);
}

TEST(ContentTables, ScratchNamesAndActionTexts)
{
    EXPECT_EQ(scratchFileName(KIND_NONE), nullptr);
    EXPECT_STREQ(scratchFileName(KIND_GIF_SINGLE), L"x.gif");
    EXPECT_STREQ(scratchFileName(KIND_EPUB), L"x.zip");
    EXPECT_STREQ(scratchFileName(KIND_CFBF), L"x.doc");
    EXPECT_STREQ(scratchFileName(KIND_THUMBS_DB), L"x.db");
    EXPECT_STREQ(scratchFileName(KIND_FLAC), L"x.flac");
    EXPECT_STREQ(actionDisplayText(ACTION_OPTIMIZE_OOXML), L"optimize Office Open XML");
    EXPECT_STREQ(actionDisplayText(ACTION_EXTRACT_7Z), L"extract 7z");
    EXPECT_STREQ(actionDisplayText(ACTION_CONVERT_TO_PNG), L"convert to PNG");
    EXPECT_STREQ(actionDisplayText(ACTION_DELETE), L"delete");
}

// --- action choice -------------------------------------------------------

struct Choice {
    Action action;
    uint8_t options[4];
};

Choice choose(FileKind kind, const Settings& s, ContentContext context = CONTEXT_TOP,
              const wchar_t* path = L"C:\\nowhere\\file")
{
    Choice c = {};
    c.action = chooseAction(path, kind, &s, context, c.options);
    return c;
}

void expectChoice(const Choice& c, Action action, uint8_t o0, uint8_t o1, uint8_t o2, uint8_t o3,
                  const char* label)
{
    EXPECT_EQ(c.action, action) << label;
    EXPECT_EQ(c.options[0], o0) << label;
    EXPECT_EQ(c.options[1], o1) << label;
    EXPECT_EQ(c.options[2], o2) << label;
    EXPECT_EQ(c.options[3], o3) << label;
}

class ChooseAction : public testing::Test {
protected:
    void SetUp() override { setDefaultSettings(&s); }
    Settings s;
};

TEST_F(ChooseAction, PngAndConversions)
{
    expectChoice(choose(KIND_PNG, s), ACTION_OPTIMIZE_PNG, 0, 1, 0, 0, "png default");
    s.png_strategy = 2;
    s.png_stripMetadata = 1;
    s.png_stripTransparentPixels = 1;
    expectChoice(choose(KIND_PNG, s), ACTION_OPTIMIZE_PNG, 0, 2, 1, 1, "png for 7z");
    s.bmp_convertToPng = 1;
    s.tiff_convertToPng = 1;
    expectChoice(choose(KIND_BMP, s), ACTION_CONVERT_TO_PNG, 0, 2, 1, 1, "bmp");
    expectChoice(choose(KIND_TIFF, s), ACTION_CONVERT_TO_PNG, 0, 2, 1, 1, "tiff");
    s.png_strategy = 0;
    expectChoice(choose(KIND_PNG, s), ACTION_NONE, 0, 0, 0, 0, "png off");
    s.bmp_convertToPng = 0;
    s.tiff_convertToPng = 0;
    expectChoice(choose(KIND_BMP, s), ACTION_NONE, 0, 0, 0, 0, "bmp off");
    expectChoice(choose(KIND_TIFF, s), ACTION_NONE, 0, 0, 0, 0, "tiff off");
}

TEST_F(ChooseAction, JpegOptionsFollowTheSettings)
{
    expectChoice(choose(KIND_JPEG, s), ACTION_OPTIMIZE_JPEG, 0, 1, 1, 0, "default");
    s.jpg_forceDerotate = 1;
    expectChoice(choose(KIND_JPEG, s), ACTION_OPTIMIZE_JPEG, 0, 1, 2, 0, "forced");
    s.jpg_derotate = 0;
    expectChoice(choose(KIND_JPEG, s), ACTION_OPTIMIZE_JPEG, 0, 1, 0, 0, "force alone means nothing");
    s.jpg_optimize = 0;
    s.jpg_metadataStrategy = 3;
    expectChoice(choose(KIND_JPEG, s), ACTION_OPTIMIZE_JPEG, 0, 0, 0, 3, "metadata only");
    s.jpg_metadataStrategy = 0;
    expectChoice(choose(KIND_JPEG, s), ACTION_NONE, 0, 0, 0, 0, "all off");
}

TEST_F(ChooseAction, GifChoices)
{
    expectChoice(choose(KIND_GIF_MULTI, s), ACTION_OPTIMIZE_GIF, 0, 0, 0, 0, "multi");
    expectChoice(choose(KIND_GIF_SINGLE, s), ACTION_OPTIMIZE_GIF, 0, 0, 0, 0, "single");
    s.gif_convertToPng = 1;
    expectChoice(choose(KIND_GIF_SINGLE, s), ACTION_CONVERT_TO_PNG, 0, 1, 0, 0, "single converted");
    expectChoice(choose(KIND_GIF_MULTI, s), ACTION_OPTIMIZE_GIF, 0, 0, 0, 0, "multi never converted");
    s.gif_optimize = 0;
    expectChoice(choose(KIND_GIF_SINGLE, s), ACTION_CONVERT_TO_PNG, 0, 1, 0, 0, "convert wins");
    expectChoice(choose(KIND_GIF_MULTI, s), ACTION_NONE, 0, 0, 0, 0, "multi off");
    s.gif_convertToPng = 0;
    expectChoice(choose(KIND_GIF_SINGLE, s), ACTION_NONE, 0, 0, 0, 0, "single off");
}

TEST_F(ChooseAction, ArchivesByStrategy)
{
    expectChoice(choose(KIND_ZIP, s), ACTION_NONE, 0, 0, 0, 0, "zip ignored by default");
    s.zip_strategy = 1;
    s.zip_recursive = 1;
    s.zip_stripAttributesAndTimestamps = 1;
    expectChoice(choose(KIND_ZIP, s), ACTION_OPTIMIZE_ZIP, 1, 1, 0, 0, "zip optimize");
    expectChoice(choose(KIND_ZIP_LIKE, s), ACTION_OPTIMIZE_ZIP_LIKE, 1, 1, 0, 0, "zip-like optimize");
    s.zip_strategy = 2;
    expectChoice(choose(KIND_ZIP, s), ACTION_EXTRACT_ZIP, 1, 0, 0, 0, "zip extract");
    expectChoice(choose(KIND_ZIP_LIKE, s), ACTION_EXTRACT_ZIP, 1, 0, 0, 0, "zip-like extract");
    expectChoice(choose(KIND_GZIP, s), ACTION_NONE, 0, 0, 0, 0, "gzip ignored");
    s.gzip_strategy = 1;
    expectChoice(choose(KIND_GZIP, s), ACTION_OPTIMIZE_GZIP, 0, 0, 0, 0, "gzip optimize");
    s.gzip_strategy = 2;
    s.gzip_recursive = 1;
    expectChoice(choose(KIND_GZIP, s), ACTION_EXTRACT_GZIP, 1, 0, 0, 0, "gzip extract");
    expectChoice(choose(KIND_7Z, s), ACTION_NONE, 0, 0, 0, 0, "7z ignored");
    expectChoice(choose(KIND_RAR, s), ACTION_NONE, 0, 0, 0, 0, "rar ignored");
    expectChoice(choose(KIND_DMG, s), ACTION_NONE, 0, 0, 0, 0, "dmg ignored");
    s.sevenZip_strategy = s.rar_strategy = s.dmg_strategy = 1;
    s.rar_recursive = 1;
    expectChoice(choose(KIND_7Z, s), ACTION_EXTRACT_7Z, 0, 0, 0, 0, "7z");
    expectChoice(choose(KIND_RAR, s), ACTION_EXTRACT_RAR, 1, 0, 0, 0, "rar");
    expectChoice(choose(KIND_DMG, s), ACTION_EXTRACT_DMG, 0, 0, 0, 0, "dmg");
}

TEST_F(ChooseAction, DocumentsAndOthersAtTopLevel)
{
    expectChoice(choose(KIND_OOXML, s), ACTION_OPTIMIZE_OOXML, 1, 1, 0, 0, "ooxml");
    expectChoice(choose(KIND_ODF, s), ACTION_OPTIMIZE_ODF, 1, 1, 0, 0, "odf");
    expectChoice(choose(KIND_EPUB, s), ACTION_OPTIMIZE_EPUB, 1, 0, 0, 0, "epub");
    expectChoice(choose(KIND_CFBF, s), ACTION_OPTIMIZE_CFBF, 0, 0, 0, 0, "cfbf");
    expectChoice(choose(KIND_MP3, s), ACTION_OPTIMIZE_MP3, 0, 1, 0, 0, "mp3");
    expectChoice(choose(KIND_FLAC, s), ACTION_OPTIMIZE_FLAC, 0, 1, 0, 0, "flac");
    expectChoice(choose(KIND_SVG, s), ACTION_NONE, 0, 0, 0, 0, "svg off by default");
    expectChoice(choose(KIND_XML, s), ACTION_NONE, 0, 0, 0, 0, "xml never at top level");
    s.svg_optimize = 1;
    s.mp3_stripMetadata = s.flac_stripMetadata = 1;
    expectChoice(choose(KIND_SVG, s), ACTION_MINIFY_SVG, 0, 0, 0, 0, "svg on");
    expectChoice(choose(KIND_MP3, s), ACTION_OPTIMIZE_MP3, 0, 1, 1, 0, "mp3 strip");
    expectChoice(choose(KIND_FLAC, s), ACTION_OPTIMIZE_FLAC, 0, 1, 1, 0, "flac strip");
    s.office_optimize = s.epub_optimize = s.compound_optimize = 0;
    s.mp3_strategy = s.flac_strategy = 0;
    for (FileKind kind : {KIND_OOXML, KIND_ODF, KIND_EPUB, KIND_CFBF, KIND_MP3, KIND_FLAC})
        expectChoice(choose(kind, s), ACTION_NONE, 0, 0, 0, 0, "switched off");
}

TEST_F(ChooseAction, ThumbsDbAndSideFiles)
{
    expectChoice(choose(KIND_THUMBS_DB, s), ACTION_DELETE, 0, 0, 0, 0, "thumbs");
    expectChoice(choose(KIND_THUMBS_DB, s, CONTEXT_EPUB), ACTION_DELETE, 0, 0, 0, 0, "thumbs in epub");
    s.deleteThumbsDb = 0;
    expectChoice(choose(KIND_THUMBS_DB, s), ACTION_NONE, 0, 0, 0, 0, "thumbs kept");

    std::wstring folder = makeTestFolder(L"side");
    struct SideCase {
        const wchar_t* name;
        bool system;
        Action expected;
    } cases[] = {
        {L"Folder.JPG", true, ACTION_DELETE},
        {L"AlbumArtSmall.jpg", true, ACTION_DELETE},
        {L"AlbumArt_{1234}_Large.jpg", true, ACTION_DELETE},
        {L"albumart_{", true, ACTION_OPTIMIZE_JPEG},   // ten characters only
        {L"folder.jpg", false, ACTION_OPTIMIZE_JPEG},  // no system attribute
        {L"photo.jpg", true, ACTION_OPTIMIZE_JPEG},
    };
    for (const SideCase& c : cases) {
        std::wstring path = folder + L"\\" + c.name;
        writeTestFile(path, "\xFF\xD8\xFF");
        SetFileAttributesW(path.c_str(), c.system ? FILE_ATTRIBUTE_SYSTEM : FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(choose(KIND_JPEG, s, CONTEXT_TOP, path.c_str()).action, c.expected);
        EXPECT_EQ(choose(KIND_JPEG, s, CONTEXT_OOXML, path.c_str()).action, c.expected);
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    // An attribute set that cannot be read counts as system.
    std::wstring missing = folder + L"\\gone\\Folder.jpg";
    EXPECT_EQ(choose(KIND_JPEG, s, CONTEXT_TOP, missing.c_str()).action, ACTION_DELETE);
    s.deleteFolderJpg = 0;
    EXPECT_EQ(choose(KIND_JPEG, s, CONTEXT_TOP, missing.c_str()).action, ACTION_OPTIMIZE_JPEG);
    s.deleteAlbumArt = 0;
    std::wstring art = folder + L"\\gone\\AlbumArtSmall.jpg";
    EXPECT_EQ(choose(KIND_JPEG, s, CONTEXT_TOP, art.c_str()).action, ACTION_OPTIMIZE_JPEG);
    removeTestFolder(folder);
}

TEST_F(ChooseAction, ContainerContentFollowsFixedRules)
{
    // Top-level choices that must not leak into containers.
    s.png_strategy = 0;
    s.jpg_optimize = s.jpg_derotate = 0;
    s.gif_optimize = 0;
    s.zip_strategy = 0;
    s.office_optimize = 0;
    const ContentContext documents[] = {CONTEXT_OOXML, CONTEXT_ODF, CONTEXT_EPUB};
    for (ContentContext context : {CONTEXT_ZIP_LIKE, CONTEXT_OOXML, CONTEXT_ODF, CONTEXT_EPUB}) {
        expectChoice(choose(KIND_PNG, s, context), ACTION_OPTIMIZE_PNG, 0, 1, 1, 1, "png");
        expectChoice(choose(KIND_GIF_MULTI, s, context), ACTION_OPTIMIZE_GIF, 0, 0, 0, 0, "gif multi");
        expectChoice(choose(KIND_ZIP, s, context), ACTION_OPTIMIZE_ZIP, 1, 0, 0, 0, "zip");
        expectChoice(choose(KIND_ZIP_LIKE, s, context), ACTION_OPTIMIZE_ZIP_LIKE, 1, 0, 0, 0, "zip-like");
        expectChoice(choose(KIND_OOXML, s, context), ACTION_OPTIMIZE_OOXML, 1, 1, 0, 0, "ooxml");
        expectChoice(choose(KIND_ODF, s, context), ACTION_OPTIMIZE_ODF, 1, 1, 0, 0, "odf");
        expectChoice(choose(KIND_EPUB, s, context), ACTION_OPTIMIZE_EPUB, 1, 0, 0, 0, "epub");
        for (FileKind kind : {KIND_7Z, KIND_RAR, KIND_DMG})
            expectChoice(choose(kind, s, context), ACTION_NONE, 0, 0, 0, 0, "no extraction inside");
    }
    expectChoice(choose(KIND_JPEG, s, CONTEXT_ZIP_LIKE), ACTION_OPTIMIZE_JPEG, 0, 1, 0, 0, "jpeg zip-like");
    expectChoice(choose(KIND_GIF_SINGLE, s, CONTEXT_ZIP_LIKE), ACTION_OPTIMIZE_GIF, 0, 0, 0, 0, "gif1 zip-like");
    expectChoice(choose(KIND_BMP, s, CONTEXT_ZIP_LIKE), ACTION_NONE, 0, 0, 0, 0, "bmp zip-like");
    expectChoice(choose(KIND_XML, s, CONTEXT_ZIP_LIKE), ACTION_NONE, 0, 0, 0, 0, "xml zip-like");
    expectChoice(choose(KIND_SVG, s, CONTEXT_ZIP_LIKE), ACTION_NONE, 0, 0, 0, 0, "svg zip-like off");
    expectChoice(choose(KIND_GZIP, s, CONTEXT_ZIP_LIKE), ACTION_NONE, 0, 0, 0, 0, "gzip zip-like off");
    for (ContentContext context : documents) {
        expectChoice(choose(KIND_JPEG, s, context), ACTION_OPTIMIZE_JPEG, 0, 1, 0, 3, "jpeg in document");
        expectChoice(choose(KIND_GIF_SINGLE, s, context), ACTION_CONVERT_TO_PNG, 0, 1, 1, 1, "gif1 in document");
        expectChoice(choose(KIND_XML, s, context), ACTION_MINIFY_XML, 0, 0, 0, 0, "xml in document");
        expectChoice(choose(KIND_SVG, s, context), ACTION_MINIFY_SVG, 0, 0, 0, 0, "svg in document");
        expectChoice(choose(KIND_GZIP, s, context), ACTION_OPTIMIZE_GZIP, 0, 0, 0, 0, "gzip in document");
    }
    for (ContentContext context : {CONTEXT_OOXML, CONTEXT_ODF}) {
        expectChoice(choose(KIND_BMP, s, context), ACTION_CONVERT_TO_PNG, 0, 1, 1, 1, "bmp in office");
        expectChoice(choose(KIND_TIFF, s, context), ACTION_CONVERT_TO_PNG, 0, 1, 1, 1, "tiff in office");
    }
    expectChoice(choose(KIND_BMP, s, CONTEXT_EPUB), ACTION_NONE, 0, 0, 0, 0, "bmp in epub");
    expectChoice(choose(KIND_TIFF, s, CONTEXT_EPUB), ACTION_NONE, 0, 0, 0, 0, "tiff in epub");

    s.svg_optimize = 1;
    s.gzip_strategy = 1;
    s.gzip_recursive = 1;
    expectChoice(choose(KIND_SVG, s, CONTEXT_ZIP_LIKE), ACTION_MINIFY_SVG, 0, 0, 0, 0, "svg zip-like on");
    expectChoice(choose(KIND_GZIP, s, CONTEXT_ZIP_LIKE), ACTION_OPTIMIZE_GZIP, 1, 0, 0, 0, "gzip zip-like on");
    expectChoice(choose(KIND_GZIP, s, CONTEXT_OOXML), ACTION_OPTIMIZE_GZIP, 1, 0, 0, 0, "gzip recursive");
    s.gzip_strategy = 2;
    expectChoice(choose(KIND_GZIP, s, CONTEXT_ZIP_LIKE), ACTION_NONE, 0, 0, 0, 0, "gzip extract not inside");

    s.epub_optimize = 0;
    s.compound_optimize = 0;
    s.mp3_strategy = 0;
    for (ContentContext context : documents) {
        expectChoice(choose(KIND_EPUB, s, context), ACTION_NONE, 0, 0, 0, 0, "epub setting decides");
        expectChoice(choose(KIND_CFBF, s, context), ACTION_NONE, 0, 0, 0, 0, "cfbf setting decides");
        expectChoice(choose(KIND_MP3, s, context), ACTION_NONE, 0, 0, 0, 0, "mp3 setting decides");
        expectChoice(choose(KIND_FLAC, s, context), ACTION_OPTIMIZE_FLAC, 0, 1, 0, 0, "flac as at top");
    }
}

} // namespace
