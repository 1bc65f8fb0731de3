#include "mediaserver/MediaTransfer.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "http/OlvWebServer.h"
#include "mediaserver/FileIoAbstraction.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvThreadPool.h"
#include "support/ChainRunner.h"
#include "support/LoopbackClient.h"
#include "support/Resident.h"
#include "support/TempTree.h"
#include "support/TestContext.h"

namespace {

using tv::test::LoopbackClient;
using tv::test::TempTree;
using tv::test::WaitUntil;

constexpr std::string_view kNotFound = "HTTP/1.1 404 File Not Found\r\n\r\n";
constexpr std::string_view kBadRequest = "HTTP/1.1 400 Bad Request\r\n\r\n";
constexpr std::string_view kInvalidRange = "HTTP/1.1 416 Invalid Range\r\n\r\n";
constexpr std::string_view kNotAcceptable = "HTTP/1.1 406 Not Acceptable\r\n\r\n";
constexpr std::string_view kNoTimeSeek = "HTTP/1.1 406 Time-based seek not supported\r\n\r\n";
constexpr std::string_view kNoPlaySpeed = "HTTP/1.1 406 PlaySpeeds not supported\r\n\r\n";
constexpr const char* kFeatures = "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01";
constexpr tv::MediaTransferFraming kProtocol = tv::MediaTransferFraming::Protocol;
constexpr tv::MediaTransferFraming kLength = tv::MediaTransferFraming::Length;
constexpr tv::MediaTransferFraming kBothFramings[] = {kProtocol, kLength};

const char* NameOf(tv::MediaTransferFraming framing)
{
    return framing == kLength ? "framed by length" : "protocol";
}

TEST(MediaTransferRange, ParsesEveryForm)
{
    struct Case {
        const char* value;
        std::int64_t size;
        int result;
        std::int64_t start;
        std::int64_t length;
    };
    const Case cases[] = {
        {"bytes=0-", 1000, 0, 0, 1000},
        {"bytes=0-499", 1000, 0, 0, 500},
        {"bytes=-100", 1000, 0, 900, 100},
        {"bytes=900-5000", 1000, 0, 900, 100},
        {"bytes=-2000", 1000, 0, 0, 1000},
        {"bytes=999-999", 1000, 0, 999, 1},
        {"bytes=1000-", 1000, 1, 0, 0},
        {"bytes=-0", 1000, 1, 0, 0},
        {"bytes=500-100", 1000, 1, 0, 0},
        {"bytes=-", 1000, 1, 0, 0},
        {"bytes=0-", 0, 1, 0, 0},
        {"bytes=0-1,5-6", 1000, 2, 0, 0},
        {"items=0-5", 1000, 2, 0, 0},
        {"Bytes=0-5", 1000, 2, 0, 0},
        {"bytes 0-5", 1000, 2, 0, 0},
        {"bytes=5", 1000, 2, 0, 0},
        {"bytes=0-1=2", 1000, 2, 0, 0},
        // 64-bit positions: the last bytes of a 5 GiB file.
        {"bytes=5368709112-", 5368709120LL, 0, 5368709112LL, 8},
        {"bytes=-8", 5368709120LL, 0, 5368709112LL, 8},
        {"bytes=4294967296-4294967300", 5368709120LL, 0, 4294967296LL, 5},
        {"bytes=99999999999999999999999-", 1000, 1, 0, 0},
        {"bytes=0-99999999999999999999999", 1000, 0, 0, 1000},
    };
    for (const Case& c : cases) {
        std::int64_t start = -1;
        std::int64_t length = -1;
        EXPECT_EQ(MediaTransfer_ParseRange(c.value, &start, &length, c.size), c.result) << c.value;
        if (c.result == 0) {
            EXPECT_EQ(start, c.start) << c.value;
            EXPECT_EQ(length, c.length) << c.value;
        }
    }
}

// A shared folder served by a real web server on a chain thread, with three pool workers and a
// "content" handler that maps URLs the way the content source does.
class Transfer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tree_.ok());
        media_ = tree_.Dir("Media");
        ASSERT_TRUE(tree_.Share({media_}));
        context_->folders = tree_.folders();
        pool_ = OlvThreadPool_Create();
        for (int i = 0; i < 3; ++i) workers_.emplace_back([p = pool_] { OlvThreadPool_Run(p); });
        tv::ThreadPoolWaitForWorkers(pool_, 3);
        chain_ = OlvChain_Create(OlvLifeTime_Create);
        server_ = OlvWebServer_Create(chain_, context_.get(), 5, 0, nullptr, nullptr);
        OlvWebServer_AddVirtualDirectory(server_, "content", 7, Handler, this);
        port_ = OlvWebServer_GetPort(server_);
        if (stall_limit_ms_ > 0) tv::WebServerSetStallLimitForTest(server_, stall_limit_ms_);
        runner_ = std::make_unique<tv::test::ChainThread>(chain_);
        runner_->Start();
    }

    void TearDown() override
    {
        EXPECT_TRUE(WaitUntil([this] { return Live() == 0; }))
            << "transfers still alive: " << Live();
        runner_->Stop();
        if (pool_ != nullptr) OlvThreadPool_Destroy(pool_);
        for (std::thread& t : workers_) t.join();
    }

    static void Done(OlvWebSession*, MediaTransferState* state, tv::MediaTransferDone code,
                     void* user) noexcept
    {
        auto* self = static_cast<Transfer*>(user);
        std::int64_t sent;
        {
            std::scoped_lock hold(state->lock);
            sent = state->sent;
        }
        self->last_sent_ = sent;
        if (code == tv::kTransferDoneAll) ++self->done_all_;
        if (code == tv::kTransferDoneStopped) ++self->done_stopped_;
    }

    static void Handler(OlvWebSession* session, OlvPacket* header, char*, int* begin, int end,
                        tv::WebDelivery, void* user) noexcept
    {
        auto* self = static_cast<Transfer*>(user);
        *begin = end;
        std::string path(header->path, static_cast<std::size_t>(header->path_length));
        path.resize(static_cast<std::size_t>(OlvHttpUnescapeInPlace(path.data())));
        if (!path.empty()) path.erase(0, 1);
        for (char& c : path)
            if (c == '/') c = '\\';
        std::string extension = path.substr(std::min(path.rfind('.'), path.size()));
        const char* mime = nullptr;
        int modes = tv::kTransferBackground;
        if (extension == ".mp3") {
            mime = "audio/mpeg";
            modes |= tv::kTransferStreaming;
        } else if (extension == ".jpg") {
            mime = "image/jpeg";
            modes |= tv::kTransferInteractive;
        } else if (extension == ".txt") {
            mime = "text/plain";
        }
        ++self->calls_;
        // The device stack's mark, never the transfer's.
        self->expect_mark_seen_ = tv::WebSessionExpectChecked(session);
        MediaTransferState* state = MediaTransfer_HandleGet(
            session, self->pool_, self->context_.get(), header, path.c_str(), modes, mime,
            kFeatures, nullptr, self, Done, self->framing_.load());
        if (state != nullptr && self->pause_next_.load()) {
            // The first block is read in a later turn: it finds the request.
            std::scoped_lock hold(state->lock);
            state->pause_requested = 1;
            self->paused_session_ = session;
        }
    }

    // URL path of a file in the shared folder.
    std::string Url(const std::string& name) const
    {
        std::string path = tv::FileIoEscapeFolder(media_) + "/" + name;
        std::vector<char> escaped(static_cast<std::size_t>(OlvHttpEscapeLength(path.c_str())));
        OlvHttpEscape(escaped.data(), path.c_str());
        return "/content/" + std::string(escaped.data());
    }

    static std::string Get(const std::string& url, const std::string& extra = "",
                           const char* method = "GET")
    {
        return std::string(method) + " " + url + " HTTP/1.0\r\n" + extra + "\r\n";
    }

    // One HTTP/1.0 exchange, read to the close.
    std::string Exchange(const std::string& request)
    {
        LoopbackClient client(port_);
        EXPECT_TRUE(client.connected());
        client.Send(request);
        std::string reply = client.ReadAll();
        EXPECT_TRUE(client.closed()) << request;
        return reply;
    }

    static std::string HeaderOf(const std::string& reply)
    {
        return reply.substr(0, reply.find("\r\n\r\n") + 4);
    }
    static std::string BodyOf(const std::string& reply)
    {
        std::size_t end = reply.find("\r\n\r\n");
        return end == std::string::npos ? std::string() : reply.substr(end + 4);
    }
    static bool Has(const std::string& header, const std::string& line)
    {
        return header.find("\r\n" + line + "\r\n") != std::string::npos;
    }
    static std::size_t LengthOf(const std::string& header)
    {
        std::size_t at = header.find("\r\nContent-Length: ");
        return at == std::string::npos ? 0 : std::strtoull(header.c_str() + at + 18, nullptr, 10);
    }

    // Reads one chunked body; false when it is cut short or malformed.
    static bool ReadChunked(LoopbackClient& client, std::string* body,
                            std::vector<std::size_t>* sizes = nullptr)
    {
        for (;;) {
            std::string line = client.ReadUntil("\r\n");
            if (line.size() < 3) return false;
            unsigned long size = std::strtoul(line.c_str(), nullptr, 16);
            if (size == 0) return client.ReadBytes(2) == "\r\n";
            if (sizes != nullptr) sizes->push_back(size);
            std::string data = client.ReadBytes(size);
            if (data.size() != size) return false;
            *body += data;
            if (client.ReadBytes(2) != "\r\n") return false;
        }
    }

    static std::string Pattern(std::size_t size)
    {
        std::string text(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            text[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
        return text;
    }

    int Live() { return tv::MediaTransferLiveCount(*context_->transfers); }

    int stall_limit_ms_ = 0;  // before SetUp: the server's, when set
    TempTree tree_;
    std::string media_;
    tv::test::TestContext context_;
    OlvThreadPool* pool_ = nullptr;
    std::vector<std::thread> workers_;
    OlvChain* chain_ = nullptr;
    OlvWebServer* server_ = nullptr;
    std::uint16_t port_ = 0;
    std::unique_ptr<tv::test::ChainThread> runner_;
    std::atomic<int> calls_{0};
    std::atomic<bool> pause_next_{false};
    std::atomic<OlvWebSession*> paused_session_{nullptr};
    std::atomic<int> done_all_{0};
    std::atomic<int> done_stopped_{0};
    std::atomic<std::int64_t> last_sent_{-1};
    std::atomic<bool> expect_mark_seen_{false};
    std::atomic<tv::MediaTransferFraming> framing_{tv::MediaTransferFraming::Protocol};
};

// Keeps a pool worker busy until released.
struct Blocker {
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    static void Run(OlvThreadPool*, void* data) noexcept
    {
        auto* self = static_cast<Blocker*>(data);
        self->inside = true;
        while (!self->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
};

TEST_F(Transfer, WholeFileAndEveryRangeForm)
{
    const std::string content = Pattern(1000);
    tree_.File("Media/a.mp3", content);
    for (tv::MediaTransferFraming framing : kBothFramings) {
        framing_ = framing;
        // Framed by length, every answer offers ranges and tells its length, and one to an
        // HTTP/1.0 request says that the connection ends after it.
        const bool by_length = framing == kLength;
        std::string whole = Exchange(Get(Url("a.mp3")));
        std::string header = HeaderOf(whole);
        EXPECT_EQ(header.substr(0, 17), "HTTP/1.1 200 OK\r\n");
        EXPECT_TRUE(Has(header, "Content-Length: 1000"));
        EXPECT_TRUE(Has(header, "transferMode.dlna.org: Streaming"));
        EXPECT_TRUE(Has(header, "Content-Type: audio/mpeg"));
        EXPECT_TRUE(Has(header, std::string("contentFeatures.dlna.org: ") + kFeatures));
        EXPECT_EQ(Has(header, "Accept-Ranges: bytes"), by_length) << header;
        EXPECT_EQ(Has(header, "Connection: close"), by_length) << header;
        EXPECT_EQ(BodyOf(whole), content);

        struct Case {
            const char* range;
            const char* content_range;
            std::size_t start;
            std::size_t length;
        };
        for (const Case& c : {Case{"bytes=0-", "bytes 0-999/1000", 0, 1000},
                              Case{"bytes=-100", "bytes 900-999/1000", 900, 100},
                              Case{"bytes=900-5000", "bytes 900-999/1000", 900, 100},
                              Case{"bytes=-2000", "bytes 0-999/1000", 0, 1000},
                              Case{"bytes=10-19", "bytes 10-19/1000", 10, 10}}) {
            std::string reply =
                Exchange(Get(Url("a.mp3"), std::string("Range: ") + c.range + "\r\n"));
            std::string h = HeaderOf(reply);
            EXPECT_EQ(h.substr(0, 30), "HTTP/1.1 206 Partial Content\r\n") << c.range;
            EXPECT_TRUE(Has(h, std::string("Content-Range: ") + c.content_range)) << h;
            EXPECT_EQ(Has(h, "Content-Length: " + std::to_string(c.length)), by_length) << h;
            EXPECT_EQ(Has(h, "Accept-Ranges: bytes"), by_length) << h;
            EXPECT_EQ(BodyOf(reply), content.substr(c.start, c.length)) << c.range;
        }
        for (const char* range : {"bytes=1000-", "bytes=-0", "bytes=500-100"}) {
            EXPECT_EQ(Exchange(Get(Url("a.mp3"), std::string("Range: ") + range + "\r\n")),
                      by_length ? "HTTP/1.1 416 Invalid Range\r\nContent-Range: bytes */1000\r\n"
                                  "Content-Length: 0\r\nConnection: close\r\n\r\n"
                                : kInvalidRange);
        }
        for (const char* range : {"bytes=0-1,5-6", "items=0-5", "bytes=7"}) {
            EXPECT_EQ(Exchange(Get(Url("a.mp3"), std::string("Range: ") + range + "\r\n")),
                      by_length ? "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n"
                                  "Connection: close\r\n\r\n"
                                : kBadRequest);
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == 12; }));
    EXPECT_EQ(done_stopped_.load(), 0);
}

// A refusal carries no length, so an HTTP/1.1 client sees its end only when the connection
// ends: it ends right after the refusal, and a request pipelined behind it is not answered.
// Framed by length, a refusal says that it has no body and that the connection ends, and a 416
// names the size.
TEST_F(Transfer, RefusalsEndTheirConnection)
{
    tree_.File("Media/a.mp3", "0123456789");
    tree_.File("Media/p.jpg", "jpeg");
    const std::string next = "GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n";
    constexpr std::string_view kEnd = "Content-Length: 0\r\nConnection: close\r\n\r\n";
    struct Case {
        std::string request;
        std::string_view refusal;
        std::string by_length;
    };
    const Case cases[] = {
        {"GET " + Url("none.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n", kNotFound,
         "HTTP/1.1 404 File Not Found\r\n"},
        {"GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nRange: bytes=7\r\n\r\n", kBadRequest,
         "HTTP/1.1 400 Bad Request\r\n"},
        {"GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nRange: bytes=10-\r\n\r\n", kInvalidRange,
         "HTTP/1.1 416 Invalid Range\r\nContent-Range: bytes */10\r\n"},
        {"GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nTimeSeekRange.dlna.org: npt=1-\r\n\r\n",
         kNoTimeSeek, "HTTP/1.1 406 Time-based seek not supported\r\n"},
        {"GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nPlaySpeed.dlna.org: speed=2\r\n\r\n",
         kNoPlaySpeed, "HTTP/1.1 406 PlaySpeeds not supported\r\n"},
        {"GET " + Url("p.jpg") + " HTTP/1.1\r\nHost: x\r\ntransferMode.dlna.org: Streaming\r\n\r\n",
         kNotAcceptable, "HTTP/1.1 406 Not Acceptable\r\n"},
    };
    for (tv::MediaTransferFraming framing : kBothFramings) {
        framing_ = framing;
        for (const Case& c : cases) {
            LoopbackClient client(port_);
            ASSERT_TRUE(client.Send(c.request + next));
            EXPECT_EQ(client.ReadAll(),
                      framing == kLength ? c.by_length + std::string(kEnd) : std::string(c.refusal))
                << c.request;
            EXPECT_TRUE(client.closed()) << c.request;
        }
    }
}

TEST_F(Transfer, DlnaHeaders)
{
    tree_.File("Media/a.mp3", "0123456789");
    tree_.File("Media/p.jpg", "jpeg");
    tree_.File("Media/n.bin", "raw");
    tree_.File("Media/t.txt", "text");

    std::string reply = Exchange(Get(Url("a.mp3"), "getcontentFeatures.dlna.org: 1\r\n"));
    EXPECT_TRUE(Has(HeaderOf(reply), std::string("contentFeatures.dlna.org: ") + kFeatures));
    EXPECT_EQ(Exchange(Get(Url("a.mp3"), "getcontentFeatures.dlna.org: 0\r\n")), kBadRequest);

    // Transfer modes against the allowed set.
    EXPECT_EQ(Exchange(Get(Url("p.jpg"), "transferMode.dlna.org: Streaming\r\n")), kNotAcceptable);
    reply = Exchange(Get(Url("p.jpg"), "transferMode.dlna.org: streaming\r\n"));  // no mode named
    EXPECT_TRUE(Has(HeaderOf(reply), "transferMode.dlna.org: Interactive"));
    EXPECT_TRUE(Has(HeaderOf(reply), "Content-Type: image/jpeg"));
    reply = Exchange(Get(Url("p.jpg"), "transferMode.dlna.org: Background\r\n"));
    EXPECT_TRUE(Has(HeaderOf(reply), "transferMode.dlna.org: Background"));
    EXPECT_EQ(BodyOf(reply), "jpeg");
    EXPECT_EQ(Exchange(Get(Url("n.bin"))), kNotAcceptable);  // unknown type, no mode
    reply = Exchange(Get(Url("n.bin"), "transferMode.dlna.org: Background\r\n"));
    EXPECT_TRUE(Has(HeaderOf(reply), "Content-Type: application/octet-stream"));
    EXPECT_EQ(BodyOf(reply), "raw");
    reply = Exchange(Get(Url("t.txt")));  // known type outside audio, video, image: no mode header
    EXPECT_EQ(HeaderOf(reply).find("transferMode"), std::string::npos);
    EXPECT_EQ(BodyOf(reply), "text");

    // Time seek and play speed.
    EXPECT_EQ(Exchange(Get(Url("a.mp3"), "TimeSeekRange.dlna.org: npt=10-\r\n")), kNoTimeSeek);
    EXPECT_EQ(Exchange(Get(Url("a.mp3"), "PlaySpeed.dlna.org: speed=2\r\n")), kNoPlaySpeed);
    reply = Exchange(Get(Url("a.mp3"), "Range: bytes=2-4\r\nTimeSeekRange.dlna.org: npt=10-\r\n"));
    EXPECT_TRUE(Has(HeaderOf(reply), "Content-Range: bytes 2-4/10"));
    EXPECT_EQ(BodyOf(reply), "234");
    for (const char* extra :
         {"TimeSeekRange.dlna.org: npt=1-\r\n", "PlaySpeed.dlna.org: speed=1\r\n",
          "realTimeInfo.dlna.org: DLNA.ORG_TLAG=*\r\n"}) {
        for (const char* mode : {"Background", "Interactive"}) {
            EXPECT_EQ(Exchange(Get(Url("a.mp3"),
                                   std::string("Range: bytes=0-\r\ntransferMode.dlna.org: ") +
                                       mode + "\r\n" + extra)),
                      kBadRequest)
                << mode << " " << extra;
        }
    }
}

TEST_F(Transfer, HeadForHttp10And11)
{
    tree_.File("Media/a.mp3", Pattern(5000));
    std::string reply = Exchange(Get(Url("a.mp3"), "", "HEAD"));
    EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_TRUE(Has(HeaderOf(reply), "Content-Length: 5000"));
    EXPECT_EQ(BodyOf(reply), "");

    LoopbackClient client(port_);
    client.Send("HEAD " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string header = client.ReadUntil("\r\n\r\n");
    EXPECT_TRUE(Has(header, "Transfer-Encoding: chunked")) << header;
    EXPECT_EQ(header.find("Content-Length"), std::string::npos);
    // No body and no terminating chunk: the next answer follows the header directly.
    client.Send("GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nRange: bytes=0-2\r\n\r\n");
    std::string next = client.ReadUntil("\r\n\r\n");
    EXPECT_EQ(next.substr(0, 30), "HTTP/1.1 206 Partial Content\r\n") << next;
    std::string body;
    EXPECT_TRUE(ReadChunked(client, &body));
    EXPECT_EQ(body, Pattern(5000).substr(0, 3));
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == 1; }));  // HEAD starts no transfer

    // Framed by length, HEAD gives GET's header without its body on a connection that stays,
    // and the answer after which the connection ends says so.
    framing_ = kLength;
    LoopbackClient kept(port_);
    const std::string ranged = Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nRange: bytes=100-\r\n\r\n";
    kept.Send("HEAD " + ranged);
    const std::string head = kept.ReadUntil("\r\n\r\n");
    kept.Send("GET " + ranged);
    const std::string get = kept.ReadUntil("\r\n\r\n");
    EXPECT_EQ(head, get);
    EXPECT_TRUE(Has(get, "Content-Length: 4900")) << get;
    EXPECT_TRUE(Has(get, "Accept-Ranges: bytes")) << get;
    EXPECT_EQ(get.find("Transfer-Encoding"), std::string::npos);
    EXPECT_EQ(get.find("Connection"), std::string::npos);
    EXPECT_EQ(kept.ReadBytes(4900), Pattern(5000).substr(100));
    kept.Send("HEAD " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string last = kept.ReadAll();
    EXPECT_TRUE(kept.closed());
    EXPECT_TRUE(Has(HeaderOf(last), "Content-Length: 5000")) << last;
    EXPECT_TRUE(Has(HeaderOf(last), "Connection: close")) << last;
    EXPECT_EQ(BodyOf(last), "");
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == 2; }));
}

