#include "optimizers/mimetype_entry.h"
#include "base/file_util.h"
#include <string.h>

// Readers tell such a package by its first local header alone: the entry "mimetype",
// uncompressed, so that its text follows the name at byte 38 (the `file` command and
// the OpenDocument and EPUB packaging rules rely on it). Whatever the package's own
// mimetype text says, a rebuilt archive must keep that layout.
bool startsWithStoredMimetype(const uint8_t* head, size_t length)
{
    static const uint8_t signature[4] = {0x50, 0x4B, 0x03, 0x04};
    if (length < STORED_MIMETYPE_HEAD_LENGTH || memcmp(head, signature, 4) != 0)
        return false;
    unsigned method = head[8] | (head[9] << 8);
    unsigned nameLength = head[26] | (head[27] << 8);
    return method == 0 && nameLength == 8 && memcmp(head + 30, "mimetype", 8) == 0;
}

bool archiveStartsWithStoredMimetype(const wchar_t* archive)
{
    HANDLE file = openForReading(archive, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr);
    if (!file)
        return false;
    uint8_t head[STORED_MIMETYPE_HEAD_LENGTH];
    uint64_t got = readFully(file, head, sizeof(head), nullptr);
    CloseHandle(file);
    return startsWithStoredMimetype(head, static_cast<size_t>(got));
}
