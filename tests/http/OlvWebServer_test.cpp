#include "http/OlvWebServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvPacket.h"
#include "support/LoopbackClient.h"
#include "support/TestContext.h"

namespace {

using tv::test::ChainThread;
using tv::test::LoopbackClient;
using tv::test::Signal;

constexpr std::string_view kChunkedHead =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Test: 1\r\n\r\n";
constexpr std::string_view kChunkedAbc =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Test: 1\r\n\r\n3\r\nabc\r\n0\r\n\r\n";

struct Record {
    Signal signal;
    std::vector<std::string> paths;      // on_request, in order
    std::vector<std::string> dir_paths;  // the "content" handler
    std::vector<std::string> bodies;     // complete request bodies
    int sessions = 0;
    int closed = 0;
    std::vector<std::thread> workers;
    bool chain_ended = false;
    std::vector<OlvWebSession*> late_sessions;
    std::atomic<int> late_result{1};
    // "/file": a body piece, then a file's bytes (chain thread; the sends' outcomes under signal).
    std::FILE* file = nullptr;
    std::int64_t file_offset = 0;
    std::size_t file_left = 0;
    std::vector<std::size_t> file_sends;
};

// An answer framed by its length: kFilePiece bytes from memory, then the file's from the page
// cache, the rest of them whenever the connection has room again.
constexpr std::size_t kFilePiece = 8 * 1024 * 1024;
constexpr std::size_t kFileBytes = 3 * 1024 * 1024;

std::string FilePattern(std::size_t size, char first)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>(first + i % 23);
    return text;
}

void Answer(OlvWebSession* session, std::string_view path, std::string_view method)
{
    if (path == "/bytes") {
        static constexpr std::string_view kText = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
        OlvWebServer_SendBytes(session, kText.data(), kText.size(), OwnStatic, 1);
    } else if (path == "/long") {
        std::string extra = "\r\nX-Short: s\r\nX-Long: " + std::string(1700, 'v');
        OlvWebServer_BeginResponse(session, 200, "OK", tv::CopyBytes(extra.data(), extra.size()),
                                   OwnTransfer);
        OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
    } else if (path == "/packet") {
        OlvPacket* p = OlvPacket_Create();
        OlvPacket_SetStatus(p, 200, "OK", 2);
        OlvPacket_SetVersion(p, "1.1", 3);
        OlvPacket_AddHeader(p, "Content-Length", 14, "3", 1);
        OlvWebServer_BeginResponseFromPacket(session, p);
        OlvWebServer_SendBody(session, "xyz", 3, OwnStatic, 1);
    } else {
        OlvWebServer_BeginResponse(session, 200, "OK", "\r\nX-Test: 1", OwnStatic);
        if (method == "HEAD")
            OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
        else
            OlvWebServer_SendBody(session, tv::CopyBytes("abc", 3), 3, OwnTransfer, 1);
    }
}

Record* RecordOf(OlvWebSession* session)
{
    return static_cast<Record*>(tv::WebSessionUser(session));
}

void SendFileRest(OlvWebSession* session) noexcept
{
    Record* r = RecordOf(session);
    if (r->file_left == 0) return;
    tv::WebFileSend sent =
        tv::WebSessionSendFile(session, fileno(r->file), r->file_offset, r->file_left, 1);
    r->file_offset += static_cast<std::int64_t>(sent.sent);
    r->file_left -= sent.sent;
    r->signal.Update([&] { r->file_sends.push_back(sent.sent); });
    if (sent.result == SendQueued) tv::WebSessionAwaitRoom(session);
}

void AnswerWithFile(OlvWebSession* session)
{
    Record* r = RecordOf(session);
    r->file_offset = 0;
    r->file_left = kFileBytes;
    tv::WebSessionFrameByLength(session);
    OlvPacket* p = OlvPacket_Create();
    OlvPacket_SetStatus(p, 200, "OK", 2);
    OlvPacket_SetVersion(p, "1.1", 3);
    const std::string length = std::to_string(kFilePiece + kFileBytes);
    OlvPacket_AddHeader(p, "Content-Length", 14, length.data(), static_cast<int>(length.size()));
    OlvWebServer_BeginResponseFromPacket(session, p);
    const std::string piece = FilePattern(kFilePiece, 'A');
    OlvWebServer_SendBody(session, piece.data(), piece.size(), OwnCopy, 0);
    tv::WebSessionAttachAnswer(session, tv::WebAnswerKind::MediaTransfer, r, SendFileRest, nullptr);
    SendFileRest(session);
}