// Every chunk on the wire holds 16384 bytes but the body's last, whatever the read window: a
// file of whole blocks, of whole windows, one byte more, and ranges inside and across windows.
TEST_F(Transfer, BlocksOnAKeepAliveConnection)
{
    constexpr std::size_t kBlock = tv::kTransferBlockBytes;
    constexpr std::size_t kWindow = 16 * kBlock;
    const std::string exact = Pattern(3 * kBlock);
    const std::string odd = Pattern(2 * kBlock + 17);
    const std::string windows = Pattern(2 * kWindow);
    const std::string over = Pattern(kWindow + 1);
    tree_.File("Media/exact.mp3", exact);
    tree_.File("Media/odd.mp3", odd);
    tree_.File("Media/windows.mp3", windows);
    tree_.File("Media/over.mp3", over);
    tree_.File("Media/empty.mp3", "");

    struct Case {
        const char* name;
        const std::string* content;
        std::size_t start;
        std::size_t length;
    };
    LoopbackClient client(port_);
    int answered = 0;
    for (const Case& c :
         {Case{"exact.mp3", &exact, 0, exact.size()}, Case{"exact.mp3", &exact, 0, exact.size()},
          Case{"odd.mp3", &odd, 0, odd.size()}, Case{"windows.mp3", &windows, 0, windows.size()},
          Case{"over.mp3", &over, 0, over.size()}, Case{"over.mp3", &over, 100, 30000},
          Case{"windows.mp3", &windows, kWindow - 5, 10}}) {
        std::string range;
        if (c.length != c.content->size()) {
            range = "Range: bytes=" + std::to_string(c.start) + "-" +
                    std::to_string(c.start + c.length - 1) + "\r\n";
        }
        client.Send("GET " + Url(c.name) + " HTTP/1.1\r\nHost: x\r\n" + range + "\r\n");
        std::string header = client.ReadUntil("\r\n\r\n");
        EXPECT_EQ(header.substr(0, 9), "HTTP/1.1 ") << c.name;
        std::string body;
        std::vector<std::size_t> sizes;
        ASSERT_TRUE(ReadChunked(client, &body, &sizes)) << c.name;
        EXPECT_TRUE(body == c.content->substr(c.start, c.length)) << c.name << " " << c.start;
        std::vector<std::size_t> expected(c.length / kBlock, kBlock);
        if (c.length % kBlock != 0) expected.push_back(c.length % kBlock);
        EXPECT_EQ(sizes, expected) << c.name << " " << c.start;
        ++answered;
    }
    // A transfer reports its end after its answer went out, which may be after the next
    // request began: the empty file's report must come last to be told apart.
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == answered; }));

    client.Send("GET " + Url("empty.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string header = client.ReadUntil("\r\n\r\n");
    std::string body;
    EXPECT_TRUE(ReadChunked(client, &body)) << header;
    EXPECT_EQ(body.size(), 0u) << header;
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == answered + 1; }));
    EXPECT_EQ(last_sent_.load(), 0);

    // Framed by length, answers of every size, across and inside the sender's windows, follow
    // each other on the connection with nothing between them.
    framing_ = kLength;
    const std::string large = Pattern(2 * 1024 * 1024 + 3);
    tree_.File("Media/large.mp3", large);
    for (const Case& c : {Case{"large.mp3", &large, 0, large.size()},
                          Case{"empty.mp3", nullptr, 0, 0}, Case{"odd.mp3", &odd, 0, odd.size()},
                          Case{"large.mp3", &large, 1024 * 1024 - 7, 1024 * 1024 + 9},
                          Case{"exact.mp3", &exact, 0, exact.size()}}) {
        std::string range;
        if (c.content != nullptr && c.length != c.content->size()) {
            range = "Range: bytes=" + std::to_string(c.start) + "-" +
                    std::to_string(c.start + c.length - 1) + "\r\n";
        }
        client.Send("GET " + Url(c.name) + " HTTP/1.1\r\nHost: x\r\n" + range + "\r\n");
        const std::string h = client.ReadUntil("\r\n\r\n");
        ASSERT_EQ(h.substr(0, 9), "HTTP/1.1 ") << c.name;
        ASSERT_EQ(LengthOf(h), c.length) << h;
        const std::string got = client.ReadBytes(c.length);
        EXPECT_TRUE(c.content == nullptr ? got.empty()
                                         : got == c.content->substr(c.start, c.length))
            << c.name << " " << c.start;
        ++answered;
    }
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == answered + 1; }));
}

