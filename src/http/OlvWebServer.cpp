// The embedded HTTP server. The chain thread accepts connections, reads requests through one
// stream reader per session and dispatches them; handlers answer through the send functions,
// from the chain thread or, holding the session, from a worker thread. Completion work that
// touches the reader always runs on the chain thread.
#include "http/OlvWebServer.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http/OlvWebReader.h"
#include "net/OlvAsyncServerSocket.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"

namespace {

constexpr int kReceiveBufferBytes = 32768;
constexpr int kFoldThresholdBytes = 800;  // extra headers this long are rewritten line by line
constexpr int kFoldWidthBytes = 800;
constexpr std::string_view kMissingHost = "HTTP/1.1 400 Bad Request (Missing Host Field)\r\n\r\n";
constexpr std::string_view kChunked = "\r\nTransfer-Encoding: chunked";
constexpr std::string_view kConnectionHeader = "Connection";
constexpr std::string_view kClose = "close";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kLastChunk = "0\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kFoldSeparator = "\r\n ";

}  // namespace

namespace tv {
struct WebDirectoryEntry {
    std::string name;
    WebDirectoryFn handler;
    void* user;
};

// Shared by the server and its sessions and freed by whichever lets go last: tells a holder
// on another thread that the chain has ended, and lets the chain's end wait out a holder
// that is inside the server at that moment.
struct WebServerLife {
    std::mutex lock;
    std::condition_variable left;
    int inside = 0;     // calls into the server through a session, in progress
    bool gone = false;  // the chain is ending: server, connections and monitors go away
    int refs = 1;       // the server's and one per session
};

// Where the session's current request is. BeginRequest (chain thread) begins one; its answer's
// completion (any thread, once per request by compare-and-swap) ends it.
enum class WebRequestState : int {
    Waiting,             // no request yet on this connection
    InRequest,           // a request has begun and its answer is not complete
    Answered,            // answered; the next delivery begins the next request
    AnsweredEndPending,  // answered on another thread; its end runs on the chain thread later
};

// Whether the connection is still the session's. Written by the server socket's callbacks.
enum class WebConnectionState : int {
    Open,
    Closed,       // ended; its pool socket may serve another connection
    Interrupted,  // the chain was destroyed while it was open: every send is refused
};

// TCP_CORK on the connection for the current answer. Set by its handler, taken off here only.
enum class WebCork : int {
    Off,
    UntilComplete,     // the whole answer (WebSessionCorkAnswer)
    UntilFirstWindow,  // the header and the body's first window (WebSessionCorkUntilFirstWindow)
};

// Who answers the current request through on_sent and on_released (WebSessionAttachAnswer).
struct WebAnswer {
    WebAnswerKind kind = WebAnswerKind::None;
    void* owner = nullptr;
    WebSessionEventFn on_sent = nullptr;      // the send queue drained
    WebSessionEventFn on_released = nullptr;  // the connection ended, or the answer is complete
};
}  // namespace tv

// One accepted connection. Each field says who writes it; "chain" means the chain thread.
struct OlvWebSession {
    OlvWebServer* server = nullptr;
    tv::WebServerLife* life = nullptr;
    void* user = nullptr;  // the server's user (the device stack's: MicroStackOfSession)
    OlvAsyncSocket* connection = nullptr;
    unsigned arming = 0;  // the connection's arming: its socket serves others later
    OlvWebReader* reader = nullptr;
    tv::WebRequestFn on_request = nullptr;              // the owner, in on_session
    tv::WebSessionEventFn on_session_closed = nullptr;  // the owner, in on_session
    tv::WebDirectoryEntry* directory = nullptr;         // chain: chosen for the current request
    tv::WebAnswer answer;                               // chain: WebSessionAttachAnswer
    std::atomic<tv::WebRequestState> request{tv::WebRequestState::Waiting};
    std::atomic<tv::WebConnectionState> connection_state{tv::WebConnectionState::Open};
    std::atomic<tv::WebCork> cork{tv::WebCork::Off};
    // The last send carried the answer's end: its drain completes the request. The sends.
    std::atomic<bool> complete_on_drain{false};
    // The connection ends after this answer: WebSessionEndAfterAnswer, or an HTTP/1.0 answer
    // whose body the connection's end delimits (OlvWebServer_BeginResponse).
    std::atomic<bool> force_close{false};
    // What the answer needs to know of the current request: BeginRequest (chain).
    std::atomic<bool> http10{false};
    std::atomic<bool> keep_alive{false};
    std::atomic<bool> is_head{false};
    // The answer is framed by its Content-Length: WebSessionFrameByLength (chain), cleared by
    // BeginRequest.
    std::atomic<bool> length_framed{false};
    // The connection's descriptor for sends from a file (AsyncSocketShareHandle): made by the
    // first such send, closed with the session.
    int file_handle = -1;
    bool request_whole = false;   // chain: the delivery being handled completes the request
    bool expect_checked = false;  // chain: the owner's WebSessionMarkExpectChecked
    std::mutex lock;              // guards ref_count
    int ref_count = 1;
};

