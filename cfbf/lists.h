#pragma once

#include <stddef.h>

struct IUnknown;

void* growList(void* items, size_t count, size_t elementLength);
void appendReference(IUnknown*** list, size_t* count, IUnknown* reference);