TEST_F(Transfer, LongFileToALateReaderKeepsEveryChunkWhole)
{
    // Over a worker's run of blocks, and a reader that lets the send queue fill first.
    const std::string content = Pattern(200 * tv::kTransferBlockBytes + 5);
    tree_.File("Media/long.mp3", content);
    for (tv::MediaTransferFraming framing : kBothFramings) {
        framing_ = framing;
        LoopbackClient client(port_);
        client.Send("GET " + Url("long.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::string header = client.ReadUntil("\r\n\r\n");
        std::string body;
        if (framing == kLength) {
            ASSERT_EQ(LengthOf(header), content.size()) << header;
            body = client.ReadBytes(content.size());
        } else {
            std::vector<std::size_t> sizes;
            ASSERT_TRUE(ReadChunked(client, &body, &sizes));
            std::vector<std::size_t> expected(200, tv::kTransferBlockBytes);
            expected.push_back(5);
            EXPECT_EQ(sizes, expected);
        }
        EXPECT_TRUE(body == content) << body.size() << " " << NameOf(framing);
        EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == (framing == kLength ? 2 : 1); }));
        EXPECT_EQ(last_sent_.load(), static_cast<std::int64_t>(content.size()));
    }
}

// Each client leaves while its file is streaming: its transfer ends, and every descriptor of
// its connection is closed (a send from a file has one of its own).
TEST_F(Transfer, ClientLeavingMidFileFreesTheTransfer)
{
    tree_.Sparse("Media/long.mp3", 512LL * 1024 * 1024);
    auto descriptors = [] {
        std::error_code ignored;
        std::filesystem::directory_iterator fds("/proc/self/fd", ignored);
        return std::distance(fds, std::filesystem::directory_iterator());
    };
    const auto before = descriptors();
    for (int i = 0; i < 6; ++i) {
        framing_ = kBothFramings[i / 3];
        LoopbackClient client(port_);
        client.Send("GET " + Url("long.mp3") +
                    (i % 3 == 0 ? " HTTP/1.0\r\n\r\n" : " HTTP/1.1\r\nHost: x\r\n\r\n"));
        client.ReadUntil("\r\n\r\n");
        EXPECT_EQ(client.ReadBytes(100000).size(), 100000u);
        client.Close();
        EXPECT_TRUE(WaitUntil([&] { return done_stopped_.load() == i + 1; })) << i;
    }
    EXPECT_TRUE(WaitUntil([this] { return Live() == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return descriptors() == before; })) << descriptors() - before;
    EXPECT_EQ(done_all_.load(), 0);
}