struct OlvWebServer {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvChain* chain = nullptr;
    OlvAsyncServerSocket* server_socket = nullptr;
    OlvLifeTime* idle_timers = nullptr;
    OlvLifeTime* request_timers = nullptr;  // a started request must arrive in time
    OlvLifeTime* deferred = nullptr;        // completion and close work for the chain thread
    tv::WebServerLife* life = nullptr;
    std::vector<tv::WebDirectoryEntry*>* virtual_directories = nullptr;
    tv::WebSessionFn on_session = nullptr;
    void* user = nullptr;
    std::atomic<bool> thread_known{false};
    std::thread::id chain_thread{};
    int request_timeout_ms = tv::kRequestTimeoutMs;
};

static_assert(std::is_standard_layout_v<OlvWebServer>);
static_assert(offsetof(OlvWebServer, hooks) == 0);

namespace {

// A session, as its timers and the server socket's connection word hand it back: the one
// place that casts.
OlvWebSession* SessionOf(void* word) noexcept
{
    return static_cast<OlvWebSession*>(word);
}

// The server, as the chain's hooks and the server socket's tag hand it back.
OlvWebServer* WebServerOf(void* word) noexcept
{
    return static_cast<OlvWebServer*>(word);
}

bool Closed(const OlvWebSession* session) noexcept
{
    return session->connection_state.load() != tv::WebConnectionState::Open;
}

bool Interrupted(const OlvWebSession* session) noexcept
{
    return session->connection_state.load() == tv::WebConnectionState::Interrupted;
}

void DropLife(tv::WebServerLife* life) noexcept
{
    bool last;
    {
        std::scoped_lock lk(life->lock);
        last = --life->refs == 0;
    }
    if (last) delete life;
}

// Entry of a session's holder into the server. While one is open the chain's end waits, so
// the server, its monitors and the connection stay valid; none opens once the end has begun.
class ServerUse {
public:
    explicit ServerUse(OlvWebSession* session) noexcept : life_(session->life)
    {
        std::scoped_lock lk(life_->lock);
        ok_ = !life_->gone;
        if (ok_) ++life_->inside;
    }
    ServerUse(const ServerUse&) = delete;
    ServerUse& operator=(const ServerUse&) = delete;
    ~ServerUse()
    {
        if (!ok_) return;
        std::scoped_lock lk(life_->lock);
        if (--life_->inside == 0 && life_->gone) life_->left.notify_all();
    }
    explicit operator bool() const noexcept { return ok_; }

private:
    tv::WebServerLife* life_;
    bool ok_ = false;
};

// The chain's end, before any of the server's objects goes: from now on holders on other
// threads stay out, and one that is inside is waited for.
void ShutOutHolders(void* data) noexcept
{
    auto* life = static_cast<tv::WebServerLife*>(data);
    std::unique_lock lk(life->lock);
    life->gone = true;
    life->left.wait(lk, [life] { return life->inside == 0; });
}

bool Ending(const OlvWebServer* server) noexcept
{
    return tv::ChainEnding(server->chain);
}

using tv::EqualsCaseless;
using tv::View;

bool OnChainThread(OlvWebServer* server) noexcept
{
    // Before the first turn only the creating thread can be here.
    return !server->thread_known.load() || server->chain_thread == std::this_thread::get_id();
}

void IdleFired(void* data) noexcept
{
    OlvWebSession* session = SessionOf(data);
    if (!Closed(session)) tv::AsyncSocketDisconnectArmed(session->connection, session->arming);
}

void RequestTimedOut(void* data) noexcept
{
    // A request that started and did not arrive completely in time: its slot is freed.
    OlvWebSession* session = SessionOf(data);
    if (!Closed(session)) tv::AsyncSocketDisconnectArmed(session->connection, session->arming);
}

void StartIdleTimer(OlvWebSession* session) noexcept
{
    OlvWebServer* server = session->server;
    if (Ending(server)) return;
    OlvLifeTime_Remove(server->idle_timers, session);
    OlvLifeTime_Add(server->idle_timers, session, tv::kSessionIdleTimeoutMs, IdleFired, nullptr);
}

void ReleaseFromTimer(void* data) noexcept
{
    OlvWebServer_ReleaseSession(SessionOf(data));
}

void CloseFired(void* data) noexcept
{
    OlvWebSession* session = SessionOf(data);
    if (!Closed(session)) tv::AsyncSocketDisconnectArmed(session->connection, session->arming);
    OlvWebServer_ReleaseSession(session);
}

// Chain thread. The session lets go of its answer's owner: the answer is complete, or the
// connection ended.
void ReleaseAnswer(OlvWebSession* session) noexcept
{
    if (session->answer.owner == nullptr) return;
    if (session->answer.on_released != nullptr) session->answer.on_released(session);
    tv::WebSessionDetachAnswer(session);
}

// Any thread. Takes the cork off the connection, if the answer put one on until its first
// window.
void UncorkFirstWindow(OlvWebSession* session) noexcept
{
    tv::WebCork expected = tv::WebCork::UntilFirstWindow;
    if (session->cork.compare_exchange_strong(expected, tv::WebCork::Off))
        tv::AsyncSocketSetCork(session->connection, session->arming, false);
}

// Chain thread: the response is complete; keep the connection for the next request or end it.
void FinishRequest(OlvWebSession* session, bool keep) noexcept
{
    session->directory = nullptr;
    ReleaseAnswer(session);
    if (Closed(session)) return;
    OlvWebServer* server = session->server;
    if (keep) {
        StartIdleTimer(session);
        // Waiting for its next request, the connection gives its slot to a client that waits.
        tv::AsyncServerSocketSetIdle(server->server_socket, session->connection, true);
        OlvWebClient_ResetReader(session->reader);
        OlvWebClient_Resume(session->reader);  // redelivers a pipelined request
        return;
    }
    if (Ending(server)) return;
    OlvWebServer_HoldSession(session);
    tv::LifeTimeAddNextTurn(server->deferred, session, CloseFired, ReleaseFromTimer);
}

// Chain thread: the end of an answer completed on another thread.
void FinishPending(OlvWebSession* session, bool keep) noexcept
{
    tv::WebRequestState pending = tv::WebRequestState::AnsweredEndPending;
    session->request.compare_exchange_strong(pending, tv::WebRequestState::Answered);
    FinishRequest(session, keep);
    OlvWebServer_ReleaseSession(session);
}

void FinishKeepFired(void* data) noexcept
{
    FinishPending(SessionOf(data), true);
}

void FinishCloseFired(void* data) noexcept
{
    FinishPending(SessionOf(data), false);
}

// Inside a ServerUse, or on the chain thread.
OlvSendResult CompleteRequest(OlvWebSession* session) noexcept
{
    OlvWebServer* server = session->server;
    const bool here = OnChainThread(server);
    // Answered once: only the first completion of a request (or of a connection's first
    // answer, before any request) moves it on; an answer completed on another thread is
    // marked so until the chain thread has run its end.
    const tv::WebRequestState answered =
        here ? tv::WebRequestState::Answered : tv::WebRequestState::AnsweredEndPending;
    tv::WebRequestState state = session->request.load();
    do {
        if (state != tv::WebRequestState::Waiting && state != tv::WebRequestState::InRequest)
            return SendAllSent;
    } while (!session->request.compare_exchange_weak(state, answered));
    if (session->cork.exchange(tv::WebCork::Off) != tv::WebCork::Off)
        tv::AsyncSocketSetCork(session->connection, session->arming, false);
    const bool keep = !session->force_close.load() && session->keep_alive.load();
    if (here) {
        FinishRequest(session, keep);
    } else if (!Ending(server)) {
        // The reader belongs to the chain thread: hand the rest over to it.
        OlvWebServer_HoldSession(session);
        tv::LifeTimeAddNextTurn(server->deferred, session,
                                keep ? FinishKeepFired : FinishCloseFired, ReleaseFromTimer);
    }
    return keep ? SendAllSent : SendWillClose;
}

// No session to send on: what was handed over is freed all the same.
OlvSendResult RefuseSend(const char* data, OlvSendOwnership ownership) noexcept
{
    if (ownership == OwnTransfer) tv::Free(const_cast<char*>(data));
    return SendNoSession;
}

// Inside a ServerUse, session open. Raw bytes of the answer; done completes it.
OlvSendResult SendRaw(OlvWebSession* session, const char* data, std::size_t length,
                      OlvSendOwnership ownership, int done) noexcept
{
    session->complete_on_drain = done != 0;
    OlvSendResult result =
        tv::AsyncSocketSendArmed(session->connection, session->arming, data, length, ownership);
    if (result == SendAllSent && done != 0) return CompleteRequest(session);
    return result;
}

// A body send that does not end the answer: the header it waited for has gone with it.
void BodyLeft(OlvWebSession* session, std::size_t length, int done) noexcept
{
    if (length != 0 && done == 0) UncorkFirstWindow(session);
}

}  // namespace

