#include "app/DisplayProbe.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "runtime/UniqueFd.h"

namespace {

using namespace std::chrono_literals;

enum class Peer { kSilent, kCloses, kAnswers };

struct SetUpResult {
    tv::DisplayAnswer answer;
    std::string why;
    std::string request;  // what the display read
};

// X11SetUp against a display played on the other end of a socket pair: it reads the request,
// then stays silent, closes, or sends `reply`.
SetUpResult SetUpWith(Peer peer, const std::string& reply, const std::string& cookie)
{
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    tv::UniqueFd client(pair[0]);
    tv::UniqueFd display(pair[1]);
    SetUpResult result{};
    std::thread server([&] {
        char buffer[256];
        ssize_t n = read(display.get(), buffer, sizeof buffer);
        if (n > 0) result.request.assign(buffer, static_cast<std::size_t>(n));
        if (peer == Peer::kCloses) display.reset();
        if (peer == Peer::kAnswers) {
            EXPECT_EQ(write(display.get(), reply.data(), reply.size()),
                      static_cast<ssize_t>(reply.size()));
        }
    });
    result.answer = tv::X11SetUp(client.get(), cookie, 300ms, &result.why);
    server.join();
    return result;
}

std::string Counted(const std::string& text)
{
    return std::string{static_cast<char>(text.size() >> 8), static_cast<char>(text.size() & 0xff)} +
           text;
}

std::string XauthEntry(std::uint16_t family, const std::string& address, const std::string& number,
                       const std::string& name, const std::string& data)
{
    return std::string{static_cast<char>(family >> 8), static_cast<char>(family & 0xff)} +
           Counted(address) + Counted(number) + Counted(name) + Counted(data);
}

}  // namespace

TEST(DisplayProbe, X11SetUpTellsAnAnswerFromSilenceAndRefusal)
{
    SetUpResult silent = SetUpWith(Peer::kSilent, "", "");
    EXPECT_EQ(silent.answer, tv::DisplayAnswer::kSilent);
    EXPECT_EQ(silent.why, "no answer in time");

    EXPECT_EQ(SetUpWith(Peer::kCloses, "", "").answer, tv::DisplayAnswer::kRefused);

    // Failed: reason length 22, protocol 11.0, 6 words of reason.
    std::string failed = std::string("\0\x16\x0b\0\0\0\x06\0", 8) + "No protocol specified\n";
    failed.resize(8 + 24, '\0');
    SetUpResult refused = SetUpWith(Peer::kAnswers, failed, "");
    EXPECT_EQ(refused.answer, tv::DisplayAnswer::kRefused);
    EXPECT_EQ(refused.why, "the connection was refused: No protocol specified");
    // Without a cookie the request is the bare 12-byte set-up, little-endian, protocol 11.0.
    EXPECT_EQ(refused.request, std::string("l\0\x0b\0\0\0\0\0\0\0\0\0", 12));

    std::string cookie(16, '\x5a');
    SetUpResult answered =
        SetUpWith(Peer::kAnswers, std::string("\x01\0\x0b\0\0\0\0\0", 8), cookie);
    EXPECT_EQ(answered.answer, tv::DisplayAnswer::kAnswers);
    // Name length 18 and data length 16, each padded to four bytes.
    EXPECT_EQ(answered.request, std::string("l\0\x0b\0\0\0\x12\0\x10\0\0\0", 12) +
                                    "MIT-MAGIC-COOKIE-1" + std::string(2, '\0') + cookie);
}

TEST(DisplayProbe, X11CookieChosenAsTheClientLibraryDoes)
{
    char name[] = "/tmp/tv-xauth-XXXXXX";
    tv::UniqueFd made(mkstemp(name));
    ASSERT_TRUE(made);
    const std::string file = name;
    const std::uint16_t local = 256;
    const std::uint16_t wild = 65535;
    {
        std::ofstream out(file, std::ios::binary);
        out << XauthEntry(local, "elsewhere", "0", "MIT-MAGIC-COOKIE-1", "other-host")
            << XauthEntry(local, "den", "0", "XDM-AUTHORIZATION-1", "other-kind")
            << XauthEntry(local, "den", "1", "MIT-MAGIC-COOKIE-1", "display-one")
            << XauthEntry(wild, "", "0", "MIT-MAGIC-COOKIE-1", "wild-zero")
            << XauthEntry(local, "den", "", "MIT-MAGIC-COOKIE-1", "any-display")
            << XauthEntry(local, "den", "3", "MIT-MAGIC-COOKIE-1", "cut short").substr(0, 12);
    }
    EXPECT_EQ(tv::X11Cookie(file, "den", "1"), "display-one");
    EXPECT_EQ(tv::X11Cookie(file, "den", "0"), "wild-zero");
    EXPECT_EQ(tv::X11Cookie(file, "den", "2"), "any-display");
    EXPECT_EQ(tv::X11Cookie(file, "elsewhere", "2"), "");
    EXPECT_EQ(tv::X11Cookie(file, "den", "3"), "any-display");
    std::remove(name);
    EXPECT_EQ(tv::X11Cookie(file, "den", "0"), "");
}
