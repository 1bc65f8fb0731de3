// Non-blocking TCP (or datagram) socket driven by the event chain, with a growing receive
// buffer and a FIFO send queue. The object is a chained object and is reused across
// connections; it lives until the chain ends.
#pragma once

#include <cstddef>
#include <cstdint>

struct OlvChain;
struct OlvLifeTime;
struct OlvAsyncSocket;

// Who owns bytes handed to a send call.
enum OlvSendOwnership : int {
    OwnTransfer = 0,  // the socket frees the data (malloc memory) when sent or dropped
    OwnStatic = 1,    // the caller keeps the data valid until it has gone out
    OwnCopy = 2,      // the caller keeps the data; the socket copies what it must queue
};

// Results of every send call. The web server adds -2 and -3; callers treat -2 and -4 as the
// end of sending on that connection.
enum OlvSendResult : int {
    SendAllSent = 0,
    SendQueued = 1,
    SendWillClose = -2,
    SendNoSession = -3,
    SendClosed = -4,
};

namespace tv {
// The connection takes no more of this answer: it closed or will close, or there is no session
// (SendWillClose, SendNoSession, SendClosed: every negative result).
inline bool SendStopped(OlvSendResult result) noexcept
{
    return result < 0;
}
}  // namespace tv

// The pause word of a socket. A data callback sets a value above 0 to stop reading; the
// buffered bytes stay. OlvAsyncSocket_Resume asks for them to be delivered again in the next
// turn without reading, then reading goes on.
enum OlvSocketPause : int {
    PauseResuming = -1,
    PauseReading = 0,
    PausePaused = 1,
};

namespace tv {

class RandomSource;

// What on_connect reports (the values are the design's).
enum class ConnectResult : int {
    Failed = 0,  // refused, failed or timed out: the socket is free again
    Established = -1,
};

using AsyncSocketInterruptFn = void (*)(OlvAsyncSocket* socket, void* user) noexcept;
// `data` is every unconsumed byte; set *consumed to what was used from the front. The
// callee may replace the interrupt callback and the user pointer, and set *pause > 0.
using AsyncSocketDataFn = void (*)(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                                   AsyncSocketInterruptFn* on_interrupt, void** user,
                                   int* pause) noexcept;
using AsyncSocketConnectFn = void (*)(OlvAsyncSocket* socket, ConnectResult result,
                                      void* user) noexcept;
using AsyncSocketDisconnectFn = void (*)(OlvAsyncSocket* socket, void* user) noexcept;
using AsyncSocketSendOkFn = void (*)(OlvAsyncSocket* socket, void* user) noexcept;

}  // namespace tv

// Chain thread (or before the chain runs). The chain owns the object.
[[nodiscard]] OlvAsyncSocket* OlvAsyncSocket_Create(OlvChain* chain, int initial_buffer_size,
                                                    tv::AsyncSocketDataFn on_data,
                                                    tv::AsyncSocketConnectFn on_connect,
                                                    tv::AsyncSocketDisconnectFn on_disconnect,
                                                    tv::AsyncSocketSendOkFn on_send_ok);

// Chain thread. Starts a non-blocking connect (30 s limit) from a local port in 50000..64999
// drawn from `random`; on_connect reports the outcome. Addresses are IPv4 in network order,
// the port in host order.
void OlvAsyncSocket_ConnectTo(OlvAsyncSocket* socket, tv::RandomSource* random,
                              std::uint32_t local_address, std::uint32_t remote_address,
                              std::uint16_t remote_port, tv::AsyncSocketInterruptFn on_interrupt,
                              void* user);

// Chain thread. Arms the socket with a connected stream handle or a bound datagram handle;
// the socket owns the handle from now on.
void OlvAsyncSocket_Adopt(OlvAsyncSocket* socket, int handle,
                          tv::AsyncSocketInterruptFn on_interrupt, void* user);

// Any thread. A non-zero address or port makes it a datagram send to that destination.
// Takes ownership of `data` when `ownership` is OwnTransfer, whatever the result.
OlvSendResult OlvAsyncSocket_Send(OlvAsyncSocket* socket, const char* data, std::size_t length,
                                  std::uint32_t address, std::uint16_t port,
                                  OlvSendOwnership ownership);

// Any thread. Closes the connection and calls on_disconnect (once; nothing if already free).
// Called from inside this socket's own callbacks, the close happens at once and
// on_disconnect follows when the callback has returned.
void OlvAsyncSocket_Disconnect(OlvAsyncSocket* socket);

// Any thread. Redelivers the buffered data in the next chain turn, then reads again.
void OlvAsyncSocket_Resume(OlvAsyncSocket* socket);

int OlvAsyncSocket_IsFree(OlvAsyncSocket* socket);
void OlvAsyncSocket_GetBuffer(OlvAsyncSocket* socket, char** buffer, int* begin, int* end);
void* OlvAsyncSocket_GetUser(OlvAsyncSocket* socket);
int* OlvAsyncSocket_GetHandle(OlvAsyncSocket* socket);
std::uint32_t OlvAsyncSocket_GetRemoteAddress(OlvAsyncSocket* socket);
std::uint16_t OlvAsyncSocket_GetRemotePort(OlvAsyncSocket* socket);
void OlvAsyncSocket_SetRemoteAddress(OlvAsyncSocket* socket, std::uint32_t address);
// The override when set, else the address the handle is bound to (network order).
std::uint32_t OlvAsyncSocket_GetLocalAddress(OlvAsyncSocket* socket);
void OlvAsyncSocket_SetLocalAddress(OlvAsyncSocket* socket, std::uint32_t address);
void OlvAsyncSocket_SetTag(OlvAsyncSocket* socket, void* tag);
void* OlvAsyncSocket_GetTag(OlvAsyncSocket* socket);

