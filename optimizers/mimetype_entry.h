#pragma once
// The stored "mimetype" entry that OpenDocument and EPUB packages begin with.
#include <stddef.h>
#include <stdint.h>

// The first local header up to the end of the name "mimetype".
const size_t STORED_MIMETYPE_HEAD_LENGTH = 38;

bool startsWithStoredMimetype(const uint8_t* head, size_t length);
// False also when the archive cannot be read.
bool archiveStartsWithStoredMimetype(const wchar_t* archive);