// ---- Public send functions ----

OlvSendResult OlvWebServer_SendBytes(OlvWebSession* session, const char* data, std::size_t length,
                                     OlvSendOwnership ownership, int done)
{
    if (session == nullptr) return RefuseSend(data, ownership);
    ServerUse use(session);
    if (!use || Interrupted(session)) return RefuseSend(data, ownership);
    OlvSendResult result = SendRaw(session, data, length, ownership, done);
    BodyLeft(session, length, done);
    return result;
}

namespace {

// Extra headers of 800 bytes or more: each "name: value" line again, its value folded.
OlvSendResult SendFoldedHeaders(OlvWebSession* session, const char* text) noexcept
{
    std::string_view rest(text);
    OlvSendResult result = SendAllSent;
    while (!rest.empty()) {
        std::size_t eol = rest.find(kLineEnd);
        std::string_view line = rest.substr(0, eol);
        rest =
            eol == std::string_view::npos ? std::string_view() : rest.substr(eol + kLineEnd.size());
        std::size_t colon = line.find(':');
        if (line.empty() || colon == std::string_view::npos) continue;
        result = SendRaw(session, kLineEnd.data(), kLineEnd.size(), OwnStatic, 0);
        if (tv::SendStopped(result)) return result;
        result = SendRaw(session, line.data(), colon + 1, OwnCopy, 0);
        if (tv::SendStopped(result)) return result;
        std::string_view value = line.substr(colon + 1);
        char* folded = nullptr;
        int folded_length =
            OlvFragmentText(value.data(), static_cast<int>(value.size()), kFoldSeparator.data(),
                            static_cast<int>(kFoldSeparator.size()), kFoldWidthBytes, &folded);
        result = SendRaw(session, folded, static_cast<std::size_t>(folded_length), OwnTransfer, 0);
        if (tv::SendStopped(result)) return result;
    }
    return result;
}

}  // namespace

