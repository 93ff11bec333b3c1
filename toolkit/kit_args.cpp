#include "kit_args.h"

#include <cstring>

namespace vkit {

namespace {

wchar_t lowerAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
}

bool isAsciiLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool isDrivePathAt(const std::wstring& s, std::size_t i)
{
    return i + 2 < s.size() && isAsciiLetter(s[i]) && s[i + 1] == L':' && s[i + 2] == L'\\';
}

bool isLongPathAt(const std::wstring& s, std::size_t i)
{
    return s.compare(i, 4, L"\\\\?\\") == 0 && i + 4 < s.size();
}

struct NamedTool {
    const wchar_t* name;
    ToolKind kind;
};

const NamedTool kTools[] = {
    {L"optipng.exe", ToolKind::OptiPng},
    {L"gifsicle.exe", ToolKind::Gifsicle},
    {L"7z.exe", ToolKind::SevenZip},
    {L"perl.exe", ToolKind::Perl},
    {L"flac.exe", ToolKind::Flac},
    {L"metaflac.exe", ToolKind::Metaflac},
    {L"advzip.exe", ToolKind::AdvZip},
    {L"mozjpegtran.exe", ToolKind::JpegTran},
    {L"ect_x64.exe", ToolKind::Ect},
    {L"deflopt.exe", ToolKind::DeflOpt},
    {L"defluff.exe", ToolKind::Defluff},
    {L"flexigif.exe", ToolKind::FlexiGif},
    {L"archipng.exe", ToolKind::ArchiPng},
    {L"mp3packer64.exe", ToolKind::Mp3Packer},
    {L"leanify.exe", ToolKind::Leanify},
};

} // namespace

