// The global operator new of the memory test: limited_new.h says how.
#include "tests/sim/host_memory/limited_new.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

std::atomic<unsigned long long> g_Allocations = 0;
unsigned long long g_LimitAt = 0;
bool g_Refused = false;

namespace
{
// The bytes held, and the most that may be.
std::atomic<size_t> g_Held = 0;
std::atomic<size_t> g_Most = ~size_t{0};
} // namespace

// As the standard one does: where the memory is not there, the new-handler
// is called and the allocation tried again; with none, std::bad_alloc.
void* operator new(size_t size)
{
    const bool limit = ++g_Allocations == g_LimitAt;
    if (limit)
        g_Most = g_Held.load();
    const bool refused = g_Refused && g_Allocations >= g_LimitAt && size >= kRefusedBytes;
    if (refused)
        g_Refused = false;
    for (;;)
    {
        if (!refused && g_Held + size <= g_Most)
            if (void* block = malloc(size != 0 ? size : 1))
            {
                g_Held += malloc_usable_size(block);
                return block;
            }
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

void operator delete(void* block) noexcept
{
    if (block == nullptr)
        return;
    g_Held -= malloc_usable_size(block);
    free(block);
}

// Every other form goes through these two: a sanitizer's run-time library
// would otherwise answer some of them with blocks of its own.
void* operator new[](size_t size)
{
    return operator new(size);
}

void* operator new(size_t size, const std::nothrow_t&) noexcept
{
    try
    {
        return operator new(size);
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

void* operator new[](size_t size, const std::nothrow_t& nothrow) noexcept
{
    return operator new(size, nothrow);
}

void operator delete[](void* block) noexcept
{
    operator delete(block);
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

void operator delete[](void* block, size_t) noexcept
{
    operator delete(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept
{
    operator delete(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept
{
    operator delete(block);
}
