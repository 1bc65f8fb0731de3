// The settings file reader fed arbitrary bytes: it either refuses or reads a list that
// writes back to a file it reads the same way.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "shares/SharedFolders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> list;
    std::string message;
    const int result = tv::SharedFolders_Decode(data, size, &list, &message);
    if (result < 0) {
        if (message.empty() || !list.empty()) std::abort();
        return 0;
    }
    const std::string encoded = tv::SharedFolders_Encode(list);
    std::vector<std::string> again;
    if (tv::SharedFolders_Decode(reinterpret_cast<const unsigned char*>(encoded.data()),
                                 encoded.size(), &again, &message) != 0 ||
        again != list) {
        std::abort();
    }
    return 0;
}
