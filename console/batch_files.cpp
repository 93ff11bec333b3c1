#include "console/batch_files.h"
#include <windows.h>
#include <wctype.h>
#include "base/file_util.h"
#include "console/batch_format.h"

void expandWildcards(const std::vector<std::wstring>& arguments, std::vector<std::wstring>* paths,
                     std::vector<std::wstring>* unmatched)
{
    for (const std::wstring& argument : arguments) {
        if (!isWildcardPattern(argument)) {
            paths->push_back(argument);
            continue;
        }
        std::wstring folder = patternFolder(argument);
        WIN32_FIND_DATAW found;
        HANDLE listing = FindFirstFileW(argument.c_str(), &found);
        bool any = false;
        if (listing != INVALID_HANDLE_VALUE) {
            do {
                const wchar_t* name = found.cFileName;
                if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0)
                    continue;
                paths->push_back(folder + name);
                any = true;
            } while (FindNextFileW(listing, &found));
            FindClose(listing);
        }
        if (!any)
            unmatched->push_back(argument);
    }
}

namespace {

struct FolderId {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

bool identify(const std::wstring& folder, FolderId* id)
{
    HANDLE handle = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return known;
}

// The same folders the adder leaves out: "$..." and dot names.
bool skippedFolder(const wchar_t* name)
{
    return name[0] == L'$' || (name[0] == L'.' && (name[1] == 0 || name[1] == L'.'));
}

// folder + name, in the "\\?\" form when the plain form would drop the end of the name.
std::wstring childPath(const std::wstring& folder, const wchar_t* name)
{
    std::wstring path = folder + name;
    if (!nameNeedsLongForm(name))
        return path;
    wchar_t* reachable = longPathOf(path.c_str(), nullptr);
    if (reachable) {
        path = reachable;
        release(reachable);
    }
    return path;
}

uint64_t sizeOf(const WIN32_FIND_DATAW& found)
{
    return (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
}

// up holds the folders from the start of the walk down to this one; a link back
// to one of them is not followed again.
void listFolder(const std::wstring& folder, std::vector<FolderId>* up, std::vector<GivenFile>* files)
{
    FolderId id;
    bool known = identify(folder, &id);
    if (known) {
        for (const FolderId& other : *up) {
            if (other.volume == id.volume && other.indexHigh == id.indexHigh && other.indexLow == id.indexLow)
                return;
        }
        up->push_back(id);
    }
    WIN32_FIND_DATAW found;
    HANDLE listing = FindFirstFileW((folder + L"*.*").c_str(), &found);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!skippedFolder(found.cFileName))
                    listFolder(childPath(folder, found.cFileName) + L"\\", up, files);
            } else {
                files->push_back({childPath(folder, found.cFileName), sizeOf(found),
                                  fileTimeValue(found.ftLastWriteTime)});
            }
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    if (known)
        up->pop_back();
}

} // namespace

void listGivenFiles(const std::wstring& path, std::vector<GivenFile>* files)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return;
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        uint64_t size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        files->push_back({path, size, fileTimeValue(data.ftLastWriteTime)});
        return;
    }
    std::wstring folder = path;
    while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/'))
        folder.pop_back();
    std::vector<FolderId> up;
    listFolder(folder + L"\\", &up, files);
}

std::wstring comparablePath(const std::wstring& path)
{
    std::wstring text;
    text.reserve(path.size());
    for (const wchar_t* p = withoutLongPrefix(path.c_str()); *p; ++p) {
        wchar_t c = *p;
        if (c == L'/')
            c = L'\\';
        if (c == L'\\' && !text.empty() && text.back() == L'\\')
            continue;
        text += static_cast<wchar_t>(towlower(c));
    }
    return text;
}
