#include "allocation_watch.h"

#include <cstdlib>
#include <new>

namespace {

bool gWatching = false;
std::size_t gLargest = 0;

void* Allocate(std::size_t size)
{
    if (gWatching && size > gLargest)
        gLargest = size;
    if (void* memory = std::malloc(size == 0 ? 1 : size))
        return memory;
    throw std::bad_alloc();
}

} // namespace

namespace tarvik::fuzz {

AllocationWatch::AllocationWatch()
{
    gLargest = 0;
    gWatching = true;
}

AllocationWatch::~AllocationWatch()
{
    gWatching = false;
}

std::size_t AllocationWatch::Largest() const
{
    return gLargest;
}

} // namespace tarvik::fuzz

// Every plain form is replaced, so that no allocation made here is released
// by a library's own operator delete (which a sanitizer would call a mismatch).
void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return Allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    std::free(memory);
}