void OnRequest(OlvWebSession* session, OlvPacket* header, char* body, int* begin, int end,
               tv::WebDelivery done) noexcept
{
    Record* r = RecordOf(session);
    if (header == nullptr || done != tv::WebDelivery::Final) return;  // the body whole at the end
    std::string path(header->path, static_cast<std::size_t>(header->path_length));
    std::string method(header->method, static_cast<std::size_t>(header->method_length));
    r->signal.Update([&] {
        r->paths.push_back(path);
        r->bodies.emplace_back(body != nullptr ? body + *begin : "",
                               body != nullptr ? static_cast<std::size_t>(end - *begin) : 0);
    });
    *begin = end;
    if (path == "/race") {
        // A worker answers completely before this delivery has returned.
        OlvWebServer_HoldSession(session);
        std::thread worker([session] {
            static constexpr std::string_view kText =
                "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nrace";
            OlvWebServer_SendBytes(session, kText.data(), kText.size(), OwnStatic, 1);
            OlvWebServer_ReleaseSession(session);
        });
        worker.join();
        return;
    }
    if (path == "/late") {
        // Held past the chain's end: the worker answers and lets go once the chain is gone.
        OlvWebServer_HoldSession(session);
        r->signal.Update([&] {
            r->late_sessions.push_back(session);
            r->workers.emplace_back([session, r] {
                {
                    std::unique_lock lk(r->signal.mutex());
                    while (!r->chain_ended) {
                        lk.unlock();
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                        lk.lock();
                    }
                }
                r->late_result = OlvWebServer_BeginResponse(session, 200, "OK", nullptr, OwnStatic);
                OlvWebServer_CloseSession(session);
                OlvWebServer_ReleaseSession(session);
            });
        });
        return;
    }
    if (path == "/later") {
        // Answered from a worker thread while the session is held.
        OlvWebServer_HoldSession(session);
        r->signal.Update([&] {
            r->workers.emplace_back([session] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                OlvWebServer_BeginResponse(session, 200, "OK", "\r\nX-Test: 1", OwnStatic);
                OlvWebServer_SendBody(session, "abc", 3, OwnStatic, 1);
                OlvWebServer_ReleaseSession(session);
            });
        });
        return;
    }
    if (path == "/file") {
        AnswerWithFile(session);
        return;
    }
    Answer(session, path, method);
}

void OnContent(OlvWebSession* session, OlvPacket* header, char*, int*, int, tv::WebDelivery done,
               void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    if (done != tv::WebDelivery::Final) return;
    std::string path(header->path, static_cast<std::size_t>(header->path_length));
    r->signal.Update([&] { r->dir_paths.push_back(path); });
    Answer(session, "/", "GET");
}

void OnClosed(OlvWebSession* session) noexcept
{
    Record* r = RecordOf(session);
    r->signal.Update([&] { r->closed++; });
}

void OnSession(OlvWebSession* session, void* user) noexcept
{
    auto* r = static_cast<Record*>(user);
    tv::WebSessionSetRequestHandler(session, OnRequest);
    tv::WebSessionSetClosedHandler(session, OnClosed);
    r->signal.Update([&] { r->sessions++; });
}

struct Server {
    tv::test::TestContext context;
    Record record;
    OlvChain* chain = OlvChain_Create(OlvLifeTime_Create);
    OlvWebServer* server = OlvWebServer_Create(chain, context.get(), 5, 0, OnSession, &record);
    std::uint16_t port = OlvWebServer_GetPort(server);
    ChainThread thread{chain};

    explicit Server(bool with_directory = false, int request_timeout_ms = 0)
    {
        if (with_directory) {
            EXPECT_EQ(OlvWebServer_AddVirtualDirectory(server, "content", 7, OnContent, &record),
                      tv::WebDirectoryAdded::Added);
            EXPECT_EQ(OlvWebServer_AddVirtualDirectory(server, "content", 7, OnContent, &record),
                      tv::WebDirectoryAdded::AlreadyThere);
        }
        if (request_timeout_ms > 0)
            tv::WebServerSetRequestTimeoutForTest(server, request_timeout_ms);
        thread.Start();
    }
    ~Server()
    {
        thread.Stop();
        record.signal.Update([&] { record.chain_ended = true; });
        for (auto& w : record.workers) w.join();
    }
};

