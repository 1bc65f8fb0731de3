// Arbitrary bytes as a datagram on the SSDP listen socket: the M-SEARCH checks and, for an
// accepted search, the choice of replies for its target.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "runtime/Memory.h"
#include "upnp/upnp_internal.h"

namespace {

void Emit(void* context, std::string_view suffix, std::string_view st) noexcept
{
    if (suffix.size() > 64 || st.empty()) __builtin_trap();
    ++*static_cast<int*>(context);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 4096) return 0;  // the listen socket's buffer
    char* buffer = static_cast<char*>(tv::Malloc(size == 0 ? 1 : size));
    if (size != 0) std::memcpy(buffer, data, size);
    tv::SsdpSearch search;
    if (tv::SsdpParseSearch(buffer, static_cast<int>(size), &search)) {
        if (search.target == nullptr || search.mx > 10) __builtin_trap();
        // A target may hold NUL bytes of its own; the copy is terminated after it.
        if (search.target[search.target_length] != '\0') __builtin_trap();
        int count = 0;
        int replies = tv::SsdpForEachReply(
            std::string_view(search.target, static_cast<std::size_t>(search.target_length)),
            "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", Emit, &count);
        if (replies != count || (replies != 0 && replies != 1 && replies != 5)) __builtin_trap();
        tv::Free(search.target);
    } else if (search.target != nullptr) {
        __builtin_trap();
    }
    tv::Free(buffer);
    return 0;
}
