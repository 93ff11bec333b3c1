#pragma once
// Small file helpers for tests: a fresh folder per test, files from bytes.
#include <windows.h>
#include <stdint.h>
#include <string>

// A path the build wrote as its host sees it, as the program sees it: under Wine a
// Unix path is reached through drive Z:, and every slash becomes a backslash.
std::wstring wineHostPath(const char* hostPath);

// A new empty folder under the system temporary path, ending without a backslash.
std::wstring makeTestFolder(const wchar_t* tag);
void removeTestFolder(const std::wstring& folder);
bool writeTestFile(const std::wstring& path, const std::string& bytes);
std::string readTestFile(const std::wstring& path);
bool testPathExists(const std::wstring& path);
uint64_t testFileTime(const std::wstring& path, bool creation);
bool setTestFileTime(const std::wstring& path, uint64_t creation, uint64_t lastWrite);
// Whether files in the folder keep a creation time that is set on them (Wine on a
// Linux file system does not): a probe file is given one and read back.
bool creationTimesKept(const std::wstring& folder);

// Creates a file with the given size without writing its bytes (sparse where the
// file system allows), with head written at offset 0.
bool writeSizedTestFile(const std::wstring& path, const std::string& head, uint64_t size);

// The local header that starts a ZIP archive's first entry, followed by the entry's name
// and extra field (no data): enough for tests that look at the first entry only.
std::string zipLocalHeader(const std::string& name, unsigned method, const std::string& extra = std::string());