TEST(OlvWebServer, ChunkedHttp11ResponseKeepsTheConnection)
{
    Server s;
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(c.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    ASSERT_TRUE(c.Send("GET /bytes HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string bytes_answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
    EXPECT_EQ(c.ReadBytes(bytes_answer.size()), bytes_answer);
    ASSERT_TRUE(c.Send("GET /packet HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string packet_answer =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nxyz\r\n0\r\n\r\n";
    EXPECT_EQ(c.ReadBytes(packet_answer.size()), packet_answer);
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.sessions, 1);
}

TEST(OlvWebServer, ConnectionCloseAndHttp10AreAnsweredThenClosed)
{
    Server s;
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\nHost: x\r\nCONNECTION: CLOSE\r\n\r\n"));
        EXPECT_EQ(c.ReadAll(), kChunkedAbc);
        EXPECT_TRUE(c.closed());
    }
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("GET /a HTTP/1.0\r\n\r\n"));  // no Host needed
        EXPECT_EQ(c.ReadAll(), "HTTP/1.1 200 OK\r\nX-Test: 1\r\n\r\nabc");
        EXPECT_TRUE(c.closed());
    }
    // Answers that say nothing of the version themselves (whole bytes, a header from a packet):
    // the request's HTTP/1.0 alone ends the connection, and what was pipelined after it is
    // never answered.
    for (std::string_view path : {"/bytes", "/packet"}) {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("GET " + std::string(path) +
                           " HTTP/1.0\r\n\r\nGET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(c.ReadAll(), path == "/bytes" ? "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi"
                                                : "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nxyz")
            << path;
        EXPECT_TRUE(c.closed()) << path;
    }
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.paths, (std::vector<std::string>{"/a", "/a", "/bytes", "/packet"}));
}

