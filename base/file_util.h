#pragma once
// Small file routines shared by the job pipeline and the format pipelines.
// Every sink argument may be null; failures report SINK_SYSTEM_ERROR.
#include <windows.h>
#include <stdint.h>
#include "base/error_sink.h"

const size_t PATH_ROOM = 261;         // UTF-16 units for a path with its terminator
const size_t SCRATCH_FILE_ROOM = 274; // a scratch folder, a backslash and "x.flac"

HANDLE openForReading(const wchar_t* path, DWORD access, DWORD share, const ErrorSink* sink);
HANDLE createForWriting(const wchar_t* path, DWORD access, DWORD share, DWORD attributes,
                        const ErrorSink* sink);
uint64_t readFully(HANDLE file, void* buffer, uint64_t count, const ErrorSink* sink);
uint64_t readAtOffset(HANDLE file, uint64_t offset, void* buffer, uint64_t count,
                      const ErrorSink* sink);
// Maps a whole file read-only; returns the view and sets *mapping (close both when done).
const void* mapForReading(HANDLE file, HANDLE* mapping, const ErrorSink* sink);
uint64_t sizeOfPath(const wchar_t* path);
uint64_t lastWriteTimeOfPath(const wchar_t* path);
HANDLE openFolderForTimeStamping(const wchar_t* path);
void clearReadOnly(const wchar_t* path);
// Copies source to a new file copy (never over an existing one) with normal attributes.
bool copyToScratch(const wchar_t* source, const wchar_t* copy);
const wchar_t* fileNameOfPath(const wchar_t* path);
// Whether the plain form of a path ending in this name reaches another file: the
// system drops a name's trailing blanks and dots ("a.png." opens "a.png").
bool nameNeedsLongForm(const wchar_t* name);
// The "\\?\" form of path (a copy when it has it already), its last name kept as
// given; a heap string, null on failure.
wchar_t* longPathOf(const wchar_t* path, const ErrorSink* sink);
// longPathOf when the path's name needs it, otherwise a copy of path.
wchar_t* reachablePath(const wchar_t* path, const ErrorSink* sink);
// path without a "\\?\" before its drive letter, as it is shown and compared.
const wchar_t* withoutLongPrefix(const wchar_t* path);
// The text after the last dot of the whole path, or "" when there is none.
const wchar_t* extensionOfPath(const wchar_t* path);
// Compares a name with a lowercase ASCII literal; ASCII letters without case,
// a character above U+007F in the name matches any character of the literal.
bool equalsNoCase(const wchar_t* name, const char* lowercaseLiteral);

void* allocate(size_t count, size_t size, const ErrorSink* sink);
void* reallocate(void* block, size_t count, size_t size, const ErrorSink* sink);
void release(void* block);
// A heap copy of a UTF-16 string (null on failure).
wchar_t* duplicateString(const wchar_t* text, const ErrorSink* sink);
// One heap string made of the pieces run together (null on failure); argument
// strings of tools are built this way, nothing inserted or escaped.
wchar_t* joinStrings(const wchar_t* const* pieces, size_t count, const ErrorSink* sink);
// folder, a backslash and name into buffer; false when it does not fit in room units.
bool joinPath(wchar_t* buffer, size_t room, const wchar_t* folder, const wchar_t* name);

uint64_t fileTimeValue(const FILETIME& time);
FILETIME fileTimeOf(uint64_t value);
