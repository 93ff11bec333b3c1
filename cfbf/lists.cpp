#include "lists.h"

#include <windows.h>
#include <unknwn.h>
#include <stdint.h>

#include "messages.h"

// Returns `items` resized to hold exactly `count` elements. The lists of one run grow by a
// single element per append and are never freed: they live until the process ends, and a
// file has few enough streams and storages that the repeated reallocation does not matter.
void* growList(void* items, size_t count, size_t elementLength)
{
    if (count == 0 || elementLength == 0 || count > SIZE_MAX / elementLength)
        fail("error: out of memory\n", CFBF_EXIT_OUT_OF_MEMORY);
    HANDLE heap = GetProcessHeap();
    size_t length = count * elementLength;
    void* grown = items != nullptr ? HeapReAlloc(heap, 0, items, length) : HeapAlloc(heap, 0, length);
    if (grown == nullptr)
        fail("error: out of memory\n", CFBF_EXIT_OUT_OF_MEMORY);
    return grown;
}

// The caller's reference is taken over by the list; the list's owner releases it.
void appendReference(IUnknown*** list, size_t* count, IUnknown* reference)
{
    if (*count == SIZE_MAX)
        fail("error: out of memory\n", CFBF_EXIT_OUT_OF_MEMORY);
    IUnknown** grown = static_cast<IUnknown**>(growList(*list, *count + 1, sizeof(IUnknown*)));
    grown[*count] = reference;
    *list = grown;
    *count += 1;
}
