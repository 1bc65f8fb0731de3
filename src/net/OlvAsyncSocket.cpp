// One non-blocking socket on the event chain. The chain thread runs the hooks and every
// callback; Send, Disconnect and Resume may come from any thread and only touch the handle,
// the send queue and the pause word under the socket's lock. The socket owns its handle,
// its receive buffer and every OwnTransfer item in its queue.
#include "net/OlvAsyncSocket.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <type_traits>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"

namespace {

constexpr int kConnectTimeoutMs = 30000;
constexpr int kMinFreeBytes = 1024;  // below this the buffer grows
constexpr int kGrowStepBytes = 4096;
constexpr std::size_t kBatchItemBytes = 64 * 1024;
constexpr int kDiscardReads = 16;  // at most this many reads of unread input before a close

struct SendItem {
    char* data = nullptr;
    std::size_t length = 0;
    std::size_t offset = 0;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    OlvSendOwnership ownership = OwnStatic;
    SendItem* next = nullptr;
};

}  // namespace

struct OlvAsyncSocket {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvChain* chain = nullptr;
    std::size_t pending_bytes = 0;
    std::int64_t progress_ms = 0;  // when queued bytes last went out or began to wait
    int handle = -1;
    std::uint32_t remote_address = 0;
    std::uint16_t remote_port = 0;
    std::uint32_t local_address_override = 0;
    sockaddr_in from{};
    tv::DatagramArrival arrival{};  // of the last datagram, chain thread
    tv::AsyncSocketDataFn on_data = nullptr;
    tv::AsyncSocketConnectFn on_connect = nullptr;
    tv::AsyncSocketDisconnectFn on_disconnect = nullptr;
    tv::AsyncSocketSendOkFn on_send_ok = nullptr;
    tv::AsyncSocketInterruptFn on_interrupt = nullptr;
    OlvLifeTime* disconnect_timer = nullptr;
    OlvLifeTime* connect_timer = nullptr;
    void* user = nullptr;
    std::atomic<int> pause{PauseReading};
    int connected = 0;
    int begin = 0;
    int end = 0;
    char* buffer = nullptr;
    int buffer_size = 0;
    int initial_buffer_size = 0;
    SendItem* send_head = nullptr;
    SendItem* send_tail = nullptr;
    std::mutex lock;
    void* tag = nullptr;
    bool datagram = false;
    bool batching = false;  // sends gather in `batch` until the batch ends
    char* batch = nullptr;
    std::size_t batch_length = 0;
    std::size_t batch_capacity = 0;
    // Set while the chain thread is inside on_data or on_send_ok; a disconnect asked for
    // meanwhile closes at once but reports on_disconnect after the callback returns, so the
    // callee never sees its own state freed under it.
    bool in_callback = false;
    bool disconnect_deferred = false;
    bool destroying = false;  // in the destroy hook: no more callbacks
    // A sender from a file found no room (AsyncSocketAwaitRoom): writability reports
    // on_send_ok as a drained queue does. Cleared by that report and by the queue's drop.
    bool await_room = false;
    unsigned arming = 0;  // bumped by every ConnectTo and Adopt
    // A connect that failed inside ConnectTo is reported from the next post_select; until
    // then the socket does not count as free, so nobody else takes it meanwhile.
    bool connect_failure_pending = false;
};

static_assert(std::is_standard_layout_v<OlvAsyncSocket>);
static_assert(offsetof(OlvAsyncSocket, hooks) == 0);