OlvSendResult OlvWebServer_BeginResponse(OlvWebSession* session, int status_code,
                                         const char* reason, const char* extra_headers,
                                         OlvSendOwnership extra_ownership)
{
    if (session == nullptr) return RefuseSend(extra_headers, extra_ownership);
    ServerUse use(session);
    if (!use || Interrupted(session)) return RefuseSend(extra_headers, extra_ownership);
    auto release_extra = [&] {
        if (extra_ownership == OwnTransfer) tv::Free(const_cast<char*>(extra_headers));
    };
    char line[512];
    int n = std::snprintf(line, sizeof line, "HTTP/%s %d %s", "1.1", status_code,
                          reason != nullptr ? reason : "");
    if (n < 0) n = 0;
    if (n >= static_cast<int>(sizeof line)) n = sizeof line - 1;
    OlvSendResult result = SendRaw(session, line, static_cast<std::size_t>(n), OwnCopy, 0);
    if (tv::SendStopped(result)) {
        release_extra();
        return result;
    }
    if (session->http10.load()) {
        session->force_close = true;  // the body ends with the connection
    } else {
        result = SendRaw(session, kChunked.data(), kChunked.size(), OwnStatic, 0);
        if (tv::SendStopped(result)) {
            release_extra();
            return result;
        }
    }
    if (extra_headers != nullptr) {
        std::size_t length = std::strlen(extra_headers);
        if (length < static_cast<std::size_t>(kFoldThresholdBytes)) {
            result = SendRaw(session, extra_headers, length, extra_ownership, 0);
        } else {
            result = SendFoldedHeaders(session, extra_headers);
            release_extra();
        }
        if (tv::SendStopped(result)) return result;
    }
    return SendRaw(session, kHeaderEnd.data(), kHeaderEnd.size(), OwnStatic, 0);
}

OlvSendResult OlvWebServer_BeginResponseFromPacket(OlvWebSession* session, OlvPacket* packet)
{
    if (session == nullptr) {
        OlvPacket_Destroy(packet);
        return SendNoSession;
    }
    ServerUse use(session);
    if (!use || Interrupted(session)) {
        OlvPacket_Destroy(packet);
        return SendNoSession;
    }
    if (session->length_framed.load()) {
        // The client cannot tell that the connection ends after this answer otherwise.
        if (session->force_close.load() || !session->keep_alive.load()) {
            OlvPacket_AddHeader(packet, kConnectionHeader.data(),
                                static_cast<int>(kConnectionHeader.size()), kClose.data(),
                                static_cast<int>(kClose.size()));
        }
    } else if (!session->http10.load()) {
        OlvPacket_DeleteHeader(packet, "Content-Length", 14);
        OlvPacket_AddHeader(packet, "Transfer-Encoding", 17, "chunked", 7);
    }
    char* wire = nullptr;
    int length = OlvPacket_Serialize(packet, &wire);
    OlvPacket_Destroy(packet);
    return SendRaw(session, wire, static_cast<std::size_t>(length), OwnTransfer, 0);
}

