// Allocation with a single out-of-memory policy.
#include "runtime/Memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tv {

namespace {
[[noreturn]] void OutOfMemory(std::size_t size) noexcept
{
    std::fprintf(stderr, "Out of memory allocating %zu bytes\n", size);
    std::abort();
}
}  // namespace

void* Malloc(std::size_t size) noexcept
{
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) OutOfMemory(size);
    return block;
}

void* Realloc(void* block, std::size_t size) noexcept
{
    void* moved = std::realloc(block, size == 0 ? 1 : size);
    if (moved == nullptr) OutOfMemory(size);
    return moved;
}

void Free(void* block) noexcept
{
    std::free(block);
}

char* CopyBytes(const char* text, std::size_t length) noexcept
{
    char* copy = static_cast<char*>(Malloc(length + 1));
    if (length != 0) std::memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

}  // namespace tv