namespace {

// The socket, as the chain's hooks and its own timers hand it back: the one place that casts.
OlvAsyncSocket* SocketOf(void* word) noexcept
{
    return static_cast<OlvAsyncSocket*>(word);
}

void FreeItem(SendItem* item) noexcept
{
    if (item->ownership == OwnTransfer) tv::Free(item->data);
    delete item;
}

// Lock held.
void DropQueue(OlvAsyncSocket* s) noexcept
{
    SendItem* item = s->send_head;
    while (item != nullptr) {
        SendItem* next = item->next;
        FreeItem(item);
        item = next;
    }
    s->send_head = s->send_tail = nullptr;
    s->pending_bytes = 0;
    s->await_room = false;
    tv::Free(s->batch);
    s->batch = nullptr;
    s->batch_length = s->batch_capacity = 0;
    s->batching = false;
}

std::int64_t NowMs() noexcept
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A stream closed with unread input answers with a reset, which can overtake and destroy what
// it sent last (the answer to a request that ended the connection, say, when the client
// pipelined more after it): what has arrived is read away first.
void DiscardUnread(int handle) noexcept
{
    char sink[16384];
    for (int i = 0; i < kDiscardReads; ++i) {
        if (::recv(handle, sink, sizeof sink, MSG_DONTWAIT) <= 0) return;
    }
}

// Lock held.
void CloseHandle(OlvAsyncSocket* s) noexcept
{
    if (s->handle < 0) return;
    if (!s->datagram) DiscardUnread(s->handle);
    ::shutdown(s->handle, SHUT_RDWR);
    ::close(s->handle);
    s->handle = -1;
}

void MakeNonBlocking(int fd) noexcept
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0 && (flags & O_NONBLOCK) == 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

bool WouldBlock(int err) noexcept
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

// sendfile takes no MSG_NOSIGNAL: to a peer that has reset the connection it raises SIGPIPE,
// which would end the process. The signal is held back on this thread for the call and taken
// back after an EPIPE, and after a short count too: a reset met after the first pages raises it
// as well, the pages sent before it counted. Returns the count sent, or -1 with errno.
ssize_t SendFileQuietly(int out, int in, off_t* at, std::size_t length) noexcept
{
    sigset_t pipe_only;
    sigset_t old;
    ::sigemptyset(&pipe_only);
    ::sigaddset(&pipe_only, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    ssize_t n;
    do {
        n = ::sendfile(out, in, at, length);
    } while (n < 0 && errno == EINTR);
    const int err = n < 0 ? errno : 0;
    if (!::sigismember(&old, SIGPIPE)) {
        if (n < 0 ? err == EPIPE : static_cast<std::size_t>(n) < length) {
            const timespec now{};
            ::sigtimedwait(&pipe_only, nullptr, &now);
        }
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
    errno = err;
    return n;
}

// Lock held. Returns the count sent, or -1 with errno.
ssize_t SendOnce(OlvAsyncSocket* s, SendItem* item) noexcept
{
    const char* p = item->data + item->offset;
    std::size_t n = item->length - item->offset;
    if (item->address != 0 || item->port != 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = item->address;
        to.sin_port = htons(item->port);
        return ::sendto(s->handle, p, n, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    return ::send(s->handle, p, n, MSG_NOSIGNAL);
}

// Lock held, stream socket. The front of the queue in one system call.
ssize_t SendFront(OlvAsyncSocket* s) noexcept
{
    iovec vector[tv::kMaxSendPieces];
    int count = 0;
    for (SendItem* item = s->send_head; item != nullptr && count < tv::kMaxSendPieces;
         item = item->next, ++count) {
        vector[count].iov_base = item->data + item->offset;
        vector[count].iov_len = item->length - item->offset;
    }
    msghdr message{};
    message.msg_iov = vector;
    message.msg_iovlen = static_cast<std::size_t>(count);
    return ::sendmsg(s->handle, &message, MSG_NOSIGNAL);
}

// Lock held. Frees the items `n` sent bytes completed; false when the kernel left part of an
// item, so it takes no more now.
bool Consume(OlvAsyncSocket* s, std::size_t n) noexcept
{
    bool freed = false;
    while (s->send_head != nullptr) {
        SendItem* item = s->send_head;
        std::size_t left = item->length - item->offset;
        if (n < left) {
            item->offset += n;
            return n == 0 && freed;
        }
        freed = true;
        n -= left;
        s->send_head = item->next;
        if (s->send_head == nullptr) s->send_tail = nullptr;
        FreeItem(item);
    }
    return true;
}

void DeferredDisconnect(void* data) noexcept
{
    OlvAsyncSocket_Disconnect(SocketOf(data));
}

void ConnectTimeout(void* data) noexcept
{
    OlvAsyncSocket* s = SocketOf(data);
    void* user;
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0 || s->connected != 0) return;
        CloseHandle(s);
        DropQueue(s);
        s->pause = PausePaused;
        user = s->user;
    }
    if (s->on_connect != nullptr) s->on_connect(s, tv::ConnectResult::Failed, user);
}

void ResetBuffer(OlvAsyncSocket* s) noexcept
{
    if (s->buffer_size != s->initial_buffer_size || s->buffer == nullptr) {
        tv::Free(s->buffer);
        s->buffer =
            static_cast<char*>(tv::Malloc(static_cast<std::size_t>(s->initial_buffer_size)));
        s->buffer_size = s->initial_buffer_size;
    }
    s->begin = s->end = 0;
}

// Reports a disconnect that was held back while a callback ran.
void FinishDeferredDisconnect(OlvAsyncSocket* s) noexcept
{
    void* user;
    {
        std::scoped_lock lk(s->lock);
        s->in_callback = false;
        if (!s->disconnect_deferred) return;
        s->disconnect_deferred = false;
        user = s->user;
    }
    if (s->on_disconnect != nullptr) s->on_disconnect(s, user);
}

void EnterCallback(OlvAsyncSocket* s) noexcept
{
    std::scoped_lock lk(s->lock);
    s->in_callback = true;
}

// Lock held. One datagram into the buffer, with its sender and, where the socket asked for
// IP_PKTINFO, where it arrived.
ssize_t ReceiveDatagram(OlvAsyncSocket* s) noexcept
{
    iovec piece{s->buffer + s->end, static_cast<std::size_t>(s->buffer_size - s->end)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &s->from;
    message.msg_namelen = sizeof s->from;
    message.msg_iov = &piece;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t count = ::recvmsg(s->handle, &message, 0);
    s->arrival = {};
    if (count < 0) return count;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info{};
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        s->arrival = {info.ipi_addr.s_addr, info.ipi_spec_dst.s_addr, info.ipi_ifindex};
    }
    return count;
}

bool IsOpen(OlvAsyncSocket* s) noexcept
{
    std::scoped_lock lk(s->lock);
    return s->handle >= 0;
}

// One call of on_data over the unconsumed bytes; returns the count consumed.
int DeliverOnce(OlvAsyncSocket* s) noexcept
{
    int consumed = 0;
    void* user = s->user;
    tv::AsyncSocketInterruptFn on_interrupt = s->on_interrupt;
    // A resume asked for before this call is served by it. Left standing, it would override
    // the pause this callee asks for (a pipelined request whose answer comes later, after one
    // answered at once), and the next request would be delivered before this one's answer.
    int resuming = PauseResuming;
    s->pause.compare_exchange_strong(resuming, PauseReading);
    int pause = s->pause.load();
    unsigned arming;
    {
        std::scoped_lock lk(s->lock);
        arming = s->arming;
    }
    EnterCallback(s);
    if (s->on_data != nullptr) {
        s->on_data(s, s->buffer + s->begin, &consumed, s->end - s->begin, &on_interrupt, &user,
                   &pause);
    }
    {
        std::scoped_lock lk(s->lock);
        if (s->arming == arming) {  // not re-armed for someone else meanwhile
            s->user = user;
            s->on_interrupt = on_interrupt;
        }
        // A resume asked for while the callback ran wins over the word it returns.
        if (s->handle >= 0 && s->pause.load() != PauseResuming) s->pause = pause;
    }
    FinishDeferredDisconnect(s);
    if (consumed < 0) consumed = 0;
    if (consumed > s->end - s->begin) consumed = s->end - s->begin;
    return consumed;
}

// Keeps calling on_data while it consumes something: one read may carry several messages.
void DeliveryLoop(OlvAsyncSocket* s) noexcept
{
    while (s->pause.load() < PausePaused && s->begin != s->end && s->buffer != nullptr &&
           IsOpen(s)) {
        int consumed = DeliverOnce(s);
        s->begin += consumed;
        if (consumed == 0) break;
    }
}

// After a resume: what is buffered is delivered again without reading.
void Redeliver(OlvAsyncSocket* s) noexcept
{
    if (IsOpen(s) && s->pause.load() < PausePaused && s->begin != s->end) DeliveryLoop(s);
    if (s->begin == s->end) s->begin = s->end = 0;
}

// Room for the next read: consumed bytes at the front are moved out when enough is free,
// else the buffer grows (there is no upper limit; the reader bounds what it holds back).
void MakeReadRoom(OlvAsyncSocket* s) noexcept
{
    if (s->buffer == nullptr) ResetBuffer(s);
    if (s->buffer_size - s->end >= kMinFreeBytes) {
        if (s->begin == 0) return;
        std::memmove(s->buffer, s->buffer + s->begin, static_cast<std::size_t>(s->end - s->begin));
        s->end -= s->begin;
        s->begin = 0;
        return;
    }
    s->buffer = static_cast<char*>(
        tv::Realloc(s->buffer, static_cast<std::size_t>(s->buffer_size + kGrowStepBytes)));
    s->buffer_size += kGrowStepBytes;
}

enum class Received { Data, Nothing, Ended };

// One receive into the buffer's free space (*count bytes). Ended: the stream is closed now,
// and *user is whom to tell.
Received ReceiveOnce(OlvAsyncSocket* s, ssize_t* count, void** user) noexcept
{
    std::scoped_lock lk(s->lock);
    if (s->handle < 0) return Received::Nothing;
    std::memset(&s->from, 0, sizeof s->from);
    socklen_t from_length = sizeof s->from;
    *count = s->datagram ? ReceiveDatagram(s)
                         : ::recvfrom(s->handle, s->buffer + s->end,
                                      static_cast<std::size_t>(s->buffer_size - s->end), 0,
                                      reinterpret_cast<sockaddr*>(&s->from), &from_length);
    const int err = *count < 0 ? errno : 0;
    if (*count >= 0 && s->from.sin_addr.s_addr != 0) {
        s->remote_address = s->from.sin_addr.s_addr;
        s->remote_port = ntohs(s->from.sin_port);
    }
    // A ready bit can be stale (the fd may be new this turn): would-block reads nothing.
    if (*count < 0 && WouldBlock(err)) return Received::Nothing;
    // An empty datagram or an ICMP report is no reason to close a datagram socket.
    if (s->datagram && (*count == 0 || (*count < 0 && err != EBADF))) return Received::Nothing;
    if (*count > 0) return Received::Data;
    DropQueue(s);
    CloseHandle(s);
    s->pause = PausePaused;
    *user = s->user;
    return Received::Ended;
}

void ReadAndDeliver(OlvAsyncSocket* s) noexcept
{
    MakeReadRoom(s);
    if (s->pause.load() >= PausePaused) return;
    ssize_t count = 0;
    void* user = nullptr;
    switch (ReceiveOnce(s, &count, &user)) {
    case Received::Nothing:
        return;
    case Received::Ended:
        if (s->on_disconnect != nullptr) s->on_disconnect(s, user);
        if (s->handle < 0) {
            // Not re-armed by the callback: give the memory back until the next arming.
            tv::Free(s->buffer);
            s->buffer = nullptr;
            s->buffer_size = 0;
            s->begin = s->end = 0;
        }
        return;
    case Received::Data:
        break;
    }
    s->end += static_cast<int>(count);
    int consumed = DeliverOnce(s);
    s->begin += consumed;
    if (IsOpen(s) && s->pause.load() < PausePaused && s->begin != s->end && s->begin != 0)
        DeliveryLoop(s);
    if (s->begin == s->end) s->begin = s->end = 0;
}

void PreSelect(void* object, fd_set* read_set, fd_set* write_set, fd_set* error_set,
               int* block_ms) noexcept
{
    OlvAsyncSocket* s = SocketOf(object);
    std::scoped_lock lk(s->lock);
    if (s->connect_failure_pending) *block_ms = 0;
    if (s->handle < 0) return;
    if (s->pause.load() == PauseResuming) *block_ms = 0;
    if (s->connected == 0) {
        tv::FdSetAdd(write_set, s->handle);
        tv::FdSetAdd(error_set, s->handle);
    } else if (s->pause.load() == PauseReading) {
        tv::FdSetAdd(read_set, s->handle);
    }
    if (s->send_head != nullptr || s->await_room) tv::FdSetAdd(write_set, s->handle);
}

// Lock taken here. Sends what the queue holds while the kernel takes it; true when the queue
// drained (not by a failure) and on_send_ok is due, *user whom to tell.
bool DrainQueue(OlvAsyncSocket* s, fd_set* write_set, void** user) noexcept
{
    std::scoped_lock lk(s->lock);
    if (s->connected != 1 || s->handle < 0 || (s->send_head == nullptr && !s->await_room) ||
        !FD_ISSET(s->handle, write_set)) {
        return false;
    }
    while (s->send_head != nullptr) {
        ssize_t n = s->datagram ? SendOnce(s, s->send_head) : SendFront(s);
        if (n < 0) {
            if (WouldBlock(errno)) break;
            DropQueue(s);
            if (!tv::ChainEnding(s->chain))
                tv::LifeTimeAddNextTurn(s->disconnect_timer, s, DeferredDisconnect, nullptr);
            return false;
        }
        s->pending_bytes -= static_cast<std::size_t>(n);
        if (n != 0) s->progress_ms = NowMs();
        if (!Consume(s, static_cast<std::size_t>(n))) break;
    }
    if (s->send_head != nullptr) return false;
    s->await_room = false;  // the room a file's sender waits for, or a queue drained before it
    *user = s->user;
    s->in_callback = true;
    return true;
}

// Lock taken here. A connect that failed inside ConnectTo, reported once.
bool TakeEarlyConnectFailure(OlvAsyncSocket* s, void** user) noexcept
{
    std::scoped_lock lk(s->lock);
    if (!s->connect_failure_pending) return false;
    s->connect_failure_pending = false;
    *user = s->user;
    return true;
}

enum class ConnectOutcome { None, Connected, Failed };

// Lock held, connect in progress. On Linux a finished connect shows as writable, failed or
// not; SO_ERROR tells which.
ConnectOutcome CheckConnect(OlvAsyncSocket* s, fd_set* write_set, void** user) noexcept
{
    if (!FD_ISSET(s->handle, write_set)) return ConnectOutcome::None;
    *user = s->user;
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(s->handle, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) so_error = errno;
    sockaddr_in peer{};
    socklen_t peer_length = sizeof peer;
    // A stale ready bit (the descriptor number was reused this turn) is no outcome.
    if (so_error == 0 &&
        ::getpeername(s->handle, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
        so_error = errno == ENOTCONN ? EINPROGRESS : errno;
    }
    if (so_error == 0) {
        s->connected = 1;
        s->pause = PauseReading;
        MakeNonBlocking(s->handle);
        return ConnectOutcome::Connected;
    }
    if (so_error == EINPROGRESS || so_error == EALREADY) return ConnectOutcome::None;
    CloseHandle(s);
    DropQueue(s);
    s->pause = PausePaused;
    return ConnectOutcome::Failed;
}

// In order: the send queue drains, a connect reports its outcome, then the socket reads (or
// redelivers after a resume).
void PostSelect(void* object, int /*select_result*/, fd_set* read_set, fd_set* write_set,
                fd_set* /*error_set*/) noexcept
{
    OlvAsyncSocket* s = SocketOf(object);
    void* user = nullptr;
    if (DrainQueue(s, write_set, &user)) {
        if (s->on_send_ok != nullptr) s->on_send_ok(s, user);
        FinishDeferredDisconnect(s);
    }
    if (TakeEarlyConnectFailure(s, &user)) {
        if (s->on_connect != nullptr) s->on_connect(s, tv::ConnectResult::Failed, user);
        return;
    }
    ConnectOutcome outcome = ConnectOutcome::None;
    bool readable = false;
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0) return;
        if (s->connected == 0)
            outcome = CheckConnect(s, write_set, &user);
        else
            readable = FD_ISSET(s->handle, read_set) != 0;
    }
    if (outcome != ConnectOutcome::None) {
        OlvLifeTime_Remove(s->connect_timer, s);
        if (s->on_connect != nullptr) {
            s->on_connect(s,
                          outcome == ConnectOutcome::Connected ? tv::ConnectResult::Established
                                                               : tv::ConnectResult::Failed,
                          user);
        }
        return;
    }
    if (readable) {
        ReadAndDeliver(s);
        return;
    }
    int expected = PauseResuming;
    if (s->pause.compare_exchange_strong(expected, PauseReading)) Redeliver(s);
}

void Destroy(void* object) noexcept
{
    OlvAsyncSocket* s = SocketOf(object);
    int handle;
    {
        std::scoped_lock lk(s->lock);
        handle = s->handle;
        s->destroying = true;
    }
    if (handle >= 0 && s->on_interrupt != nullptr) s->on_interrupt(s, s->user);
    {
        std::scoped_lock lk(s->lock);
        CloseHandle(s);
        DropQueue(s);
    }
    // Taken out of a running chain: our monitors outlive us, so nothing left on them may call
    // back into this record. At the chain's end they go with it (some of them before us).
    if (!tv::ChainEnding(s->chain)) {
        OlvLifeTime_Remove(s->disconnect_timer, s);
        OlvLifeTime_Remove(s->connect_timer, s);
        // The monitors served only this socket.
        OlvChain_DeferRemove(s->chain, s->disconnect_timer);
        OlvChain_DeferRemove(s->chain, s->connect_timer);
    }
    tv::Free(s->buffer);
    s->buffer = nullptr;
    std::destroy_at(s);
}

constexpr tv::ChainHooks kAsyncSocketHooks = {
    .pre_select = PreSelect,
    .post_select = PostSelect,
    .destroy = Destroy,
};

void ArmCommon(OlvAsyncSocket* s, tv::AsyncSocketInterruptFn on_interrupt, void* user) noexcept
{
    // A disconnect or connect time-out still pending from the previous connection must not
    // hit the new one.
    if (!tv::ChainEnding(s->chain)) {
        OlvLifeTime_Remove(s->disconnect_timer, s);
        OlvLifeTime_Remove(s->connect_timer, s);
    }
    {
        std::scoped_lock lk(s->lock);
        ++s->arming;
        s->connect_failure_pending = false;
        s->user = user;
        s->on_interrupt = on_interrupt;
        s->pending_bytes = 0;
        s->await_room = false;
        s->pause = PauseReading;
        s->disconnect_deferred = false;
    }
    ResetBuffer(s);
}

}  // namespace

OlvAsyncSocket* OlvAsyncSocket_Create(OlvChain* chain, int initial_buffer_size,
                                      tv::AsyncSocketDataFn on_data,
                                      tv::AsyncSocketConnectFn on_connect,
                                      tv::AsyncSocketDisconnectFn on_disconnect,
                                      tv::AsyncSocketSendOkFn on_send_ok)
{
    auto* s = tv::NewChainObject<OlvAsyncSocket>(kAsyncSocketHooks);
    s->chain = chain;
    s->initial_buffer_size = initial_buffer_size > 0 ? initial_buffer_size : kGrowStepBytes;
    s->buffer = static_cast<char*>(tv::Malloc(static_cast<std::size_t>(s->initial_buffer_size)));
    s->buffer_size = s->initial_buffer_size;
    s->on_data = on_data;
    s->on_connect = on_connect;
    s->on_disconnect = on_disconnect;
    s->on_send_ok = on_send_ok;
    s->disconnect_timer = OlvLifeTime_Create(chain);
    s->connect_timer = OlvLifeTime_Create(chain);
    OlvChain_Add(chain, s);
    return s;
}

void OlvAsyncSocket_ConnectTo(OlvAsyncSocket* socket, tv::RandomSource* random,
                              std::uint32_t local_address, std::uint32_t remote_address,
                              std::uint16_t remote_port, tv::AsyncSocketInterruptFn on_interrupt,
                              void* user)
{
    OlvAsyncSocket* s = socket;
    ArmCommon(s, on_interrupt, user);
    s->remote_address = remote_address;
    s->remote_port = remote_port;
    s->datagram = false;
    int fd = -1;
    {
        std::scoped_lock lk(s->lock);
        fd = s->handle;
    }
    if (fd < 0) {
        int bound = -1;
        if (OlvBindStreamSocket(local_address, 0, random, &bound) == 0) {
            if (bound >= 0) ::close(bound);
            bound = -1;
        }
        fd = bound;
    }
    int err = 0;
    if (fd >= 0) {
        MakeNonBlocking(fd);
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = remote_address;
        to.sin_port = htons(remote_port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) err = errno;
    }
    {
        std::scoped_lock lk(s->lock);
        s->handle = fd;
        s->connected = 0;
    }
    if (fd < 0 || (err != 0 && err != EINPROGRESS && err != EINTR)) {
        std::scoped_lock lk(s->lock);
        CloseHandle(s);
        s->pause = PausePaused;
        s->connect_failure_pending = true;
    } else {
        // Registered even when the connect completed at once; the write set reports it.
        OlvLifeTime_Add(s->connect_timer, s, kConnectTimeoutMs, ConnectTimeout, nullptr);
    }
    OlvChain_Wake(s->chain);
}

void OlvAsyncSocket_Adopt(OlvAsyncSocket* socket, int handle,
                          tv::AsyncSocketInterruptFn on_interrupt, void* user)
{
    OlvAsyncSocket* s = socket;
    ArmCommon(s, on_interrupt, user);
    int type = SOCK_STREAM;
    socklen_t len = sizeof type;
    if (::getsockopt(handle, SOL_SOCKET, SO_TYPE, &type, &len) != 0) type = SOCK_STREAM;
    MakeNonBlocking(handle);
    std::scoped_lock lk(s->lock);
    s->datagram = type == SOCK_DGRAM;
    s->handle = handle;
    s->connected = 1;
}

namespace {

// Lock held.
void Append(OlvAsyncSocket* s, SendItem* item) noexcept
{
    if (s->send_head == nullptr) s->progress_ms = NowMs();  // the wait begins
    if (s->send_tail != nullptr)
        s->send_tail->next = item;
    else
        s->send_head = item;
    s->send_tail = item;
}

void FreeOwned(const tv::SendPiece* pieces, int count) noexcept
{
    for (int i = 0; i < count; ++i)
        if (pieces[i].ownership == OwnTransfer) tv::Free(const_cast<char*>(pieces[i].data));
}

// Lock held. One system call for every piece; the count sent, or -1 with errno.
ssize_t SendVector(OlvAsyncSocket* s, const tv::SendPiece* pieces, int count, std::uint32_t address,
                   std::uint16_t port) noexcept
{
    iovec vector[tv::kMaxSendPieces];
    msghdr message{};
    // Pieces beyond the vector are simply not sent now: the caller queues them.
    if (count > tv::kMaxSendPieces) count = tv::kMaxSendPieces;
    for (int i = 0; i < count; ++i) {
        vector[i].iov_base = const_cast<char*>(pieces[i].data);
        vector[i].iov_len = pieces[i].length;
    }
    message.msg_iov = vector;
    message.msg_iovlen = static_cast<std::size_t>(count);
    sockaddr_in to{};
    if (address != 0 || port != 0) {
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(port);
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
    }
    return ::sendmsg(s->handle, &message, MSG_NOSIGNAL);
}

// Lock held. Queues what is left of `pieces` once the first `sent` bytes went out (their
// pending count already taken off), copied where the caller keeps it; frees what went out.
// True when anything was queued.
bool QueueUnsent(OlvAsyncSocket* s, const tv::SendPiece* pieces, int count, std::size_t sent,
                 bool behind, std::uint32_t address, std::uint16_t port) noexcept
{
    bool queued = false;
    for (int i = 0; i < count; ++i) {
        const tv::SendPiece& piece = pieces[i];
        const bool empty_kept = piece.length == 0 && behind;
        if (sent >= piece.length && !empty_kept) {
            sent -= piece.length;
            if (piece.ownership == OwnTransfer) tv::Free(const_cast<char*>(piece.data));
            continue;
        }
        auto* item = new SendItem;
        item->data = const_cast<char*>(piece.data);
        item->length = piece.length;
        item->offset = sent;
        item->address = address;
        item->port = port;
        item->ownership = piece.ownership;
        if (item->ownership == OwnCopy) {
            // Only what is still to go.
            item->data = tv::CopyBytes(piece.data + sent, piece.length - sent);
            item->length = piece.length - sent;
            item->offset = 0;
            item->ownership = OwnTransfer;
        }
        sent = 0;
        Append(s, item);
        queued = true;
    }
    return queued;
}

// Lock held. A send that failed for good: the connection ends in the next chain turn.
OlvSendResult SendFailed(OlvAsyncSocket* s) noexcept
{
    s->pending_bytes = 0;
    if (!tv::ChainEnding(s->chain))
        tv::LifeTimeAddNextTurn(s->disconnect_timer, s, DeferredDisconnect, nullptr);
    return SendClosed;
}

// Lock held. Appends the pieces' bytes to the batch and frees what the caller handed over.
void Gather(OlvAsyncSocket* s, const tv::SendPiece* pieces, int count) noexcept
{
    std::size_t total = s->batch_length;
    for (int i = 0; i < count; ++i) total += pieces[i].length;
    if (total > s->batch_capacity) {
        std::size_t capacity = s->batch_capacity == 0 ? 4096 : s->batch_capacity;
        while (capacity < total) capacity *= 2;
        s->batch = static_cast<char*>(tv::Realloc(s->batch, capacity));
        s->batch_capacity = capacity;
    }
    for (int i = 0; i < count; ++i) {
        if (pieces[i].length != 0)
            std::memcpy(s->batch + s->batch_length, pieces[i].data, pieces[i].length);
        s->batch_length += pieces[i].length;
        s->pending_bytes += pieces[i].length;
    }
    FreeOwned(pieces, count);
}

// Lock held. The gathered bytes join the send queue as one item.
void QueueBatch(OlvAsyncSocket* s) noexcept
{
    if (s->batch_length == 0) return;
    auto* item = new SendItem;
    item->data = s->batch;
    item->length = s->batch_length;
    item->ownership = OwnTransfer;
    Append(s, item);
    s->batch = nullptr;
    s->batch_length = s->batch_capacity = 0;
}

// Lock held. What the kernel does not take at once is queued in order, copied where the caller
// keeps it. *queued tells whether anything waits now (the caller wakes the chain, unlocked).
OlvSendResult SendLocked(OlvAsyncSocket* s, const tv::SendPiece* pieces, int count,
                         std::uint32_t address, std::uint16_t port, bool* queued) noexcept
{
    *queued = false;
    std::size_t total = 0;
    for (int i = 0; i < count; ++i) total += pieces[i].length;
    s->pending_bytes += total;
    // Behind older data (or before the connect is done): strict FIFO order.
    const bool behind = s->send_head != nullptr || s->connected == 0;
    std::size_t sent = 0;
    if (!behind && total != 0) {
        ssize_t n = SendVector(s, pieces, count, address, port);
        if (n < 0) {
            if (!WouldBlock(errno)) {
                FreeOwned(pieces, count);
                return SendFailed(s);
            }
            n = 0;
        }
        sent = static_cast<std::size_t>(n);
        s->pending_bytes -= sent;
        if (sent != 0) s->progress_ms = NowMs();
    }
    *queued = QueueUnsent(s, pieces, count, sent, behind, address, port);
    return *queued ? SendQueued : SendAllSent;
}

// `arming`, when given, must still be the socket's arming (checked under the same lock).
OlvSendResult SendImpl(OlvAsyncSocket* socket, const tv::SendPiece* pieces, int count,
                       std::uint32_t address, std::uint16_t port, const unsigned* arming) noexcept
{
    if (socket == nullptr) {
        FreeOwned(pieces, count);
        return SendClosed;
    }
    OlvAsyncSocket* s = socket;
    bool queued = false;
    OlvSendResult result;
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0 || (arming != nullptr && *arming != s->arming)) {
            FreeOwned(pieces, count);
            return SendClosed;
        }
        if (s->batching && address == 0 && port == 0) {
            // Waits like queued data: the drain that sends it reports it as sent.
            Gather(s, pieces, count);
            if (s->batch_length >= kBatchItemBytes) QueueBatch(s);
            return SendQueued;
        }
        result = SendLocked(s, pieces, count, address, port, &queued);
    }
    if (queued) OlvChain_Wake(s->chain);
    return result;
}

}  // namespace