namespace tv {
// Where the last datagram arrived, as IP_PKTINFO tells it on a datagram socket that has it on
// (all zero otherwise): the address it was sent to, the local address a reply to its sender
// comes from, and the interface it came in on. Valid inside the data callback.
struct DatagramArrival {
    std::uint32_t destination = 0;    // network order; a group address for a group datagram
    std::uint32_t local_address = 0;  // network order
    int interface_index = 0;
};
DatagramArrival AsyncSocketArrival(OlvAsyncSocket* socket) noexcept;
// Bytes queued and not yet sent. Any thread.
std::size_t AsyncSocketPendingBytes(OlvAsyncSocket* socket) noexcept;
// Milliseconds since queued bytes last went out (or began to wait, when none has gone out
// since), -1 when nothing waits; a sender that waits for room (AsyncSocketAwaitRoom) counts
// as queued bytes. Any thread.
std::int64_t AsyncSocketStalledMs(OlvAsyncSocket* socket) noexcept;
// The chain this socket lives on.
OlvChain* AsyncSocketChain(OlvAsyncSocket* socket) noexcept;
// Each arming (ConnectTo, Adopt) gets a new number. Owners that may act on a connection
// after it ended (from another thread) name the arming they mean: the send is refused
// (SendClosed, owned data freed) and the disconnect ignored once the socket has been
// re-armed for someone else. Any thread.
unsigned AsyncSocketArming(OlvAsyncSocket* socket) noexcept;
OlvSendResult AsyncSocketSendArmed(OlvAsyncSocket* socket, unsigned arming, const char* data,
                                   std::size_t length, OlvSendOwnership ownership) noexcept;
// Several pieces that go out in one system call when the queue is empty, in order.
struct SendPiece {
    const char* data;
    std::size_t length;
    OlvSendOwnership ownership;
};
inline constexpr int kMaxSendPieces = 8;
OlvSendResult AsyncSocketSendPiecesArmed(OlvAsyncSocket* socket, unsigned arming,
                                         const SendPiece* pieces, int count) noexcept;
// Chain thread, stream socket. Between the two, sends are gathered in memory in order and
// reported as queued (SendQueued); from the end on they leave through the send queue, many
// pieces in one system call, and its drain reports them sent (on_send_ok) as for any queued
// data. For an answer built of many small pieces: the same bytes, far fewer system calls.
// The end drops what was gathered when the socket is no longer at `arming`.
void AsyncSocketBeginBatch(OlvAsyncSocket* socket) noexcept;
void AsyncSocketEndBatch(OlvAsyncSocket* socket, unsigned arming) noexcept;
void AsyncSocketDisconnectArmed(OlvAsyncSocket* socket, unsigned arming) noexcept;
// Any thread, stream socket. A descriptor of the connection at `arming` that is the caller's
// own (a dup), -1 once the socket serves no connection at that arming. A send from a file goes
// through it without the socket's lock, so that a read from the disk never holds up the chain;
// closing the socket shuts the connection down under it first, so nothing sent through it
// reaches a later connection of this socket. The caller closes it.
int AsyncSocketShareHandle(OlvAsyncSocket* socket, unsigned arming) noexcept;
// What AsyncSocketSendFile did.
struct FileSendResult {
    // SendAllSent: all of it went; SendQueued: the connection had no room for the rest, or
    // older data waits in the queue (then nothing was sent); SendClosed: the connection is
    // gone (a failure ends it in the next chain turn).
    OlvSendResult result = SendAllSent;
    std::size_t sent = 0;
    // The file gave less than asked: it ended early or could not be read. The connection is
    // left as it is.
    bool file_failed = false;
};
// Any thread, stream socket, one sender at a time. Up to `length` bytes of `file` from
// `offset` go to the connection at `arming` with sendfile through `shared` (from
// AsyncSocketShareHandle), straight from the page cache; only when nothing waits in the queue,
// so that the stream keeps its order. May wait for the disk; never for the peer.
FileSendResult AsyncSocketSendFile(OlvAsyncSocket* socket, unsigned arming, int shared, int file,
                                   std::int64_t offset, std::size_t length) noexcept;
// Any thread, stream socket. The sender of a file found no room (SendQueued above): the drain
// reports on_send_ok once the socket is writable, or once the queue ahead of it has drained,
// and the time until then counts as a stalled queue's. SendQueued, or SendClosed when the
// socket serves no connection at `arming` any more.
OlvSendResult AsyncSocketAwaitRoom(OlvAsyncSocket* socket, unsigned arming) noexcept;
// Any thread, stream socket. TCP_CORK on or off while the socket is still at `arming` (checked
// under the lock that closing and re-arming take, so it never reaches another connection's
// descriptor): corked, the kernel holds back part-filled segments until the cork is taken off.
void AsyncSocketSetCork(OlvAsyncSocket* socket, unsigned arming, bool on) noexcept;
}  // namespace tv
