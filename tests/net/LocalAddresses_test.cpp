#include "net/LocalAddresses.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "runtime/Memory.h"

namespace {

TEST(LocalAddresses, LocalAddressesEndWithLoopback)
{
    std::uint32_t* addresses = nullptr;
    int count = OlvLocalAddresses(tv::ServedInterfaces{}, &addresses);
    ASSERT_GE(count, 1);
    EXPECT_EQ(addresses[count - 1], htonl(INADDR_LOOPBACK));
    for (int i = 0; i + 1 < count; ++i) EXPECT_NE(addresses[i], htonl(INADDR_LOOPBACK));
    tv::Free(addresses);
}

}  // namespace