OlvSendResult OlvWebServer_SendBody(OlvWebSession* session, const char* data, std::size_t length,
                                    OlvSendOwnership ownership, int done)
{
    if (session == nullptr) return RefuseSend(data, ownership);
    ServerUse use(session);
    if (!use || Interrupted(session)) return RefuseSend(data, ownership);
    // The size line, the data, its line end and the last chunk leave in one system call.
    char size_line[32];
    tv::SendPiece pieces[4];
    int count = 0;
    const bool unframed = session->http10.load() || session->length_framed.load();
    if (unframed) {
        if (length >= 1)
            pieces[count++] = {data, length, ownership};
        else if (ownership == OwnTransfer)
            tv::Free(const_cast<char*>(data));
    } else if (length >= 1) {
        int n = std::snprintf(size_line, sizeof size_line, "%zX\r\n", length);
        pieces[count++] = {size_line, static_cast<std::size_t>(n), OwnCopy};
        pieces[count++] = {data, length, ownership};
        pieces[count++] = {kLineEnd.data(), kLineEnd.size(), OwnStatic};
    } else if (ownership == OwnTransfer) {
        tv::Free(const_cast<char*>(data));
    }
    // No terminator for HEAD, nor for an unframed body (HTTP/1.0's ends with the connection).
    const bool last = done != 0 && !session->is_head.load() && !unframed;
    if (last) pieces[count++] = {kLastChunk.data(), kLastChunk.size(), OwnStatic};
    if (count == 0) {
        if (done == 0) return SendAllSent;
        if (tv::AsyncSocketPendingBytes(session->connection) == 0) return CompleteRequest(session);
        // What is still queued of this answer goes first: an empty piece takes its place behind
        // it, and the answer completes when it drains (a close right now would drop it).
        pieces[count++] = {kLastChunk.data(), 0, OwnStatic};
    }
    session->complete_on_drain = done != 0;
    OlvSendResult result =
        tv::AsyncSocketSendPiecesArmed(session->connection, session->arming, pieces, count);
    if (result == SendAllSent && done != 0) return CompleteRequest(session);
    BodyLeft(session, length, done);
    return result;
}

void OlvWebServer_CloseSession(OlvWebSession* session)
{
    if (session == nullptr || Closed(session)) return;
    ServerUse use(session);
    if (!use) return;  // the chain's end closes it
    OlvWebServer* server = session->server;
    if (OnChainThread(server)) {
        tv::AsyncSocketDisconnectArmed(session->connection, session->arming);
    } else if (!Ending(server)) {
        // The connection's end runs the session's handlers: on the chain thread only.
        OlvWebServer_HoldSession(session);
        tv::LifeTimeAddNextTurn(server->deferred, session, CloseFired, ReleaseFromTimer);
    }
}

void OlvWebServer_HoldSession(OlvWebSession* session)
{
    std::scoped_lock lk(session->lock);
    ++session->ref_count;
}

void OlvWebServer_ReleaseSession(OlvWebSession* session)
{
    if (session == nullptr) return;
    bool last;
    {
        std::scoped_lock lk(session->lock);
        last = --session->ref_count == 0;
    }
    if (!last) return;
    // Only the last holder cancels the idle timer: a holder that lets go after its answer
    // must not keep an idle keep-alive connection from timing out. After the chain's end
    // the server is gone and its monitors with it.
    {
        ServerUse use(session);
        OlvWebServer* server = session->server;
        if (use && !Interrupted(session) && !Ending(server)) {
            OlvLifeTime_Remove(server->idle_timers, session);
            OlvLifeTime_Remove(server->request_timers, session);
        }
    }
    if (session->reader != nullptr) OlvWebClient_DestroyReader(session->reader);
    session->reader = nullptr;
    if (session->file_handle >= 0) ::close(session->file_handle);
    tv::WebServerLife* life = session->life;
    delete session;
    DropLife(life);
}

std::uint32_t OlvWebServer_SessionLocalAddress(OlvWebSession* session)
{
    ServerUse use(session);
    if (!use) return 0;
    return OlvAsyncSocket_GetLocalAddress(session->connection);
}

std::uint16_t OlvWebServer_GetPort(OlvWebServer* server)
{
    return OlvAsyncServerSocket_GetPort(server->server_socket);
}

tv::WebDirectoryAdded OlvWebServer_AddVirtualDirectory(OlvWebServer* server, const char* name,
                                                       int name_length, tv::WebDirectoryFn handler,
                                                       void* user)
{
    std::string key(name, static_cast<std::size_t>(name_length > 0 ? name_length : 0));
    if (server->virtual_directories == nullptr)
        server->virtual_directories = new std::vector<tv::WebDirectoryEntry*>;
    for (tv::WebDirectoryEntry* entry : *server->virtual_directories) {
        if (entry->name == key) return tv::WebDirectoryAdded::AlreadyThere;
    }
    server->virtual_directories->push_back(new tv::WebDirectoryEntry{key, handler, user});
    return tv::WebDirectoryAdded::Added;
}

