// Byte buffers that change owner across modules (OwnTransfer sends, copied texts) are
// malloc memory; these wrappers give out-of-memory one answer: a message, then abort.
#pragma once

#include <cstddef>

namespace tv {

// Never returns null: prints a message and aborts when memory runs out.
[[nodiscard]] void* Malloc(std::size_t size) noexcept;
[[nodiscard]] void* Realloc(void* block, std::size_t size) noexcept;
void Free(void* block) noexcept;

// A NUL-terminated malloc copy of `length` bytes.
[[nodiscard]] char* CopyBytes(const char* text, std::size_t length) noexcept;

}  // namespace tv
