// The HTTP stream reader shared by the web server (one per accepted connection, server mode)
// and the HTTP client (one per destination, client mode): it finds and parses each message
// header, works out how the body is framed (Content-Length, chunked, end of connection or
// none) and hands header and body pieces to a callback. Chain thread only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include <netinet/in.h>

#include "net/OlvAsyncSocket.h"
#include "runtime/OlvPacket.h"

struct OlvWebReader;
struct OlvWebClient;

namespace tv {

// data/length: body bytes offered now; add to *consumed what was taken. done is -1 for the
// final delivery of a message, else 0. interrupt is 0, or 5 when the connection is destroyed
// with the request pending; header null with done -1 means the request failed without any
// response (consumed is then null and must not be touched).
using WebResponseFn = void (*)(OlvWebReader* reader, int interrupt, OlvPacket* header, char* data,
                               int* consumed, int length, int done, void* user, void* user2,
                               int* pause) noexcept;
using WebSendReadyFn = void (*)(OlvWebReader* reader, void* user, void* user2) noexcept;

constexpr int kWebInterruptDestroyed = 5;
// What one message may hold back: its header (including header lines skipped past the
// 3072-byte parse window) and the body bytes it has not consumed. A connection that goes
// past either is closed; everyone else is unaffected.
constexpr int kMaxHeaderBytes = 64 * 1024;
constexpr int kMaxBodyBytes = 1024 * 1024;

struct WebChunkState;

}  // namespace tv

// A reader's state. Client mode: a request has been sent and its response is awaited; server
// mode: a request has been delivered whole and its answer is awaited, so nothing more is
// delivered (and the socket reads no further) until the reader is reset for the next one.
enum OlvWebReaderState : int {
    ReaderIdle = 0,
    ReaderAwaiting = 1,
    ReaderClosing = 2,  // client mode: the connection ends after the current response
};

// Client mode: why the connection is being closed from this side (while it is, its end is
// not taken for the peer's).
enum OlvWebReaderClosing : int {
    ClosingNone = 0,
    ClosingByUs = 1,  // this module closes the socket itself
    ClosingFailedConnect = 2,
};

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
    int is_head = 0;
    tv::WebSendReadyFn on_send_ready = nullptr;  // never set by this system
    OlvWebRequest* next = nullptr;
};

struct OlvWebReader {
    int state = ReaderIdle;  // OlvWebReaderState
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    OlvWebClient* client = nullptr;
    OlvAsyncSocket* socket = nullptr;
    int server_mode = 0;
    OlvWebRequest* requests_head = nullptr;  // head: the request whose response is read
    OlvWebRequest* requests_tail = nullptr;
    int header_done = 0;
    OlvPacket* header = nullptr;
    int header_length = 0;
    int chunked = 0;
    int close_requested = 0;
    int length_unknown = 0;
    std::int64_t body_left = -1;
    tv::WebChunkState* chunk = nullptr;
    int in_final_delivery = 0;
    int closing = ClosingNone;  // OlvWebReaderClosing
    int retry_delay = 0;
    sockaddr_in local_endpoint{};
    int response_started = 0;
    int delivering_close = 0;
    int pause = PauseReading;  // OlvSocketPause
    int key_index = 0;

    // Bookkeeping of this implementation.
    std::mutex* lock = nullptr;     // the client's lock (client mode), else null
    std::uint16_t server_port = 0;  // server mode: the web server's port
    int header_overflow = 0;        // the 3072-byte window passed without a header end
    std::int64_t header_bytes = 0;  // header bytes skipped so far for this message
    unsigned generation = 0;        // bumped by every reset: callbacks may reset us
    int destroying = 0;
    int parked = 0;  // in the client's idle table
};

// Server mode reader for one web server connection. Chain thread.
[[nodiscard]] OlvWebReader* OlvWebClient_CreateReader(tv::WebResponseFn callback,
                                                      OlvAsyncSocket* socket, void* user,
                                                      void* user2);
// The socket data handler (the async socket on_data contract; *reader is the reader).
void OlvWebClient_OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                         tv::AsyncSocketInterruptFn* on_interrupt, void** reader, int* pause);
// Forgets the current message so that the next bytes start a new header (a server-mode reader
// becomes idle again; its pause stays until OlvWebClient_Resume).
void OlvWebClient_ResetReader(OlvWebReader* reader);
OlvPacket* OlvWebClient_GetHeader(OlvWebReader* reader);
// Clears the reader's pause and resumes reading on its socket. Any thread.
void OlvWebClient_Resume(OlvWebReader* reader);
void OlvWebClient_Disconnect(OlvWebReader* reader);
// Disconnects a live socket, frees the reader; in client mode every queued request first
// gets on_response with interrupt 5, no header and done -1.
void OlvWebClient_DestroyReader(OlvWebReader* reader);

namespace tv {
// Server mode: the port the web server listens on (absolute request targets naming this
// server are reduced to their path).
void WebReaderSetServerPort(OlvWebReader* reader, std::uint16_t port) noexcept;
// Client mode completion of a response; defined by the client.
void WebClientCompleteResponse(OlvWebReader* reader) noexcept;
// Frees a request and the buffers it owns.
void WebRequestFree(OlvWebRequest* request) noexcept;
// The HTTP version read as a decimal number is above 1 ("1.1", "2", "1.01"...).
bool VersionAboveOne(std::string_view version) noexcept;
}  // namespace tv
