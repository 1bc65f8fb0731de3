// Arbitrary bytes as a received header block: parse in place, then look up, serialise and
// clone whatever parsed. The input sits in an allocation of its exact size so that any write
// or read past the range is reported.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "runtime/Memory.h"
#include "runtime/OlvPacket.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1 << 16) return 0;
    char* buffer = static_cast<char*>(tv::Malloc(size));
    if (size != 0) std::memcpy(buffer, data, size);
    OlvPacket* packet = OlvPacket_Parse(buffer, 0, static_cast<int>(size));
    if (packet != nullptr) {
        for (const char* name : {"Host", "CONTENT-LENGTH", "st", "X"}) {
            const char* value =
                OlvPacket_GetHeader(packet, name, static_cast<int>(std::strlen(name)));
            if (value != nullptr) (void)std::strlen(value);
        }
        char* out = nullptr;
        int length = OlvPacket_Serialize(packet, &out);
        if (out[length] != '\0') __builtin_trap();
        tv::Free(out);

        OlvPacket* clone = OlvPacket_Clone(packet);
        OlvPacket_DeleteHeader(packet, "Host", 4);
        OlvPacket_Destroy(packet);
        // The clone must not depend on the buffer any more.
        if (size != 0) std::memset(buffer, 0x5A, size);
        length = OlvPacket_Serialize(clone, &out);
        if (out[length] != '\0') __builtin_trap();
        tv::Free(out);
        OlvPacket_Destroy(clone);
    }
    tv::Free(buffer);
    return 0;
}