OlvSendResult OlvAsyncSocket_Send(OlvAsyncSocket* socket, const char* data, std::size_t length,
                                  std::uint32_t address, std::uint16_t port,
                                  OlvSendOwnership ownership)
{
    const tv::SendPiece piece{data, length, ownership};
    return SendImpl(socket, &piece, 1, address, port, nullptr);
}

namespace {

void DisconnectImpl(OlvAsyncSocket* socket, const unsigned* arming) noexcept
{
    if (socket == nullptr) return;
    OlvAsyncSocket* s = socket;
    void* user;
    {
        std::scoped_lock lk(s->lock);
        if (arming != nullptr && *arming != s->arming) return;
    }
    if (!tv::ChainEnding(s->chain)) OlvLifeTime_Remove(s->connect_timer, s);
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0 || (arming != nullptr && *arming != s->arming)) return;
        s->pause = PausePaused;
        CloseHandle(s);
        DropQueue(s);
        if (s->destroying) return;
        if (s->in_callback) {
            s->disconnect_deferred = true;
            return;
        }
        user = s->user;
    }
    if (s->on_disconnect != nullptr) s->on_disconnect(s, user);
}

}  // namespace

void OlvAsyncSocket_Disconnect(OlvAsyncSocket* socket)
{
    DisconnectImpl(socket, nullptr);
}

