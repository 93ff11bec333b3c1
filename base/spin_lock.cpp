#include "base/spin_lock.h"
#include <windows.h>

void acquireSpinLock(SpinLock* lock)
{
    uint32_t expected = 0;
    while (!lock->compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
        expected = 0;
        YieldProcessor();
    }
}

void releaseSpinLock(SpinLock* lock)
{
    lock->exchange(0, std::memory_order_release);
}
