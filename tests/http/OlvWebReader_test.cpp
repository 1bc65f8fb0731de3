#include "http/OlvWebReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "support/GuardedBuffer.h"

namespace {

struct Message {
    std::string method;
    std::string path;
    std::string body;
    int pieces_before_done;
};

// A server-mode reader fed by hand on a socket of a chain that never runs: the test plays
// the async socket's delivery loop and the web server's session (one feeder at a time).
// Each delivery offers exactly the unconsumed bytes with a guard page right after them, so a
// read one byte past the input faults in every build.
struct Feeder {
    static inline Feeder* current = nullptr;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    int fds[2] = {-1, -1};
    OlvAsyncSocket* socket = nullptr;
    OlvWebReader* reader = nullptr;
    std::string pending;
    std::vector<Message> messages;
    int pieces = 0;

    static void OnRequest(OlvWebSession*, OlvPacket* header, char* data, int* consumed, int length,
                          tv::WebDelivery done) noexcept
    {
        Feeder* f = current;
        if (done != tv::WebDelivery::Final) {
            f->pieces++;
            return;  // takes nothing before the end, like the device stack
        }
        f->messages.push_back(
            {std::string(header->method, static_cast<std::size_t>(header->method_length)),
             std::string(header->path, static_cast<std::size_t>(header->path_length)),
             std::string(data != nullptr ? data : "",
                         data != nullptr ? static_cast<std::size_t>(length) : 0),
             f->pieces});
        f->pieces = 0;
        *consumed = length;
        OlvWebClient_ResetReader(f->reader);  // answered at once: ready for the next request
    }

    Feeder()
    {
        current = this;
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
        socket = OlvAsyncSocket_Create(chain, 4096, nullptr, nullptr, nullptr, nullptr);
        OlvAsyncSocket_Adopt(socket, fds[0], nullptr, nullptr);
        reader = OlvWebClient_CreateReader(OnRequest, socket, nullptr);
    }
    ~Feeder()
    {
        OlvWebClient_DestroyReader(reader);
        OlvChain_Stop(chain);
        OlvChain_Run(chain);  // stopped already: only tears down
        ::close(fds[1]);
        current = nullptr;
    }
    bool Open() { return !OlvAsyncSocket_IsFree(socket); }
    void Feed(const std::string& bytes)
    {
        pending += bytes;
        while (!pending.empty() && Open()) {
            tv::GuardedBuffer input(pending);
            int consumed = 0, pause = 0;
            OlvWebClient_OnData(socket, input.data(), &consumed, input.size(), reader, &pause);
            if (!Open()) consumed = static_cast<int>(pending.size());
            pending.erase(0, static_cast<std::size_t>(consumed));
            if (consumed == 0) break;
        }
    }
    void FeedByteByByte(const std::string& bytes)
    {
        for (char c : bytes) Feed(std::string(1, c));
    }
};

TEST(OlvWebReader, PipelinedRequestsAndBodyFramings)
{
    Feeder f;
    f.Feed(
        "GET /a HTTP/1.1\r\nHost: x\r\n\r\n"
        "POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
        "GET /c HTTP/1.0\r\n\r\n"
        "POST /d HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(f.messages.size(), 4u);
    EXPECT_EQ(f.messages[0].path, "/a");
    EXPECT_EQ(f.messages[0].body, "");
    EXPECT_EQ(f.messages[1].method, "POST");
    EXPECT_EQ(f.messages[1].body, "hello");
    EXPECT_EQ(f.messages[2].path, "/c");  // 1.0 without length: no body on a request
    EXPECT_EQ(f.messages[3].body, "");
    // A body that arrives in pieces is offered as it comes and whole at the end.
    f.Feed("PUT /e HTTP/1.1\r\nContent-Length: 6\r\n\r\nab");
    f.Feed("cd");
    f.Feed("efGET /f HTTP/1.1\r\n\r\n");
    ASSERT_EQ(f.messages.size(), 6u);
    EXPECT_EQ(f.messages[4].body, "abcdef");
    EXPECT_GE(f.messages[4].pieces_before_done, 2);
    EXPECT_EQ(f.messages[5].path, "/f");
    EXPECT_TRUE(f.Open());
}

TEST(OlvWebReader, ChunkedBodyByteByByteWithTrailers)
{
    Feeder f;
    f.FeedByteByByte(
        "POST /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4;name=v\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nA: b\r\nC: d\r\n\r\n"
        "GET /next HTTP/1.1\r\n\r\n");
    ASSERT_EQ(f.messages.size(), 2u);
    EXPECT_EQ(f.messages[0].body, "Wikipedia in\r\n\r\nchunks.");
    EXPECT_EQ(f.messages[1].path, "/next");
    EXPECT_TRUE(f.Open());
}

// A stream cut in two at every byte, each part ending at a guard page: the header, a length,
// chunk framing and trailers are read the same whichever byte a read ends on.
TEST(OlvWebReader, EveryCutOfTheStreamGivesTheSameMessages)
{
    const std::string stream =
        "POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\nhello"
        "POST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
        "3;x=1\r\nabc\r\n2\r\nde\r\n0\r\nT: t\r\n\r\n"
        "GET /c HTTP/1.0\r\n\r\n";
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Feeder f;
        f.Feed(stream.substr(0, cut));
        f.Feed(stream.substr(cut));
        ASSERT_EQ(f.messages.size(), 3u) << cut;
        EXPECT_EQ(f.messages[0].body, "hello") << cut;
        EXPECT_EQ(f.messages[1].body, "abcde") << cut;
        EXPECT_EQ(f.messages[2].path, "/c") << cut;
        EXPECT_TRUE(f.Open()) << cut;
    }
}

TEST(OlvWebReader, LongHeaderIsParsedFromItsFirstWindow)
{
    Feeder f;
    std::string request =
        "GET /long HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(5000, 'b') + "\r\n\r\n";
    f.Feed(request.substr(0, 4000));
    EXPECT_TRUE(f.messages.empty());
    f.Feed(request.substr(4000));
    ASSERT_EQ(f.messages.size(), 1u);
    EXPECT_EQ(f.messages[0].method, "GET");
    EXPECT_EQ(f.messages[0].path, "/long");
}

TEST(OlvWebReader, HeaderBeyondItsLimitClosesTheConnection)
{
    Feeder f;
    f.Feed("GET /x HTTP/1.1\r\n");
    std::string line = "X-Fill: " + std::string(1000, 'f') + "\r\n";
    for (int i = 0; i < 70 && f.Open(); ++i) f.Feed(line);
    EXPECT_FALSE(f.Open());
    EXPECT_TRUE(f.messages.empty());
}

TEST(OlvWebReader, MalformedFramingClosesTheConnection)
{
    const char* cases[] = {
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcXY0\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 12abc\r\n\r\n",
        "GARBAGE\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n",  // a response sent to the server
    };
    for (const char* text : cases) {
        Feeder f;
        f.Feed(text);
        EXPECT_FALSE(f.Open()) << text;
        EXPECT_TRUE(f.messages.empty()) << text;
    }
}

}  // namespace
