#pragma once
#include <atomic>
#include <stdint.h>

// A 32-bit word: 0 free, 1 taken. Held only for a few instructions.
typedef std::atomic<uint32_t> SpinLock;

void acquireSpinLock(SpinLock* lock);
void releaseSpinLock(SpinLock* lock);
