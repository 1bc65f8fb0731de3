// Arbitrary bytes as a SOAP body: tokenize, pair, and read the inner text of every start tag.
// The input sits in an allocation of its exact size, without a terminator.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/Memory.h"
#include "runtime/OlvXml.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1 << 16) return 0;
    char* buffer = static_cast<char*>(tv::Malloc(size));
    if (size != 0) std::memcpy(buffer, data, size);
    OlvXMLNode* first = OlvXml_Parse(buffer, 0, static_cast<int>(size));
    int result = OlvXml_Pair(first);
    volatile std::size_t sum = 0;
    for (OlvXMLNode* node = first; node != nullptr; node = node->next) {
        if (!node->is_start) continue;
        char* text = nullptr;
        int length = OlvXml_InnerXml(node, &text);
        if (text == nullptr) continue;
        if (text < buffer || length < 0 || text + length > buffer + size) __builtin_trap();
        for (int i = 0; i < length; ++i) sum = sum + static_cast<unsigned char>(text[i]);
        if (result == 0 && node->name[0] != '!' && node->closing == nullptr) __builtin_trap();
    }
    OlvXml_Free(first);
    tv::Free(buffer);
    return 0;
}