TEST(OlvWebServer, HeadEndsWithoutTerminatorAndMissingHostIsRefused)
{
    Server s;
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("HEAD /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(c.ReadBytes(kChunkedHead.size()), kChunkedHead);
    // The HEAD was complete without "0\r\n\r\n": the next answer follows at once.
    ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\n\r\n"));
    std::string refusal = "HTTP/1.1 400 Bad Request (Missing Host Field)\r\n\r\n";
    EXPECT_EQ(c.ReadBytes(refusal.size()), refusal);
    ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\nhost: y\r\n\r\n"));
    EXPECT_EQ(c.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.paths, (std::vector<std::string>{"/a", "/a"}));
}

// Framed by its length: a body piece left in the send queue goes before the file's bytes sent
// after it (a send from a file takes nothing while the queue holds anything, and the drain says
// when to go on), no chunk framing anywhere, and "Connection: close" only on the answer after
// which the connection ends.
TEST(OlvWebServer, FileBytesGoAfterWhatWaitsInTheQueue)
{
    Server s;
    s.record.file = std::tmpfile();
    ASSERT_NE(s.record.file, nullptr);
    const std::string content = FilePattern(kFileBytes, 'a');
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), s.record.file), content.size());
    ASSERT_EQ(std::fflush(s.record.file), 0);
    const std::string body = FilePattern(kFilePiece, 'A') + content;
    const std::string length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("GET /file HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(c.ReadUntil("\r\n\r\n"), "HTTP/1.1 200 OK\r\n" + length + "\r\n");
    EXPECT_TRUE(c.ReadBytes(body.size()) == body);
    ASSERT_TRUE(c.Send("GET /file HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(c.ReadUntil("\r\n\r\n"),
              "HTTP/1.1 200 OK\r\n" + length + "Connection: close\r\n\r\n");
    EXPECT_TRUE(c.ReadAll() == body);
    EXPECT_TRUE(c.closed());
    s.thread.Stop();
    std::fclose(s.record.file);
    std::scoped_lock lk(s.record.signal.mutex());
    ASSERT_GE(s.record.file_sends.size(), 4u);
    EXPECT_EQ(s.record.file_sends[0], 0u);  // behind the piece
}

TEST(OlvWebServer, PipelinedRequestWaitsForTheHeldAnswer)
{
    Server s;
    LoopbackClient c(s.port);
    ASSERT_TRUE(
        c.Send("GET /later HTTP/1.1\r\nHost: x\r\n\r\nGET /bytes HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string expected =
        std::string(kChunkedAbc) + "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
    EXPECT_EQ(c.ReadBytes(expected.size()), expected);
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.paths, (std::vector<std::string>{"/later", "/bytes"}));
}

TEST(OlvWebServer, AnswerCompletedByAWorkerBeforeTheDeliveryReturns)
{
    Server s;
    LoopbackClient c(s.port);
    // Pipelined: the second request must wait for the end of the first, and be served once.
    ASSERT_TRUE(
        c.Send("GET /race HTTP/1.1\r\nHost: x\r\n\r\nGET /bytes HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string race = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nrace";
    std::string hi = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi";
    EXPECT_EQ(c.ReadBytes(race.size() + hi.size()), race + hi);
    // One after the other on the same connection, sent as soon as the answer is in.
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(c.Send("GET /race HTTP/1.1\r\nHost: x\r\n\r\n"));
        ASSERT_EQ(c.ReadBytes(race.size()), race) << i;
        ASSERT_TRUE(c.Send("GET /bytes HTTP/1.1\r\nHost: x\r\n\r\n"));
        ASSERT_EQ(c.ReadBytes(hi.size()), hi) << i;
    }
    c.SetTimeout(200);
    EXPECT_EQ(c.ReadBytes(1), "");  // nothing served twice
    std::scoped_lock lk(s.record.signal.mutex());
    ASSERT_EQ(s.record.paths.size(), 42u);
    for (std::size_t i = 0; i < s.record.paths.size(); ++i)
        EXPECT_EQ(s.record.paths[i], i % 2 == 0 ? "/race" : "/bytes") << i;
}

// Holders that answer and let go after the chain ended, one with its connection still open
// at the end and one whose client had left before: the server is gone, the sends are refused.
TEST(OlvWebServer, SessionsReleasedAfterTheChainEnded)
{
    auto s = std::make_unique<Server>();
    LoopbackClient open(s->port);
    ASSERT_TRUE(open.Send("GET /late HTTP/1.1\r\nHost: x\r\n\r\n"));
    ASSERT_TRUE(s->record.signal.WaitFor([&] { return s->record.late_sessions.size() == 1; }));
    {
        LoopbackClient gone(s->port);
        ASSERT_TRUE(gone.Send("GET /late HTTP/1.1\r\nHost: x\r\n\r\n"));
        ASSERT_TRUE(s->record.signal.WaitFor([&] { return s->record.late_sessions.size() == 2; }));
        // Waiting for its answer, the connection does not read: end it from here.
        OlvWebSession* session;
        {
            std::scoped_lock lk(s->record.signal.mutex());
            session = s->record.late_sessions[1];
        }
        OlvWebServer_CloseSession(session);
        EXPECT_TRUE(gone.WaitClosed());
    }
    ASSERT_TRUE(s->record.signal.WaitFor([&] { return s->record.closed == 1; }));
    s->thread.Stop();
    s->record.signal.Update([&] { s->record.chain_ended = true; });
    for (auto& w : s->record.workers) w.join();
    s->record.workers.clear();
    EXPECT_EQ(s->record.late_result.load(), SendNoSession);
    EXPECT_TRUE(open.WaitClosed());
}

TEST(OlvWebServer, VirtualDirectoryGetsThePathAfterItsSegment)
{
    Server s(true);
    LoopbackClient c(s.port);
    // An absolute target naming this server counts as its path; another host's does not.
    const std::string self = "http://127.0.0.1:" + std::to_string(s.port);
    const std::string other = "http://10.9.8.7:" + std::to_string(s.port) + "/content/1";
    for (const std::string& target :
         {std::string("/content/12/a.mp3"), std::string("/content"), std::string("/contents/5"),
          std::string("/"), self + "/content/7", other}) {
        ASSERT_TRUE(c.Send("GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        EXPECT_EQ(c.ReadBytes(kChunkedAbc.size()), kChunkedAbc) << target;
    }
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.dir_paths, (std::vector<std::string>{"/12/a.mp3", "", "/7"}));
    EXPECT_EQ(s.record.paths, (std::vector<std::string>{"/contents/5", "/", other}));
}

TEST(OlvWebServer, LongExtraHeadersAreFolded)
{
    Server s;
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("GET /long HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string v(1700, 'v');
    std::string expected =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nX-Short: s\r\nX-Long: " +
        v.substr(0, 799) + "\r\n " + v.substr(799, 800) + "\r\n " + v.substr(1599) +
        "\r\n\r\n0\r\n\r\n";
    EXPECT_EQ(c.ReadBytes(expected.size()), expected);
}

TEST(OlvWebServer, ChunkedRequestBodyInManyPieces)
{
    Server s;
    LoopbackClient c(s.port);
    ASSERT_TRUE(c.Send("POST /b HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
    std::string body;
    for (int i = 0; i < 20; ++i) {
        std::string piece(static_cast<std::size_t>(i + 1), static_cast<char>('a' + i));
        body += piece;
        char size[16];
        std::snprintf(size, sizeof size, "%x", i + 1);
        std::string chunk = std::string(size) + ";ext=1\r\n" + piece + "\r\n";
        for (char ch : chunk) {
            ASSERT_TRUE(c.Send(std::string_view(&ch, 1)));
            if (i % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ASSERT_TRUE(c.Send("0\r\nTrailer: t\r\n\r\n"));
    EXPECT_EQ(c.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    std::scoped_lock lk(s.record.signal.mutex());
    ASSERT_EQ(s.record.bodies.size(), 1u);
    EXPECT_EQ(s.record.bodies[0], body);
}

TEST(OlvWebServer, IdleConnectionIsClosedAfterThreeSeconds)
{
    Server s;
    LoopbackClient c(s.port, 8000);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.WaitClosed());
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(2500));
    EXPECT_LT(waited, std::chrono::milliseconds(7000));
    // Keep-alive: the timer starts again after a response.
    LoopbackClient k(s.port, 8000);
    ASSERT_TRUE(k.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(k.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    EXPECT_TRUE(k.WaitClosed());
    // Also after an answer from a worker that held the session and let it go.
    LoopbackClient h(s.port, 8000);
    ASSERT_TRUE(h.Send("GET /later HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(h.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    EXPECT_TRUE(h.WaitClosed());
}

// Too much held back for one request: that connection is closed, others are still served.
TEST(OlvWebServer, OversizedHeaderOrBodyClosesOnlyThatConnection)
{
    Server s;
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("GET /a HTTP/1.1\r\nHost: x\r\n"));
        std::string line = "X-Filler: " + std::string(990, 'f') + "\r\n";
        for (int i = 0; i < 80 && c.Send(line); ++i) {
        }
        EXPECT_TRUE(c.WaitClosed());
    }
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 3000000\r\n\r\n"));
        std::string block(65536, 'b');
        for (int i = 0; i < 40 && c.Send(block); ++i) {
        }
        EXPECT_TRUE(c.WaitClosed());
    }
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("POST /b HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
        std::string chunk = "10000\r\n" + std::string(65536, 'c') + "\r\n";
        for (int i = 0; i < 40 && c.Send(chunk); ++i) {
        }
        EXPECT_TRUE(c.WaitClosed());
    }
    {
        LoopbackClient c(s.port);
        ASSERT_TRUE(c.Send("POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"));
        EXPECT_TRUE(c.WaitClosed());
    }
    LoopbackClient ok(s.port);
    ASSERT_TRUE(ok.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(ok.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    std::scoped_lock lk(s.record.signal.mutex());
    EXPECT_EQ(s.record.paths, (std::vector<std::string>{"/a"}));
}

// Five keep-alive clients that ask again soon after every answer never stay idle for the idle
// time-out, yet they cannot keep a sixth client out: a connection that waits for its next
// request gives its slot to a client that waits for one (a poller cut off connects again).
TEST(OlvWebServer, KeepAlivePollersDoNotKeepAWaitingClientOut)
{
    Server s;
    std::atomic<bool> stop{false};
    std::vector<std::thread> pollers;
    for (int i = 0; i < 5; ++i) {
        pollers.emplace_back([&] {
            auto c = std::make_unique<LoopbackClient>(s.port);
            while (!stop.load()) {
                if (!c->Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n") ||
                    c->ReadBytes(kChunkedAbc.size()) != kChunkedAbc) {
                    c = std::make_unique<LoopbackClient>(s.port);
                    continue;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the poll period
            }
        });
    }
    ASSERT_TRUE(s.record.signal.WaitFor([&] { return s.record.paths.size() >= 10; }));
    LoopbackClient sixth(s.port);
    ASSERT_TRUE(sixth.Send("GET /sixth HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(sixth.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    stop = true;
    for (auto& p : pollers) p.join();
}

// A request that started and never finishes gives its slot back after the request limit.
TEST(OlvWebServer, UnfinishedRequestIsClosedAfterTheRequestLimit)
{
    Server s(false, 400);
    std::vector<std::unique_ptr<LoopbackClient>> stalled;
    for (int i = 0; i < 5; ++i) {
        stalled.push_back(std::make_unique<LoopbackClient>(s.port));
        ASSERT_TRUE(
            stalled.back()->Send("POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 10\r\n\r\nabc"));
    }
    // All five slots are taken; the sixth client is served once the stalled ones are cut.
    LoopbackClient late(s.port);
    ASSERT_TRUE(late.Send("GET /a HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(late.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
    for (auto& c : stalled) EXPECT_TRUE(c->WaitClosed());
    // A request that completes in time is answered as usual.
    LoopbackClient slow(s.port);
    ASSERT_TRUE(slow.Send("POST /b HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nab"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(slow.Send("cd"));
    EXPECT_EQ(slow.ReadBytes(kChunkedAbc.size()), kChunkedAbc);
}

}  // namespace