namespace tv {

void WebSessionSetRequestHandler(OlvWebSession* session, WebRequestFn on_request) noexcept
{
    session->on_request = on_request;
}

void WebSessionSetClosedHandler(OlvWebSession* session, WebSessionEventFn on_closed) noexcept
{
    session->on_session_closed = on_closed;
}

void* WebSessionUser(OlvWebSession* session) noexcept
{
    return session->user;
}

bool WebSessionExpectChecked(OlvWebSession* session) noexcept
{
    return session->expect_checked;
}

void WebSessionMarkExpectChecked(OlvWebSession* session) noexcept
{
    session->expect_checked = true;
}

bool WebSessionRequestWhole(OlvWebSession* session) noexcept
{
    return session->request_whole;
}

void WebSessionEndAfterAnswer(OlvWebSession* session) noexcept
{
    session->force_close = true;
}

void WebSessionCorkAnswer(OlvWebSession* session) noexcept
{
    session->cork = WebCork::UntilComplete;
    AsyncSocketSetCork(session->connection, session->arming, true);
}

void WebSessionCorkUntilFirstWindow(OlvWebSession* session) noexcept
{
    session->cork = WebCork::UntilFirstWindow;
    AsyncSocketSetCork(session->connection, session->arming, true);
}

void WebSessionBeginGather(OlvWebSession* session) noexcept
{
    AsyncSocketBeginBatch(session->connection);
}

void WebSessionEndGather(OlvWebSession* session) noexcept
{
    AsyncSocketEndBatch(session->connection, session->arming);
}

// A size line is at most 16 hex digits and its line end.
constexpr std::size_t kSizeLineBytes = 18;

std::size_t WebBodyWindowBytes(std::size_t length, std::size_t chunk_bytes) noexcept
{
    const std::size_t chunks = chunk_bytes == 0 ? 0 : (length + chunk_bytes - 1) / chunk_bytes;
    return length + chunks * (kSizeLineBytes + kLineEnd.size()) + kLastChunk.size();
}

void WebSessionLayOutBody(OlvWebSession* session, char* buffer, std::size_t length,
                          std::size_t chunk_bytes, bool last, WebBodyWindow* window) noexcept
{
    const bool chunked =
        !session->http10.load() && !session->is_head.load() && !session->length_framed.load();
    char* at = buffer;
    window->count = 0;
    for (std::size_t done = 0; done < length && window->count < kWebWindowChunks;) {
        const std::size_t n = std::min(chunk_bytes, length - done);
        if (chunked) at += std::snprintf(at, kSizeLineBytes + 1, "%zX\r\n", n);
        window->slots[window->count++] = {at, n};
        at += n;
        done += n;
        if (chunked) at = std::copy(kLineEnd.begin(), kLineEnd.end(), at);
    }
    if (chunked && last) at = std::copy(kLastChunk.begin(), kLastChunk.end(), at);
    window->wire_length = static_cast<std::size_t>(at - buffer);
}

void WebSessionFrameByLength(OlvWebSession* session) noexcept
{
    session->length_framed = true;
}

WebFileSend WebSessionSendFile(OlvWebSession* session, int file, std::int64_t offset,
                               std::size_t length, int done) noexcept
{
    if (session == nullptr) return {SendNoSession, 0, false};
    // Held across the send: the chain's end waits at most for this one read from the disk.
    ServerUse use(session);
    if (!use || Interrupted(session)) return {SendNoSession, 0, false};
    if (session->file_handle < 0)
        session->file_handle = AsyncSocketShareHandle(session->connection, session->arming);
    session->complete_on_drain = false;
    FileSendResult sent = AsyncSocketSendFile(session->connection, session->arming,
                                              session->file_handle, file, offset, length);
    WebFileSend result{sent.result, sent.sent, sent.file_failed};
    if (sent.result == SendAllSent && done != 0) {
        result.result = CompleteRequest(session);
        return result;
    }
    if (sent.sent != 0) UncorkFirstWindow(session);
    return result;
}

OlvSendResult WebSessionAwaitRoom(OlvWebSession* session) noexcept
{
    if (session == nullptr) return SendNoSession;
    ServerUse use(session);
    if (!use || Interrupted(session)) return SendNoSession;
    return AsyncSocketAwaitRoom(session->connection, session->arming);
}

std::size_t WebSessionUnsentBytes(OlvWebSession* session) noexcept
{
    return AsyncSocketPendingBytes(session->connection);
}

std::uint32_t WebSessionRemoteAddress(OlvWebSession* session) noexcept
{
    return OlvAsyncSocket_GetRemoteAddress(session->connection);
}

OlvChain* WebSessionChain(OlvWebSession* session) noexcept
{
    return session->server->chain;
}

void WebSessionAttachAnswer(OlvWebSession* session, WebAnswerKind kind, void* owner,
                            WebSessionEventFn on_sent, WebSessionEventFn on_released) noexcept
{
    session->answer = {kind, owner, on_sent, on_released};
}

void WebSessionDetachAnswer(OlvWebSession* session) noexcept
{
    session->answer = {};
}

void* WebSessionAnswerOwner(OlvWebSession* session, WebAnswerKind kind) noexcept
{
    return session->answer.kind == kind ? session->answer.owner : nullptr;
}

void WebServerSetRequestTimeoutForTest(OlvWebServer* server, int timeout_ms) noexcept
{
    server->request_timeout_ms = timeout_ms;
}

void WebServerSetStallLimitForTest(OlvWebServer* server, int limit_ms) noexcept
{
    AsyncServerSocketSetStallLimitForTest(server->server_socket, limit_ms);
}

int WebSessionHoldersForTest(OlvWebSession* session) noexcept
{
    std::scoped_lock lk(session->lock);
    return session->ref_count;
}

}  // namespace tv