bool equalsNoCase(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::wstring fileNamePart(const std::wstring& path)
{
    std::size_t cut = path.find_last_of(L"\\/");
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

ToolKind toolKindForName(const std::wstring& fileName)
{
    for (const NamedTool& t : kTools)
        if (equalsNoCase(fileName, t.name))
            return t.kind;
    return ToolKind::Unknown;
}

std::vector<std::wstring> splitCommandLine(const std::wstring& line)
{
    std::vector<std::wstring> out;
    std::size_t i = 0, n = line.size();

    // The program name: up to the closing quote, or up to the first blank.
    std::wstring first;
    if (i < n && line[i] == L'"') {
        ++i;
        while (i < n && line[i] != L'"')
            first += line[i++];
        if (i < n)
            ++i;
    } else {
        while (i < n && line[i] != L' ' && line[i] != L'\t')
            first += line[i++];
    }
    out.push_back(first);

    for (;;) {
        while (i < n && (line[i] == L' ' || line[i] == L'\t'))
            ++i;
        if (i >= n)
            break;
        std::wstring arg;
        bool quoted = false;
        while (i < n) {
            wchar_t c = line[i];
            if (!quoted && (c == L' ' || c == L'\t'))
                break;
            if (c == L'\\') {
                std::size_t count = 0;
                while (i < n && line[i] == L'\\') {
                    ++count;
                    ++i;
                }
                if (i < n && line[i] == L'"') {
                    arg.append(count / 2, L'\\');
                    if (count % 2) {
                        arg += L'"';
                        ++i;
                    }
                    // An even count leaves the quote to the grouping rule below.
                } else {
                    arg.append(count, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && line[i + 1] == L'"') {
                    arg += L'"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        out.push_back(arg);
    }
    return out;
}

std::size_t findWindowsPath(const std::wstring& arg)
{
    if (isDrivePathAt(arg, 0) || isLongPathAt(arg, 0))
        return 0;
    // Only options carry a path behind a prefix; a plain word such as a
    // member name inside an archive never does.
    if (arg.empty() || (arg[0] != L'-' && arg[0] != L'@'))
        return std::wstring::npos;
    for (std::size_t i = 1; i < arg.size(); ++i)
        if (isDrivePathAt(arg, i) || isLongPathAt(arg, i))
            return i;
    return std::wstring::npos;
}

bool splitWildcardTail(const std::wstring& path, std::wstring& folder, std::wstring& pattern)
{
    std::size_t cut = path.find_last_of(L'\\');
    if (cut == std::wstring::npos)
        return false;
    std::wstring last = path.substr(cut + 1);
    if (last.find_first_of(L"*?") == std::wstring::npos)
        return false;
    folder = path.substr(0, cut + 1);
    pattern = last;
    return true;
}

std::string toUtf8(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = static_cast<std::uint16_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
            std::uint32_t lo = static_cast<std::uint16_t>(text[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring fromUtf8(const std::string& text)
{
    std::wstring out;
    std::size_t i = 0, n = text.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = b;
        int extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0F;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1F;
            extra = 1;
        }
        ++i;
        for (int k = 0; k < extra && i < n; ++k, ++i)
            c = (c << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        if (c >= 0x10000) {
            c -= 0x10000;
            out += wchar_t(0xD800 + (c >> 10));
            out += wchar_t(0xDC00 + (c & 0x3FF));
        } else {
            out += wchar_t(c);
        }
    }
    return out;
}

std::string linuxPath(const std::wstring& path, PathTranslator translate)
{
    std::wstring folder, pattern;
    if (splitWildcardTail(path, folder, pattern)) {
        // Wine refuses wildcards in names, and the Linux tool expands the
        // pattern itself, so only the folder is translated.
        std::string dir = linuxPath(folder, translate);
        if (dir.empty() || dir.back() != '/')
            dir += '/';
        return dir + toUtf8(pattern);
    }
    std::string out;
    if (translate(path, out))
        return out;
    // Wine only translates paths whose folders exist. A path below a folder
    // that is yet to be made keeps its missing tail under the nearest
    // parent that does translate.
    std::wstring trimmed = path;
    while (!trimmed.empty() && trimmed.back() == L'\\')
        trimmed.pop_back();
    std::size_t cut = trimmed.find_last_of(L'\\');
    if (cut != std::wstring::npos && cut + 1 < trimmed.size() && cut >= 2) {
        std::string parent = linuxPath(trimmed.substr(0, cut + 1), translate);
        if (!parent.empty()) {
            if (parent.back() != '/')
                parent += '/';
            return parent + toUtf8(trimmed.substr(cut + 1));
        }
    }
    std::string plain = toUtf8(path);
    for (char& c : plain)
        if (c == '\\')
            c = '/';
    return plain;
}

std::string linuxArgument(const std::wstring& arg, PathTranslator translate)
{
    std::size_t at = findWindowsPath(arg);
    if (at == std::wstring::npos)
        return toUtf8(arg);
    return toUtf8(arg.substr(0, at)) + linuxPath(arg.substr(at), translate);
}

std::string lfToCrlf(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

std::string deflOptReport(const std::vector<std::wstring>& files, unsigned processed)
{
    // Both count lines use a 36-character label so that the count stands in
    // the same column as in the report the optimizer has always parsed.
    std::string r;
    r += "DeflOpt stand-in of the Vell tools kit\r\n";
    r += "No Deflate re-optimizer is available on this system;\r\n";
    r += "the files below are checked and left exactly as they are.\r\n";
    r += "\r\n";
    for (const std::wstring& f : files)
        r += toUtf8(f) + "\r\n";
    r += "\r\n";
    r += "Number of files processed  :        " + std::to_string(processed) + "\r\n";
    r += "Total number of bytes saved:        0\r\n";
    r += "Number of files rewritten  :        0\r\n";
    return r;
}

std::vector<std::string> pngChunkTypes(const std::uint8_t* data, std::size_t size)
{
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::string> types;
    if (size < 8 || std::memcmp(data, kSignature, 8) != 0)
        return types;
    std::size_t at = 8;
    while (at + 12 <= size) {
        std::uint32_t length = (std::uint32_t(data[at]) << 24) | (std::uint32_t(data[at + 1]) << 16) |
                               (std::uint32_t(data[at + 2]) << 8) | std::uint32_t(data[at + 3]);
        std::string type(reinterpret_cast<const char*>(data + at + 4), 4);
        bool seen = false;
        for (const std::string& t : types)
            seen = seen || t == type;
        if (!seen)
            types.push_back(type);
        if (type == "IEND" || length > size - at - 12)
            break;
        at += 12 + std::size_t(length);
    }
    return types;
}

std::string pngKeepChunks(const std::vector<std::string>& types, bool strip)
{
    static const char* const kAlwaysHandled[] = {"IHDR", "PLTE", "IDAT", "IEND", "tRNS"};
    static const char* const kColour[] = {"iCCP", "sRGB", "gAMA", "cHRM"};
    std::string list;
    for (const std::string& t : types) {
        bool skip = false;
        for (const char* h : kAlwaysHandled)
            skip = skip || t == h;
        if (!skip && strip) {
            bool colour = false;
            for (const char* c : kColour)
                colour = colour || t == c;
            skip = !colour;
        }
        if (skip)
            continue;
        if (!list.empty())
            list += ',';
        list += t;
    }
    return list;
}

std::wstring mp3PackerOutputName(const std::wstring& input)
{
    std::size_t slash = input.find_last_of(L"\\/");
    std::size_t dot = input.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash))
        return input + L"-vbr";
    return input.substr(0, dot) + L"-vbr" + input.substr(dot);
}

} // namespace vkit