// Four players that read slowly: each transfer holds at most one window while it waits, so
// memory stays flat however much of the file goes out. Framed by length, none holds anything:
// what is in flight waits in the socket's send buffer.
TEST_F(Transfer, SlowReadersHoldOneWindowEach)
{
    tree_.Sparse("Media/long.mp3", 512LL * 1024 * 1024);
    for (tv::MediaTransferFraming framing : kBothFramings) {
        framing_ = framing;
        std::vector<std::unique_ptr<LoopbackClient>> clients;
        for (int i = 0; i < 4; ++i) {
            clients.push_back(std::make_unique<LoopbackClient>(port_));
            clients.back()->Send("GET " + Url("long.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
            clients.back()->ReadUntil("\r\n\r\n");
        }
        std::int64_t read = 0;
        auto read_a_while = [&](int rounds) {
            for (int round = 0; round < rounds; ++round) {
                for (auto& client : clients) read += client->ReadBytes(64 * 1024).size();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        };
        read_a_while(40);  // the socket buffers and the windows fill
        const std::int64_t before = tv::test::ResidentBytes();
        read_a_while(200);
        const std::int64_t grown = tv::test::ResidentBytes() - before;
        EXPECT_GT(read, 40LL * 1024 * 1024);
        std::printf("RSS while four slow readers took %.0f MiB (%s): %.1f MiB more\n",
                    static_cast<double>(read) / (1024 * 1024), NameOf(framing),
                    static_cast<double>(grown) / (1024 * 1024));
#ifndef TV_RESIDENT_MEMORY_BLURRED
        EXPECT_LT(grown, 4 * 1024 * 1024);
#endif
        EXPECT_EQ(Live(), 4);
        clients.clear();
        EXPECT_TRUE(WaitUntil([this] { return Live() == 0; }));
    }
}

TEST_F(Transfer, PausedTransferIsFreedWhenItsConnectionCloses)
{
    tree_.File("Media/a.mp3", Pattern(100000));
    pause_next_ = true;
    LoopbackClient client(port_);
    client.Send("GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string header = client.ReadUntil("\r\n\r\n");
    EXPECT_EQ(header.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    client.SetTimeout(200);
    EXPECT_EQ(client.ReadBytes(1), "");  // parked: no block is read
    EXPECT_EQ(Live(), 1);
    // A connection that waits for its answer does not read, so it cannot see the client leave;
    // closing it from here (another thread) runs the close handler.
    ASSERT_NE(paused_session_.load(), nullptr);
    OlvWebServer_CloseSession(paused_session_.load());
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(WaitUntil([&] { return done_stopped_.load() == 1; }));
    EXPECT_EQ(last_sent_.load(), 0);
}

// The chain ends while blocks wait in the send queue of clients that stopped reading (one
// HTTP/1.0, one HTTP/1.1): every transfer and its session are freed (LeakSanitizer checks).
TEST_F(Transfer, ChainEndFreesTransfersToClientsThatDoNotRead)
{
    tree_.Sparse("Media/long.mp3", 512LL * 1024 * 1024);
    LoopbackClient old_client(port_);
    LoopbackClient new_client(port_);
    LoopbackClient length_client(port_);  // its transfer waits for room, nothing queued
    old_client.Send("GET " + Url("long.mp3") + " HTTP/1.0\r\n\r\n");
    new_client.Send("GET " + Url("long.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(old_client.ReadUntil("\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(new_client.ReadUntil("\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    framing_ = kLength;
    length_client.Send("GET " + Url("long.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(length_client.ReadUntil("\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    ASSERT_TRUE(WaitUntil([this] { return Live() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the socket buffers fill
    runner_->Stop();
    EXPECT_TRUE(WaitUntil([this] { return Live() == 0; }));
    EXPECT_EQ(done_stopped_.load(), 3);
    EXPECT_EQ(done_all_.load(), 0);
}

// The chain ends while the first step of a transfer waits in the pool's queue behind busy
// workers, and the pool then discards that step: nothing is left behind.
TEST_F(Transfer, ChainEndFreesATransferWhoseStepThePoolDiscards)
{
    tree_.File("Media/a.mp3", Pattern(100000));
    Blocker blockers[3];
    for (Blocker& b : blockers) OlvThreadPool_Queue(pool_, &b, Blocker::Run);
    ASSERT_TRUE(WaitUntil([&] {
        return blockers[0].inside.load() && blockers[1].inside.load() && blockers[2].inside.load();
    }));
    LoopbackClient client(port_);
    client.Send("GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(client.ReadUntil("\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first step is queued
    runner_->Stop();
    EXPECT_EQ(Live(), 0);
    std::thread destroyer([p = pool_] { OlvThreadPool_Destroy(p); });
    ASSERT_TRUE(WaitUntil([&] { return tv::ThreadPoolTerminating(pool_); }));
    for (Blocker& b : blockers) b.release = true;
    destroyer.join();
    pool_ = nullptr;
    EXPECT_EQ(Live(), 0);
    EXPECT_EQ(done_stopped_.load(), 1);
}

// A finished transfer that stays attached to its keep-alive connection leaves the session's
// Expect mark to the device stack.
TEST_F(Transfer, FinishedTransferLeavesTheExpectMarkAlone)
{
    tree_.File("Media/a.mp3", Pattern(1000));
    LoopbackClient client(port_);
    for (int round = 0; round < 3; ++round) {
        client.Send("GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
        client.ReadUntil("\r\n\r\n");
        std::string body;
        ASSERT_TRUE(ReadChunked(client, &body));
        EXPECT_FALSE(expect_mark_seen_.load()) << round;
    }
    EXPECT_TRUE(WaitUntil([&] { return done_all_.load() == 3; }));
}

TEST_F(Transfer, FiveGibSparseFileNearItsEnd)
{
    const std::int64_t size = 5LL * 1024 * 1024 * 1024;
    tree_.Sparse("Media/big.mp3", size, "THE-END!");
    for (tv::MediaTransferFraming framing : kBothFramings) {
        framing_ = framing;
        std::string reply = Exchange(Get(Url("big.mp3"), "", "HEAD"));
        EXPECT_TRUE(Has(HeaderOf(reply), "Content-Length: 5368709120")) << reply;

        reply = Exchange(Get(Url("big.mp3"), "Range: bytes=5368709112-\r\n"));
        EXPECT_TRUE(Has(HeaderOf(reply), "Content-Range: bytes 5368709112-5368709119/5368709120"))
            << reply;
        EXPECT_EQ(BodyOf(reply), "THE-END!");
        reply = Exchange(Get(Url("big.mp3"), "Range: bytes=-20000\r\n"));
        EXPECT_TRUE(Has(HeaderOf(reply), "Content-Range: bytes 5368689120-5368709119/5368709120"));
        std::string body = BodyOf(reply);
        ASSERT_EQ(body.size(), 20000u);
        EXPECT_EQ(body.substr(19992), "THE-END!");
        EXPECT_EQ(body.substr(0, 19992), std::string(19992, '\0'));
        reply = Exchange(Get(Url("big.mp3"), "Range: bytes=4294967295-4294967296\r\n"));
        EXPECT_TRUE(Has(HeaderOf(reply), "Content-Range: bytes 4294967295-4294967296/5368709120"));
        EXPECT_EQ(Has(HeaderOf(reply), "Content-Length: 2"), framing == kLength);
        EXPECT_EQ(BodyOf(reply), std::string(2, '\0'));
        EXPECT_EQ(Exchange(Get(Url("big.mp3"), "Range: bytes=5368709120-\r\n")),
                  framing == kLength
                      ? "HTTP/1.1 416 Invalid Range\r\nContent-Range: bytes */5368709120\r\n"
                        "Content-Length: 0\r\nConnection: close\r\n\r\n"
                      : kInvalidRange);
    }
}

TEST_F(Transfer, ReadFailureEndsTheTransferAndClosesTheConnection)
{
    const std::int64_t size = 256LL * 1024 * 1024;
    std::string path = tree_.Sparse("Media/shrinking.mp3", size);
    for (int i = 0; i < 4; ++i) {
        framing_ = kBothFramings[i / 2];
        const char* version = i % 2 == 0 ? "1.0" : "1.1";
        LoopbackClient client(port_, 10000);
        client.Send("GET " + Url("shrinking.mp3") + " HTTP/" + version + "\r\nHost: x\r\n\r\n");
        std::string header = client.ReadUntil("\r\n\r\n");
        ASSERT_EQ(header.substr(0, 17), "HTTP/1.1 200 OK\r\n");
        // The reader stalls on the full socket; the file then loses most of its length.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_EQ(::truncate(path.c_str(), 4096), 0);
        std::string rest = client.ReadAll();
        EXPECT_TRUE(client.closed()) << version;
        EXPECT_LT(static_cast<std::int64_t>(rest.size()), size);
        if (framing_ == kLength) {
            EXPECT_TRUE(Has(header, "Content-Length: 268435456")) << header;  // not kept
        } else if (std::string(version) == "1.1") {
            // No terminating chunk: the body is visibly cut.
            EXPECT_NE(rest.substr(rest.size() - 5), "0\r\n\r\n");
        }
        EXPECT_TRUE(WaitUntil([&] { return Live() == 0; }));
        ASSERT_EQ(::truncate(path.c_str(), size), 0);
    }
    EXPECT_EQ(done_stopped_.load(), 4);
    EXPECT_EQ(done_all_.load(), 0);
}

TEST_F(Transfer, OnlySharedRegularFilesAreServed)
{
    tree_.File("Media/a.mp3", "inside");
    tree_.Dir("Media/Sub.mp3");
    tree_.File("Secret/s.mp3", "secret");
    ASSERT_EQ(::mkfifo(tree_.Path("Media/pipe.mp3").c_str(), 0600), 0);
    const std::string shared = tv::FileIoEscapeFolder(media_);
    const std::string secret = tv::FileIoEscapeFolder(tree_.Path("Secret"));
    const std::string parent = tv::FileIoEscapeFolder(tree_.root());

    auto escaped = [](const std::string& text) {
        std::vector<char> out(static_cast<std::size_t>(OlvHttpEscapeLength(text.c_str())));
        OlvHttpEscape(out.data(), text.c_str());
        return std::string(out.data());
    };
    const std::vector<std::string> refused = {
        "/content/" + escaped(secret + "/s.mp3"),
        "/content/" + escaped(parent + "/Secret/s.mp3"),
        "/content/" + secret + "/s.mp3",  // escapes not escaped again
        "/content/" + escaped(shared + "/../Secret/s.mp3"),
        "/content/" + escaped(shared) + "/..%2FSecret/s.mp3",  // ".." arriving escaped
        "/content/" + escaped(shared + "/..%2FSecret%2Fs.mp3"),
        "/content/" + escaped(shared + "/.%2Fa.mp3"),
        "/content/" + escaped(shared + "/Sub.mp3"),   // a folder
        "/content/" + escaped(shared),                // the shared folder itself
        "/content/" + escaped(shared + "/pipe.mp3"),  // never blocks the chain
        "/content/" + escaped(shared + "/none.mp3"),
        "/content/%2Fetc%2Fpasswd",
        "/content/",
    };
    for (const std::string& url : refused) EXPECT_EQ(Exchange(Get(url)), kNotFound) << url;
    EXPECT_EQ(BodyOf(Exchange(Get(Url("a.mp3")))), "inside");
}

class StalledTransfer : public Transfer {
protected:
    void SetUp() override
    {
        stall_limit_ms_ = 300;
        Transfer::SetUp();
    }
};

// Framed by length, a transfer that waits for room in its connection's send buffer holds
// nothing queued, yet it counts as a stalled stream: five players that stopped reading hold
// every connection, and a sixth that waits gets in once the longest stalled one has taken
// nothing for the limit.
TEST_F(StalledTransfer, StalledStreamGivesWayToAWaitingClient)
{
    framing_ = kLength;
    tree_.Sparse("Media/long.mp3", 512LL * 1024 * 1024);
    tree_.File("Media/a.mp3", "0123456789");
    std::vector<std::unique_ptr<LoopbackClient>> stopped;
    for (int i = 0; i < 5; ++i) {
        stopped.push_back(std::make_unique<LoopbackClient>(port_));
        stopped.back()->Send("GET " + Url("long.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(stopped.back()->ReadUntil("\r\n\r\n").substr(0, 17), "HTTP/1.1 200 OK\r\n");
    }
    ASSERT_TRUE(WaitUntil([this] { return Live() == 5; }));
    LoopbackClient late(port_, 10000);
    ASSERT_TRUE(late.Send("GET " + Url("a.mp3") + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string header = late.ReadUntil("\r\n\r\n");
    EXPECT_EQ(header.substr(0, 17), "HTTP/1.1 200 OK\r\n") << header;
    EXPECT_EQ(late.ReadBytes(10), "0123456789");
    EXPECT_TRUE(WaitUntil([&] { return done_stopped_.load() == 1 && done_all_.load() == 1; }));
    EXPECT_TRUE(WaitUntil([this] { return Live() == 4; }));
}

TEST_F(Transfer, AnswersOnlyOnceTheRequestIsComplete)
{
    tree_.File("Media/a.mp3", "body");
    LoopbackClient client(port_);
    client.Send("GET " + Url("a.mp3") + " HTTP/1.0\r\nContent-Length: 4\r\n\r\nab");
    ASSERT_TRUE(WaitUntil([&] { return calls_.load() >= 1; }));
    client.SetTimeout(200);
    EXPECT_EQ(client.ReadBytes(1), "");  // nothing yet
    client.SetTimeout(5000);
    client.Send("cd");
    std::string reply = client.ReadAll();
    EXPECT_EQ(reply.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(BodyOf(reply), "body");
}

}  // namespace