// ---- Chain-thread side ----

namespace {

OlvWebServer* ServerOf(OlvAsyncServerSocket* server_socket)
{
    return WebServerOf(OlvAsyncServerSocket_GetTag(server_socket));
}

tv::WebDirectoryEntry* FindDirectory(OlvWebServer* server, OlvPacket* header, int* prefix)
{
    if (server->virtual_directories == nullptr || header->path == nullptr) return nullptr;
    std::string_view path = View(header->path, header->path_length);
    std::size_t start = !path.empty() && path[0] == '/' ? 1 : 0;
    std::size_t slash = path.find('/', start);
    std::string_view segment = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (segment.empty()) return nullptr;
    for (tv::WebDirectoryEntry* entry : *server->virtual_directories) {
        if (entry->name == segment) {
            *prefix = static_cast<int>(start + segment.size());
            return entry;
        }
    }
    return nullptr;
}

// A new request begins: its idle time gives way to the limit for its arrival, and what its
// answer needs to know of it is kept.
void BeginRequest(OlvWebSession* session, const OlvPacket* header) noexcept
{
    OlvWebServer* server = session->server;
    session->complete_on_drain = false;
    session->request = tv::WebRequestState::InRequest;
    tv::AsyncServerSocketSetIdle(server->server_socket, session->connection, false);
    OlvLifeTime_Remove(server->idle_timers, session);
    OlvLifeTime_Remove(server->request_timers, session);
    OlvLifeTime_Add(server->request_timers, session, server->request_timeout_ms, RequestTimedOut,
                    nullptr);
    if (header == nullptr) return;
    std::string_view version = View(header->version, header->version_length);
    session->http10 = version == "1.0";
    bool close = false;
    for (tv::PacketHeader* node = header->first_header; node != nullptr; node = node->next) {
        if (EqualsCaseless(View(node->name, node->name_length), "CONNECTION") &&
            EqualsCaseless(View(node->value, node->value_length), "CLOSE")) {
            close = true;
        }
    }
    session->keep_alive = version.size() == 3 && version != "1.0" && !close;
    session->is_head = EqualsCaseless(View(header->method, header->method_length), "HEAD");
    session->length_framed = false;
}

// To the handler of the request's virtual directory, else to the session's request callback.
void Dispatch(OlvWebSession* session, OlvPacket* header, char* data, int* consumed, int length,
              tv::WebDelivery done) noexcept
{
    OlvWebServer* server = session->server;
    tv::WebDirectoryEntry* entry = session->directory;
    if (entry == nullptr && server->virtual_directories != nullptr && header != nullptr) {
        int prefix = 0;
        entry = FindDirectory(server, header, &prefix);
        if (entry != nullptr) {
            if (header->path_base == nullptr) header->path_base = header->path;
            header->path += prefix;
            header->path_length -= prefix;
            session->directory = entry;
        }
    }
    if (entry != nullptr && header != nullptr) {
        entry->handler(session, header, data, consumed, length, done, entry->user);
    } else if (session->on_request != nullptr) {
        session->on_request(session, header, data, consumed, length, done);
    }
}

// The reader's delivery of a request (or a piece of its body). The reader holds back what
// follows a request delivered whole until FinishRequest resets and resumes it.
void Deliver(OlvWebSession* session, OlvPacket* header, char* data, int* consumed, int length,
             tv::WebDelivery done) noexcept
{
    const bool whole = done == tv::WebDelivery::Final;
    if (session->complete_on_drain.load() ||
        session->request.load() != tv::WebRequestState::InRequest) {
        BeginRequest(session, header);
    }
    if (whole) OlvLifeTime_Remove(session->server->request_timers, session);  // in time

    if (whole && header != nullptr && header->method != nullptr &&
        tv::VersionAboveOne(View(header->version, header->version_length)) &&
        OlvPacket_GetHeader(header, "host", 4) == nullptr) {
        OlvWebServer_SendBytes(session, kMissingHost.data(), kMissingHost.size(), OwnStatic, 1);
        if (consumed != nullptr) *consumed = length;
        return;
    }
    session->request_whole = whole;
    Dispatch(session, header, data, consumed, length, done);
    session->request_whole = false;
}

void OnConnect(OlvAsyncServerSocket* server_socket, OlvAsyncSocket* socket, void** user) noexcept
{
    OlvWebServer* server = ServerOf(server_socket);
    auto* session = new OlvWebSession;
    session->server = server;
    session->connection = socket;
    session->arming = tv::AsyncSocketArming(socket);
    session->user = server->user;
    session->life = server->life;
    {
        std::scoped_lock lk(server->life->lock);
        ++server->life->refs;
    }
    session->reader = OlvWebClient_CreateReader(Deliver, socket, session);
    tv::WebReaderSetServerPort(session->reader, OlvAsyncServerSocket_GetPort(server_socket));
    *user = session;
    // Responses go out as several small writes; do not let them wait for each other's ACKs.
    int one = 1;
    ::setsockopt(*OlvAsyncSocket_GetHandle(socket), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    StartIdleTimer(session);
    if (server->on_session != nullptr) server->on_session(session, server->user);
}

void OnReceive(OlvAsyncServerSocket*, OlvAsyncSocket* socket, char* data, int* consumed, int length,
               tv::ServerSocketEventFn*, void** user, int* pause) noexcept
{
    OlvWebSession* session = SessionOf(*user);
    if (session == nullptr || session->reader == nullptr) {
        *consumed = length;
        return;
    }
    OlvWebClient_OnData(socket, data, consumed, length, session->reader, pause);
}

void OnDisconnect(OlvAsyncServerSocket*, OlvAsyncSocket*, void* user) noexcept
{
    OlvWebSession* session = SessionOf(user);
    if (session == nullptr) return;
    OlvWebServer* server = session->server;
    session->connection_state = tv::WebConnectionState::Closed;
    if (session->reader != nullptr) tv::WebReaderDropSocket(session->reader);
    if (!Ending(server)) {
        OlvLifeTime_Remove(server->idle_timers, session);
        OlvLifeTime_Remove(server->request_timers, session);
    }
    ReleaseAnswer(session);
    if (session->on_session_closed != nullptr) session->on_session_closed(session);
    OlvWebServer_ReleaseSession(session);
}

void OnInterrupt(OlvAsyncServerSocket*, OlvAsyncSocket*, void* user) noexcept
{
    OlvWebSession* session = SessionOf(user);
    if (session == nullptr) return;
    session->connection_state = tv::WebConnectionState::Interrupted;
    if (session->reader != nullptr) {
        tv::WebReaderDropSocket(session->reader);
        OlvWebClient_DestroyReader(session->reader);
        session->reader = nullptr;
    }
    // The connection's own hold ends with it; a handler's hold frees the session later.
    OlvWebServer_ReleaseSession(session);
}

void OnSendOk(OlvAsyncServerSocket*, OlvAsyncSocket*, void* user) noexcept
{
    OlvWebSession* session = SessionOf(user);
    if (session == nullptr) return;
    OlvSendResult result = SendAllSent;
    if (session->complete_on_drain.load()) result = CompleteRequest(session);
    if (result != SendWillClose && session->answer.on_sent != nullptr)
        session->answer.on_sent(session);
}

void PreSelect(void* object, fd_set*, fd_set*, fd_set*, int*) noexcept
{
    OlvWebServer* server = WebServerOf(object);
    if (!server->thread_known.load()) {
        server->chain_thread = std::this_thread::get_id();
        server->thread_known = true;
    }
}

void Destroy(void* object) noexcept
{
    OlvWebServer* server = WebServerOf(object);
    if (server->virtual_directories != nullptr) {
        for (tv::WebDirectoryEntry* entry : *server->virtual_directories) delete entry;
        delete server->virtual_directories;
    }
    DropLife(server->life);
    std::destroy_at(server);
}

constexpr tv::ChainHooks kWebServerHooks = {
    .pre_select = PreSelect,
    .post_select = nullptr,
    .destroy = Destroy,
};

}  // namespace

OlvWebServer* OlvWebServer_Create(OlvChain* chain, tv::ServerContext* context, int max_connections,
                                  std::uint16_t port, tv::WebSessionFn on_session, void* user)
{
    auto* server = tv::NewChainObject<OlvWebServer>(kWebServerHooks);
    server->chain = chain;
    server->on_session = on_session;
    server->user = user;
    server->life = new tv::WebServerLife;
    tv::ChainOnEnd(chain, ShutOutHolders, server->life);
    server->server_socket =
        OlvAsyncServerSocket_Create(chain, context, max_connections, port, kReceiveBufferBytes,
                                    OnConnect, OnDisconnect, OnReceive, OnInterrupt, OnSendOk);
    OlvAsyncServerSocket_SetTag(server->server_socket, server);
    server->idle_timers = OlvLifeTime_Create(chain);
    server->request_timers = OlvLifeTime_Create(chain);
    server->deferred = OlvLifeTime_Create(chain);
    OlvChain_Add(chain, server);
    return server;
}
