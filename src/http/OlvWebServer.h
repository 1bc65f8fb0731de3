// The embedded HTTP/1.x server: sessions over a pool of connections, virtual directories,
// chunked responses for HTTP/1.1 and unframed ones for HTTP/1.0 (or, when the handler asks,
// framed by their length on both, a file's body sent straight from the page cache),
// keep-alive and idle time-outs. Everything runs on the chain thread except the send
// functions and the holder count, which a handler may use from a worker thread while it holds
// the session.
//
// A session is opaque: its owner (on_session), the handlers and the answer's owner reach it
// only through the operations below, and each of its flags is written here alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/uio.h>

#include "http/OlvWebReader.h"
#include "net/OlvAsyncSocket.h"
#include "runtime/OlvPacket.h"

struct OlvChain;
struct OlvWebServer;
struct OlvWebSession;
struct OlvAsyncServerSocket;

namespace tv {

struct ServerContext;

// header: the parsed request; body[*begin .. end) is the body received so far; done is Final
// when the request is complete. Advance *begin past what was consumed.
using WebRequestFn = void (*)(OlvWebSession* session, OlvPacket* header, char* body, int* begin,
                              int end, WebDelivery done) noexcept;
using WebDirectoryFn = void (*)(OlvWebSession* session, OlvPacket* header, char* body, int* begin,
                                int end, WebDelivery done, void* user) noexcept;
using WebSessionFn = void (*)(OlvWebSession* session, void* user) noexcept;
using WebSessionEventFn = void (*)(OlvWebSession* session) noexcept;

// Time a started request may take to arrive completely before its connection is closed.
constexpr int kRequestTimeoutMs = 30000;
constexpr int kSessionIdleTimeoutMs = 3000;

// Who answers the current request through the session's on_sent and on_session_closed, as a
// tag beside the owner's pointer (WebSessionAttachAnswer).
enum class WebAnswerKind : int {
    None = 0,
    MediaTransfer = 1,  // a file's body, read and sent by pool workers
    BrowsePaging = 2,   // a Browse answer waiting for its connection's send queue to drain
};

// What OlvWebServer_AddVirtualDirectory did.
enum class WebDirectoryAdded : int {
    Added = 0,
    AlreadyThere = 1,  // the name was registered already: the old entry stays
};

}  // namespace tv

// Before the chain runs or on the chain thread. Port 0: a random free port in
// 50000..64999. Only connections that come in on the context's served interfaces are kept.
// The chain owns the server; the context must outlive the chain.
[[nodiscard]] OlvWebServer* OlvWebServer_Create(OlvChain* chain, tv::ServerContext* context,
                                                int max_connections, std::uint16_t port,
                                                tv::WebSessionFn on_session, void* user);
std::uint16_t OlvWebServer_GetPort(OlvWebServer* server);
// Chain thread.
tv::WebDirectoryAdded OlvWebServer_AddVirtualDirectory(OlvWebServer* server, const char* name,
                                                       int name_length, tv::WebDirectoryFn handler,
                                                       void* user);

// The send functions may be called from any thread while the session is held, also after
// the chain has ended (they then refuse with SendNoSession). Data given with OwnTransfer
// belongs to the server from the call on, whatever the result.
// Raw bytes; with done set the response is complete.
OlvSendResult OlvWebServer_SendBytes(OlvWebSession* session, const char* data, std::size_t length,
                                     OlvSendOwnership ownership, int done);
// Status line and framing header. extra_headers: NUL-terminated text that begins with
// "\r\n" and has no trailing line break, or null.
OlvSendResult OlvWebServer_BeginResponse(OlvWebSession* session, int status_code,
                                         const char* reason, const char* extra_headers,
                                         OlvSendOwnership extra_ownership);
// Sends a response header held in a packet; the packet is destroyed by this call.
OlvSendResult OlvWebServer_BeginResponseFromPacket(OlvWebSession* session, OlvPacket* packet);
// One body piece; done marks the last one (length may be 0 then).
OlvSendResult OlvWebServer_SendBody(OlvWebSession* session, const char* data, std::size_t length,
                                    OlvSendOwnership ownership, int done);
// Any thread. Disconnects the session's connection (from another thread: in the chain's
// next turn, so that the connection's end is always handled on the chain thread).
void OlvWebServer_CloseSession(OlvWebSession* session);
// Any thread. A handler that answers later holds the session until it has answered; a
// release may come after the chain has ended.
void OlvWebServer_HoldSession(OlvWebSession* session);
void OlvWebServer_ReleaseSession(OlvWebSession* session);
// Local IPv4 address (network order) the connection was accepted on.
std::uint32_t OlvWebServer_SessionLocalAddress(OlvWebSession* session);