void OlvAsyncSocket_Resume(OlvAsyncSocket* socket)
{
    if (socket == nullptr) return;
    socket->pause = PauseResuming;
    OlvChain_Wake(socket->chain);
}

int OlvAsyncSocket_IsFree(OlvAsyncSocket* socket)
{
    std::scoped_lock lk(socket->lock);
    return socket->handle < 0 && !socket->connect_failure_pending ? 1 : 0;
}

void OlvAsyncSocket_GetBuffer(OlvAsyncSocket* socket, char** buffer, int* begin, int* end)
{
    *buffer = socket->buffer;
    *begin = socket->begin;
    *end = socket->end;
}

void* OlvAsyncSocket_GetUser(OlvAsyncSocket* socket)
{
    return socket->user;
}
int* OlvAsyncSocket_GetHandle(OlvAsyncSocket* socket)
{
    return &socket->handle;
}
std::uint32_t OlvAsyncSocket_GetRemoteAddress(OlvAsyncSocket* socket)
{
    return socket->remote_address;
}
std::uint16_t OlvAsyncSocket_GetRemotePort(OlvAsyncSocket* socket)
{
    return socket->remote_port;
}
void OlvAsyncSocket_SetRemoteAddress(OlvAsyncSocket* socket, std::uint32_t address)
{
    socket->remote_address = address;
}

