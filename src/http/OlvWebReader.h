// The HTTP stream reader shared by the web server (one per accepted connection, server mode)
// and the HTTP client (one per destination, client mode): it finds and parses each message
// header, works out how the body is framed (Content-Length, chunked, end of connection or
// none) and hands header and body pieces on. A server-mode reader delivers to its session
// through its own hook; a client-mode reader delivers to the request whose response it reads
// and tells the client through a hook when that response is complete. Chain thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include <netinet/in.h>

#include "net/OlvAsyncSocket.h"
#include "runtime/OlvPacket.h"

struct OlvWebClient;
struct OlvWebReader;
struct OlvWebSession;

namespace tv {

// A delivery's `done` (the values are the design's): the message's last delivery, or more
// of it follows.
enum class WebDelivery : int {
    More = 0,
    Final = -1,
};

// What a client request's delivery reports beside its data (the values are the design's).
enum class WebInterrupt : int {
    None = 0,
    Destroyed = 5,  // the reader went away with the request still pending
};

// Client mode. data/length: body bytes offered now; add to *consumed what was taken. header
// null with a Final delivery means the request failed without any response (consumed is
// then null and must not be touched).
using WebResponseFn = void (*)(OlvWebReader* reader, WebInterrupt interrupt, OlvPacket* header,
                               char* data, int* consumed, int length, WebDelivery done, void* user,
                               void* user2, OlvSocketPause* pause) noexcept;
using WebSendReadyFn = void (*)(OlvWebReader* reader, void* user, void* user2) noexcept;
// Server mode: a request, or a piece of its body, for the session the reader serves. After a
// Final delivery the reader delivers nothing more until it is reset and resumed.
using WebRequestArrivedFn = void (*)(OlvWebSession* session, OlvPacket* header, char* data,
                                     int* consumed, int length, WebDelivery done) noexcept;
// Client mode: the response being read is complete (or was an interim one).
using WebReaderEventFn = void (*)(OlvWebReader* reader) noexcept;

// What one message may hold back: its header (including header lines skipped past the
// 3072-byte parse window) and the body bytes it has not consumed. A connection that goes
// past either is closed; everyone else is unaffected.
constexpr int kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxBodyBytes = 1024 * 1024;

// A reader's state. Client mode: a request has been sent and its response is awaited; server
// mode: a request has been delivered whole and its answer is awaited, so nothing more is
// delivered (and the socket reads no further) until the reader is reset for the next one.
enum class WebReaderState : int {
    Idle = 0,
    Awaiting = 1,
    Closing = 2,  // client mode: the connection ends after the current response
};

// Client mode: why the connection is being closed from this side (while it is, its end is
// not taken for the peer's).
enum class WebReaderClosing : int {
    None = 0,
    ByUs = 1,  // this module closes the socket itself
    FailedConnect = 2,
};

// Where the reader is in the current message's header.
enum class WebHeaderPhase : int {
    Seeking,     // looking for the blank line that ends it
    Overflowed,  // past the 3072-byte window without one: parsed from there, still looking
    Done,        // parsed: the body follows
};

// How the current message's body ends.
enum class WebFraming : int {
    Length,  // after body_left bytes (none left: no body)
    Chunked,
    UntilClose,  // with the connection
};

// The delivery the reader is making, while it makes it (a callee may end the connection).
enum class WebDelivering : int {
    None,
    Final,          // the message's last delivery
    ConnectionEnd,  // client mode: the connection's end is turned into the final delivery
};

struct WebChunkState;

}  // namespace tv

// One queued client request. OwnTransfer buffers are freed with the request.
struct OlvWebRequest {
    char* buffers[2] = {nullptr, nullptr};
    std::size_t lengths[2] = {0, 0};
    OlvSendOwnership ownership[2] = {OwnStatic, OwnStatic};
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    tv::WebResponseFn on_response = nullptr;
    void* user = nullptr;
    void* user2 = nullptr;
    bool is_head = false;
    tv::WebSendReadyFn on_send_ready = nullptr;  // never set by this system
    OlvWebRequest* next = nullptr;
};

