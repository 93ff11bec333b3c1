#pragma once
// The files VellBatch was given, found as the adder finds them, so that a file
// that gets no job still gets its line.
#include <stdint.h>
#include <string>
#include <vector>

struct GivenFile {
    std::wstring path;
    uint64_t size;
    uint64_t lastWriteTime;
};

// Each argument with "*" or "?" in its last part becomes the files and folders it
// matches (in the order the system lists them), as Windows programs expand them
// themselves; a pattern that matches nothing goes to unmatched.
void expandWildcards(const std::vector<std::wstring>& arguments, std::vector<std::wstring>* paths,
                     std::vector<std::wstring>* unmatched);

// Every file of path: the file itself, or every file below the folder, skipping the
// folders the adder skips.
void listGivenFiles(const std::wstring& path, std::vector<GivenFile>* files);

// Paths compared as the file system does: case and repeated or forward separators aside.
std::wstring comparablePath(const std::wstring& path);