namespace tv {

// ---- The session's owner: the server's on_session, chain thread ----

// The default request callback, for requests outside every virtual directory.
void WebSessionSetRequestHandler(OlvWebSession* session, WebRequestFn on_request) noexcept;
// Called when the connection ends (optional).
void WebSessionSetClosedHandler(OlvWebSession* session, WebSessionEventFn on_closed) noexcept;
// The server's user, handed to every session. Any thread while the session is held.
void* WebSessionUser(OlvWebSession* session) noexcept;
// The device stack looks at a connection's Expect header once, at the first request that
// arrives in more than one delivery: whether it has, and the mark that it has.
bool WebSessionExpectChecked(OlvWebSession* session) noexcept;
void WebSessionMarkExpectChecked(OlvWebSession* session) noexcept;

// ---- The answer's mechanics, for handlers (chain thread unless said otherwise) ----

// Inside a handler: the delivery being handled completes the request (it may be answered).
bool WebSessionRequestWhole(OlvWebSession* session) noexcept;
// The connection ends after this answer, whatever the request asked for (an answer whose
// end the client can only see as the connection's end). Any thread while the session is held.
void WebSessionEndAfterAnswer(OlvWebSession* session) noexcept;
// The answer's pieces fill whole segments: the connection stays corked until the answer is
// complete (any thread may complete it; the cork is taken off the connection only while it
// is still the one the session began with).
void WebSessionCorkAnswer(OlvWebSession* session) noexcept;
// The answer's header waits for its body's first window and leaves in the same segment: the
// connection stays corked until the first body send after the header (or the answer's end),
// as each later window fills whole segments by itself.
void WebSessionCorkUntilFirstWindow(OlvWebSession* session) noexcept;
// Between Begin and End, sends are gathered in memory and reported as queued; from End on
// they leave through the send queue, many pieces in one system call (its drain reports them
// sent, on_sent). For an answer of many small pieces: the same bytes, far fewer calls.
void WebSessionBeginGather(OlvWebSession* session) noexcept;
void WebSessionEndGather(OlvWebSession* session) noexcept;
// A window of body chunks laid out in the caller's buffer as it goes on the wire, so that
// it leaves in one system call: for a chunked answer each chunk's size line, a slot for its
// bytes and its line end, and the body's end after the body's last chunk; for HTTP/1.0 the
// bare slots. The caller reads into the slots and sends wire_length bytes from the buffer's
// start with OlvWebServer_SendBytes. Any thread while the session is held.
inline constexpr int kWebWindowChunks = 16;
struct WebBodyWindow {
    std::size_t wire_length = 0;
    iovec slots[kWebWindowChunks] = {};
    int count = 0;
};
// Buffer bytes a window of `length` body bytes needs (length <= kWebWindowChunks chunks).
std::size_t WebBodyWindowBytes(std::size_t length, std::size_t chunk_bytes) noexcept;
void WebSessionLayOutBody(OlvWebSession* session, char* buffer, std::size_t length,
                          std::size_t chunk_bytes, bool last, WebBodyWindow* window) noexcept;
// Inside a handler, before a header sent with OlvWebServer_BeginResponseFromPacket: the answer
// is framed by the Content-Length its header carries, on every HTTP version (no chunked
// coding, and no terminating chunk after the body or a HEAD's header), and its header says
// "Connection: close" when the connection ends after it. For a body whose length is known:
// the client may seek in it, and it may go straight from a file (WebSessionSendFile).
void WebSessionFrameByLength(OlvWebSession* session) noexcept;
// What WebSessionSendFile did: a send result as for the other send functions (SendQueued: the
// connection had no room for the rest, or older bytes of the answer still wait in its queue),
// the bytes sent, and whether the file gave less than asked (it ended early or could not be
// read; the connection is left as it is).
struct WebFileSend {
    OlvSendResult result = SendAllSent;
    std::size_t sent = 0;
    bool file_failed = false;
};
// Any thread while the session is held, one sender at a time, for an answer framed by its
// length: up to `length` body bytes of `file` from `offset`, straight from the page cache
// (sendfile); with done set and all of them sent, the answer is complete. May wait for the
// disk, never for the client.
WebFileSend WebSessionSendFile(OlvWebSession* session, int file, std::int64_t offset,
                               std::size_t length, int done) noexcept;
// After a WebSessionSendFile that left bytes unsent: on_sent follows once the connection has
// room (or its queue has drained); meanwhile the answer counts as stalled for as long as the
// client takes nothing. SendQueued, or a stopped result. Any thread while the session is held.
OlvSendResult WebSessionAwaitRoom(OlvWebSession* session) noexcept;
// Bytes handed to the connection and not sent yet. Any thread.
std::size_t WebSessionUnsentBytes(OlvWebSession* session) noexcept;
// IPv4 address (network order) of the client.
std::uint32_t WebSessionRemoteAddress(OlvWebSession* session) noexcept;
// The chain the session's server runs on.
OlvChain* WebSessionChain(OlvWebSession* session) noexcept;

// The answer's owner: it answers the current request through on_sent (the send queue drained)
// and on_released (stored as on_session_closed: the connection ended, or the answer is
// complete and the session lets go of it; the owner is detached right after that call).
void WebSessionAttachAnswer(OlvWebSession* session, WebAnswerKind kind, void* owner,
                            WebSessionEventFn on_sent, WebSessionEventFn on_released) noexcept;
void WebSessionDetachAnswer(OlvWebSession* session) noexcept;
// The owner attached with this kind, else null.
void* WebSessionAnswerOwner(OlvWebSession* session, WebAnswerKind kind) noexcept;

// Tests only: shortens the limit for a request to arrive completely.
void WebServerSetRequestTimeoutForTest(OlvWebServer* server, int timeout_ms) noexcept;
// Tests only: shortens the time an answer must have stalled before its connection gives way
// to a waiting client.
void WebServerSetStallLimitForTest(OlvWebServer* server, int limit_ms) noexcept;
// Tests only: the session's holders now (the connection's own hold counts). Any thread.
int WebSessionHoldersForTest(OlvWebSession* session) noexcept;
}  // namespace tv