// The reader's fields are written by the reader, except those marked as the client's
// (client mode only; the client owns the connection they describe).
struct OlvWebReader {
    // ---- Reading the current message ----
    tv::WebHeaderPhase header_phase = tv::WebHeaderPhase::Seeking;
    OlvPacket* header = nullptr;
    int header_length = 0;
    std::int64_t header_bytes = 0;  // header bytes skipped past the window so far
    tv::WebFraming framing = tv::WebFraming::Length;
    std::int64_t body_left = -1;   // -1: unknown
    bool close_requested = false;  // the message said "Connection: close"
    tv::WebChunkState* chunk = nullptr;
    tv::WebDelivering delivering = tv::WebDelivering::None;
    sockaddr_in local_endpoint{};
    OlvSocketPause pause = PauseReading;
    unsigned generation = 0;  // bumped by every reset: callbacks may reset us
    bool destroying = false;
    OlvAsyncSocket* socket = nullptr;                     // client mode: the client's
    tv::WebReaderState state = tv::WebReaderState::Idle;  // client mode: the client's

    // ---- Server mode ----
    bool server_mode = false;
    OlvWebSession* session = nullptr;
    tv::WebRequestArrivedFn on_request = nullptr;
    std::uint16_t server_port = 0;  // absolute targets naming this server lose their host part

    // ---- Client mode: the connection to one destination, the client's ----
    OlvWebClient* client = nullptr;
    tv::WebReaderEventFn on_complete = nullptr;  // a response was read whole
    std::mutex* lock = nullptr;                  // the client's lock: guards the request queue
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    int key_index = 0;
    OlvWebRequest* requests_head = nullptr;  // head: the request whose response is read
    OlvWebRequest* requests_tail = nullptr;
    tv::WebReaderClosing closing = tv::WebReaderClosing::None;
    int retry_delay = 0;            // seconds
    bool response_started = false;  // the head request has had (part of) a response
    bool parked = false;            // in the client's idle table
};

// Server mode reader for one web server connection: every request of the connection goes to
// `on_request` with `session`. Chain thread.
[[nodiscard]] OlvWebReader* OlvWebClient_CreateReader(tv::WebRequestArrivedFn on_request,
                                                      OlvAsyncSocket* socket,
                                                      OlvWebSession* session);
// Bytes received on the reader's connection (the async socket's on_data contract, with the
// reader itself for the owner's word).
void OlvWebClient_OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                         OlvWebReader* reader, int* pause);
// Forgets the current message so that the next bytes start a new header (a server-mode reader
// becomes idle again; its pause stays until OlvWebClient_Resume).
void OlvWebClient_ResetReader(OlvWebReader* reader);
OlvPacket* OlvWebClient_GetHeader(OlvWebReader* reader);
// Clears the reader's pause and resumes reading on its socket. Any thread.
void OlvWebClient_Resume(OlvWebReader* reader);
void OlvWebClient_Disconnect(OlvWebReader* reader);
// Disconnects a live socket, frees the reader; in client mode every queued request first
// gets on_response with WebInterrupt::Destroyed, no header and a Final delivery.
void OlvWebClient_DestroyReader(OlvWebReader* reader);

namespace tv {
// Server mode: the port the web server listens on (absolute request targets naming this
// server are reduced to their path).
void WebReaderSetServerPort(OlvWebReader* reader, std::uint16_t port) noexcept;
// The connection ended and its socket may serve another connection: the reader lets go of it.
void WebReaderDropSocket(OlvWebReader* reader) noexcept;
// The current message's header is read and its body ends with the connection.
bool WebReaderReadsUntilClose(const OlvWebReader* reader) noexcept;
// Frees a request and the buffers it owns.
void WebRequestFree(OlvWebRequest* request) noexcept;
// The HTTP version read as a decimal number is above 1 ("1.1", "2", "1.01"...).
bool VersionAboveOne(std::string_view version) noexcept;
}  // namespace tv