std::uint32_t OlvAsyncSocket_GetLocalAddress(OlvAsyncSocket* socket)
{
    if (socket->local_address_override != 0) return socket->local_address_override;
    std::scoped_lock lk(socket->lock);
    if (socket->handle < 0) return 0;
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (::getsockname(socket->handle, reinterpret_cast<sockaddr*>(&local), &len) != 0) return 0;
    return local.sin_addr.s_addr;
}

namespace tv {
DatagramArrival AsyncSocketArrival(OlvAsyncSocket* socket) noexcept
{
    return socket->arrival;
}
}  // namespace tv

void OlvAsyncSocket_SetLocalAddress(OlvAsyncSocket* socket, std::uint32_t address)
{
    socket->local_address_override = address;
}

void OlvAsyncSocket_SetTag(OlvAsyncSocket* socket, void* tag)
{
    socket->tag = tag;
}
void* OlvAsyncSocket_GetTag(OlvAsyncSocket* socket)
{
    return socket->tag;
}

namespace tv {

std::size_t AsyncSocketPendingBytes(OlvAsyncSocket* socket) noexcept
{
    std::scoped_lock lk(socket->lock);
    return socket->pending_bytes;
}

std::int64_t AsyncSocketStalledMs(OlvAsyncSocket* socket) noexcept
{
    std::scoped_lock lk(socket->lock);
    if (socket->handle < 0 || (socket->send_head == nullptr && !socket->await_room)) return -1;
    return NowMs() - socket->progress_ms;
}

OlvChain* AsyncSocketChain(OlvAsyncSocket* socket) noexcept
{
    return socket->chain;
}

unsigned AsyncSocketArming(OlvAsyncSocket* socket) noexcept
{
    std::scoped_lock lk(socket->lock);
    return socket->arming;
}

OlvSendResult AsyncSocketSendArmed(OlvAsyncSocket* socket, unsigned arming, const char* data,
                                   std::size_t length, OlvSendOwnership ownership) noexcept
{
    const tv::SendPiece piece{data, length, ownership};
    return SendImpl(socket, &piece, 1, 0, 0, &arming);
}

OlvSendResult AsyncSocketSendPiecesArmed(OlvAsyncSocket* socket, unsigned arming,
                                         const SendPiece* pieces, int count) noexcept
{
    return SendImpl(socket, pieces, count, 0, 0, &arming);
}

void AsyncSocketBeginBatch(OlvAsyncSocket* socket) noexcept
{
    std::scoped_lock lk(socket->lock);
    if (!socket->datagram) socket->batching = true;
}

void AsyncSocketEndBatch(OlvAsyncSocket* socket, unsigned arming) noexcept
{
    bool queued;
    {
        std::scoped_lock lk(socket->lock);
        socket->batching = false;
        if (socket->handle >= 0 && arming == socket->arming) QueueBatch(socket);
        socket->pending_bytes -= socket->batch_length;  // dropped, if anything is left
        tv::Free(socket->batch);
        socket->batch = nullptr;
        socket->batch_length = socket->batch_capacity = 0;
        queued = socket->send_head != nullptr;
    }
    if (queued) OlvChain_Wake(socket->chain);
}

void AsyncSocketDisconnectArmed(OlvAsyncSocket* socket, unsigned arming) noexcept
{
    DisconnectImpl(socket, &arming);
}

int AsyncSocketShareHandle(OlvAsyncSocket* socket, unsigned arming) noexcept
{
    std::scoped_lock lk(socket->lock);
    if (socket->handle < 0 || socket->datagram || socket->arming != arming) return -1;
    return ::fcntl(socket->handle, F_DUPFD_CLOEXEC, 0);
}

FileSendResult AsyncSocketSendFile(OlvAsyncSocket* socket, unsigned arming, int shared, int file,
                                   std::int64_t offset, std::size_t length) noexcept
{
    OlvAsyncSocket* s = socket;
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0 || s->arming != arming || shared < 0) return {SendClosed, 0, false};
        if (s->send_head != nullptr || s->batching) return {SendQueued, 0, false};
    }
    // Unlocked: the read may wait for the disk. What goes through `shared` reaches only this
    // arming's connection, shut down under it should the socket close meanwhile.
    auto at = static_cast<off_t>(offset);
    const ssize_t n = SendFileQuietly(shared, file, &at, length);
    const int err = n < 0 ? errno : 0;
    std::scoped_lock lk(s->lock);
    if (s->handle < 0 || s->arming != arming) return {SendClosed, 0, false};
    // Progress counts from the wait for room that follows a short send (AsyncSocketAwaitRoom).
    if (n > 0) {
        // Short: the socket is full, or the file ended early (the next send finds out which).
        return {static_cast<std::size_t>(n) == length ? SendAllSent : SendQueued,
                static_cast<std::size_t>(n), false};
    }
    if (n == 0) return {SendQueued, 0, length != 0};  // the file ended before `offset`
    if (WouldBlock(err)) return {SendQueued, 0, false};
    switch (err) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        DropQueue(s);
        return {SendFailed(s), 0, false};
    default:
        return {SendQueued, 0, true};  // the file could not be read
    }
}

OlvSendResult AsyncSocketAwaitRoom(OlvAsyncSocket* socket, unsigned arming) noexcept
{
    OlvAsyncSocket* s = socket;
    {
        std::scoped_lock lk(s->lock);
        if (s->handle < 0 || s->arming != arming) return SendClosed;
        if (s->send_head == nullptr && !s->await_room) {
            s->await_room = true;
            s->progress_ms = NowMs();  // the wait begins
        }
    }
    OlvChain_Wake(s->chain);
    return SendQueued;
}

void AsyncSocketSetCork(OlvAsyncSocket* socket, unsigned arming, bool on) noexcept
{
    std::scoped_lock lk(socket->lock);
    if (socket->handle < 0 || socket->datagram || socket->arming != arming) return;
    int value = on ? 1 : 0;
    ::setsockopt(socket->handle, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

}  // namespace tv
