#include "runtime/ServerLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

void Capture(void* lines, const char* line) noexcept
{
    static_cast<std::vector<std::string>*>(lines)->emplace_back(line);
}

// Text from the network or a file name cannot end a line or forge one: each call is one line,
// its control bytes written visibly.
TEST(ServerLog, ControlBytesAreWrittenVisiblyAndEachCallIsOneLine)
{
    std::vector<std::string> lines;
    const ServerLogTarget target{.append = Capture, .window = &lines};
    ServerLog_SetTarget(&target);
    const std::string forged =
        "/content/x.mp3\r\nClosed the connection of 10.9.9.9 to make room\t\x1b[2J\x7f\x01";
    ServerLog("GET %s RANGE (%s)", forged.c_str(), "");
    ServerLog("%s", "Incoming http request");
    ServerLog("Not shared: %s", "/srv/caf\xc3\xa9 \\x0a");
    ServerLog_SetTarget(nullptr);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "GET /content/x.mp3\\x0d\\x0aClosed the connection of 10.9.9.9 to make "
                         "room\\x09\\x1b[2J\\x7f\\x01 RANGE ()",
                         "Incoming http request", "Not shared: /srv/caf\xc3\xa9 \\x0a"}));
}

}  // namespace
