// Filter texts as a control point may send them: any bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cds/CdsDidlSerializer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated copy
    const std::uint32_t mask = CdsFilter_Parse(text.c_str());
    const int length = CdsFilter_StringLength(mask);
    std::string names(static_cast<std::size_t>(length) + 1, '\0');
    if (CdsFilter_ToString(names.data(), mask) != length) std::abort();
    // The capability list parses back to the same output bits.
    const std::uint32_t listed = 0x011FFFFF | 0x18000000;
    if ((CdsFilter_Parse(names.c_str()) & listed & ~0x20u) != (mask & listed & ~0x20u))
        std::abort();
    return 0;
}
