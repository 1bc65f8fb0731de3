// HTTP client connections: one reader per destination with its queue of requests, a pool of
// outgoing sockets that grows to a limit, retries after 0, 1, 2, 4 and 8 s, a response
// deadline per request, and parking of idle connections (at most 20). The lock guards the
// tables, the pool, the connect queue and every request queue; it is never held while a
// callback runs. Everything but PipelineRequest and WebClientCount runs on the chain thread.
//
// A connection is always in one of these places: waiting on connect_queue or kicked, waiting
// for its retry timer, connecting on a pool socket, connected (a request out and its deadline
// running, or its idle timer running), or parked without a socket. A connection left with
// nothing to send and no socket is parked, so the table holds nothing else.
#include "http/OlvWebClient.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "net/OlvAsyncUDPSocket.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerContext.h"

namespace {

constexpr int kClientBufferBytes = 32768;
constexpr int kIdleTimeoutMs = 3000;
constexpr int kMaxParked = 20;
constexpr int kGiveUpDelaySeconds = 16;  // reached after failures following 0, 1, 2, 4, 8 s

struct Tables {
    std::map<std::string, OlvWebReader*> connections;
    std::vector<OlvWebReader*> idle;  // parked connections, oldest first
    std::deque<OlvWebReader*> connect_queue;
    // Connections whose empty queue got a request from PipelineRequest: the chain thread
    // decides how it goes out, as only it may look at the connection's reading state.
    std::vector<OlvWebReader*> kicked;
    std::vector<OlvAsyncSocket*> sockets;  // the pool
};

}  // namespace

struct OlvWebClient {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    Tables* tables = nullptr;
    int socket_count = 0;  // sockets made with the client: they end before it
    int max_sockets = 0;
    int idle_count = 0;
    OlvLifeTime* timers = nullptr;     // retry delays and idle timeouts
    OlvLifeTime* deadlines = nullptr;  // response deadlines
    OlvChain* chain = nullptr;
    tv::ServerContext* context = nullptr;
    std::mutex lock;
    std::atomic<int> deadline_ms{tv::kWebResponseDeadlineMs};
};

static_assert(std::is_standard_layout_v<OlvWebClient>);
static_assert(offsetof(OlvWebClient, hooks) == 0);

namespace {

// A connection, as its sockets and timers hand it back: the one place that casts the word.
OlvWebReader* ReaderOf(void* word) noexcept
{
    return static_cast<OlvWebReader*>(word);
}

// The client, as the chain's hooks hand it back.
OlvWebClient* ClientOf(void* object) noexcept
{
    return static_cast<OlvWebClient*>(object);
}

std::string KeyOf(std::uint32_t address, std::uint16_t port, int index)
{
    char key[64];
    std::snprintf(key, sizeof key, "%s:%d:%d", OlvAddressToText(address), port, index);
    return key;
}

std::string KeyOf(const OlvWebReader* r)
{
    return KeyOf(r->address, r->port, r->key_index);
}

bool Open(const OlvAsyncSocket* socket) noexcept
{
    return socket != nullptr && !OlvAsyncSocket_IsFree(const_cast<OlvAsyncSocket*>(socket));
}

bool QueueEmpty(OlvWebClient* client, OlvWebReader* r) noexcept
{
    std::scoped_lock lk(client->lock);
    return r->requests_head == nullptr;
}

// Lock held.
void Erase(std::deque<OlvWebReader*>& queue, OlvWebReader* r) noexcept
{
    queue.erase(std::remove(queue.begin(), queue.end(), r), queue.end());
}

// Lock held.
void QueueConnectLocked(OlvWebClient* client, OlvWebReader* r) noexcept
{
    auto& queue = client->tables->connect_queue;
    if (std::find(queue.begin(), queue.end(), r) == queue.end()) queue.push_back(r);
}

void QueueConnect(OlvWebClient* client, OlvWebReader* r) noexcept
{
    {
        std::scoped_lock lk(client->lock);
        QueueConnectLocked(client, r);
    }
    OlvChain_Wake(client->chain);
}

// The pool socket armed for this connection (connecting or connected), if any.
OlvAsyncSocket* ArmedSocket(OlvWebClient* client, OlvWebReader* r) noexcept
{
    std::vector<OlvAsyncSocket*> sockets;
    {
        std::scoped_lock lk(client->lock);
        sockets = client->tables->sockets;
    }
    for (OlvAsyncSocket* socket : sockets) {
        if (Open(socket) && OlvAsyncSocket_GetUser(socket) == r) return socket;
    }
    return nullptr;
}

void DeadlineTimer(void* data) noexcept;
void IdleTimer(void* data) noexcept;

void StartTimer(OlvWebClient* client, OlvLifeTime* monitor, OlvWebReader* r, int delay_ms,
                tv::TimerFn callback) noexcept
{
    if (tv::ChainEnding(client->chain)) return;
    OlvLifeTime_Remove(monitor, r);
    OlvLifeTime_Add(monitor, r, delay_ms, callback, nullptr);
}

void StopTimers(OlvWebClient* client, OlvWebReader* r) noexcept
{
    if (tv::ChainEnding(client->chain)) return;
    OlvLifeTime_Remove(client->timers, r);
    OlvLifeTime_Remove(client->deadlines, r);
}

void SendRequest(OlvWebReader* r, OlvWebRequest* request) noexcept
{
    r->state = tv::WebReaderState::Awaiting;
    r->response_started = false;
    StartTimer(r->client, r->client->deadlines, r, r->client->deadline_ms.load(), DeadlineTimer);
    for (int i = 0; i < 2; ++i) {
        if (request->buffers[i] == nullptr || request->lengths[i] == 0) continue;
        // The request keeps its buffers until its response is complete.
        if (OlvAsyncSocket_Send(r->socket, request->buffers[i], request->lengths[i], 0, 0,
                                OwnStatic) == SendClosed) {
            break;
        }
    }
}

// Lock held.
void RemoveFromTables(OlvWebClient* client, OlvWebReader* r) noexcept
{
    auto it = client->tables->connections.find(KeyOf(r));
    if (it != client->tables->connections.end() && it->second == r)
        client->tables->connections.erase(it);
    auto& idle = client->tables->idle;
    auto parked = std::find(idle.begin(), idle.end(), r);
    if (parked != idle.end()) {
        idle.erase(parked);
        if (client->idle_count > 0) --client->idle_count;
    }
    r->parked = false;
    Erase(client->tables->connect_queue, r);
    auto& kicked = client->tables->kicked;
    kicked.erase(std::remove(kicked.begin(), kicked.end(), r), kicked.end());
}

// Out of the tables already: every queued request gets its failure delivery.
void DestroyConnection(OlvWebClient* client, OlvWebReader* r) noexcept
{
    StopTimers(client, r);
    OlvWebClient_DestroyReader(r);
}

// A connection without a socket and with nothing to send waits in `idle` for the next request
// to its destination; past kMaxParked the oldest parked one is dropped.
void Park(OlvWebClient* client, OlvWebReader* r) noexcept
{
    if (ArmedSocket(client, r) != nullptr) return;  // its connect outcome decides
    StopTimers(client, r);
    std::vector<OlvWebReader*> evicted;
    {
        std::scoped_lock lk(client->lock);
        if (r->parked || r->requests_head != nullptr) return;
        Erase(client->tables->connect_queue, r);
        auto& kicked = client->tables->kicked;
        kicked.erase(std::remove(kicked.begin(), kicked.end(), r), kicked.end());
        auto& idle = client->tables->idle;
        while (client->idle_count >= kMaxParked && !idle.empty()) {
            evicted.push_back(idle.front());
            RemoveFromTables(client, idle.front());
        }
        idle.push_back(r);
        r->parked = true;
        ++client->idle_count;
    }
    for (OlvWebReader* old : evicted) DestroyConnection(client, old);
}

// A connection that may have been left with nothing to send: a connected one waits out its
// idle time, a connecting one does so once connected, any other one is parked.
void Settle(OlvWebClient* client, OlvWebReader* r) noexcept
{
    if (!QueueEmpty(client, r)) return;
    if (Open(r->socket)) {
        r->state = tv::WebReaderState::Idle;
        StartTimer(client, client->timers, r, kIdleTimeoutMs, IdleTimer);
        return;
    }
    if (ArmedSocket(client, r) != nullptr) return;
    Park(client, r);
}

// Ends the connection from this side; the caller decides what becomes of the connection.
void CloseOurselves(OlvWebReader* r) noexcept
{
    OlvAsyncSocket* socket = r->socket;
    if (socket == nullptr) return;
    r->closing = tv::WebReaderClosing::ByUs;
    OlvAsyncSocket_Disconnect(socket);
    r->socket = nullptr;
    r->closing = tv::WebReaderClosing::None;
}

// Ends the connection of an abandoned request with a reset: a receiver that takes connections
// and never answers would otherwise keep a local port of ours for every one of them.
void Abandon(OlvWebReader* r) noexcept
{
    int handle = r->socket != nullptr ? *OlvAsyncSocket_GetHandle(r->socket) : -1;
    linger reset{1, 0};
    if (handle >= 0) ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    CloseOurselves(r);
}

void RetryTimer(void* data) noexcept
{
    OlvWebReader* r = ReaderOf(data);
    OlvWebClient* client = r->client;
    r->retry_delay = r->retry_delay == 0 ? 1 : r->retry_delay * 2;
    if (QueueEmpty(client, r)) {
        Park(client, r);
        return;
    }
    QueueConnect(client, r);
}

void OnInterrupt(OlvAsyncSocket* /*socket*/, void* user) noexcept
{
    // The chain is ending; the client's destroy hook ends the connection itself.
    OlvWebReader* r = ReaderOf(user);
    if (r != nullptr) r->socket = nullptr;
}

void OnConnect(OlvAsyncSocket* socket, tv::ConnectResult result, void* user) noexcept
{
    OlvWebReader* r = ReaderOf(user);
    OlvWebClient* client = r->client;
    r->socket = socket;
    r->response_started = false;
    r->delivering = tv::WebDelivering::None;
    OlvWebRequest* head;
    {
        std::scoped_lock lk(client->lock);
        head = r->requests_head;
    }
    if (result == tv::ConnectResult::Established) {
        r->retry_delay = 1;
        if (head != nullptr)
            SendRequest(r, head);
        else
            Settle(client, r);  // its requests were cancelled meanwhile
        return;
    }
    r->closing = tv::WebReaderClosing::FailedConnect;
    OlvAsyncSocket_Disconnect(socket);
    r->closing = tv::WebReaderClosing::None;
    r->state = tv::WebReaderState::Idle;
    r->socket = nullptr;
    if (head == nullptr || QueueEmpty(client, r)) {
        Park(client, r);
        return;
    }
    if (r->retry_delay == kGiveUpDelaySeconds) {
        {
            std::scoped_lock lk(client->lock);
            RemoveFromTables(client, r);
        }
        DestroyConnection(client, r);
        return;
    }
    if (!tv::ChainEnding(client->chain))
        OlvLifeTime_Add(client->timers, r, r->retry_delay * 1000, RetryTimer, nullptr);
}

// Takes the head request off the queue. Lock taken here.
OlvWebRequest* TakeHead(OlvWebClient* client, OlvWebReader* r) noexcept
{
    std::scoped_lock lk(client->lock);
    OlvWebRequest* head = r->requests_head;
    if (head != nullptr) {
        r->requests_head = head->next;
        if (r->requests_head == nullptr) r->requests_tail = nullptr;
    }
    return head;
}

// The connection ended with a body delimited by its end: that end completes the response.
void DeliverClose(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* head) noexcept
{
    char* buffer = nullptr;
    int begin = 0, end = 0;
    OlvAsyncSocket_GetBuffer(socket, &buffer, &begin, &end);
    int taken = 0;
    head->on_response(r, tv::WebInterrupt::None, r->header,
                      buffer != nullptr ? buffer + begin : nullptr, &taken, end - begin,
                      tv::WebDelivery::Final, head->user, head->user2, &r->pause);
    tv::WebRequestFree(TakeHead(r->client, r));
    OlvWebClient_ResetReader(r);
    r->response_started = true;
}

void OnDisconnect(OlvAsyncSocket* socket, void* user) noexcept
{
    OlvWebReader* r = ReaderOf(user);
    if (r == nullptr || r->destroying || r->delivering != tv::WebDelivering::None) return;
    if (r->socket != socket) return;  // an old socket of a connection that moved on
    OlvWebClient* client = r->client;
    if (!tv::ChainEnding(client->chain)) OlvLifeTime_Remove(client->deadlines, r);
    OlvWebRequest* head;
    {
        std::scoped_lock lk(client->lock);
        head = r->requests_head;
    }
    const bool close_delivers = head != nullptr && tv::WebReaderReadsUntilClose(r);
    if (close_delivers) r->delivering = tv::WebDelivering::ConnectionEnd;
    r->socket = nullptr;
    const bool ours = r->closing != tv::WebReaderClosing::None;
    if (!ours && head != nullptr) r->state = tv::WebReaderState::Closing;

    if (close_delivers) {
        DeliverClose(r, socket, head);
        r->delivering = tv::WebDelivering::None;
    }
    // When this module closed the connection, the code that closed it carries on.
    if (!ours) {
        {
            std::scoped_lock lk(client->lock);
            head = r->requests_head;
        }
        if (head != nullptr && !r->response_started) {
            head = TakeHead(client, r);
            if (head->on_response != nullptr) {
                head->on_response(r, tv::WebInterrupt::None, nullptr, nullptr, nullptr, 0,
                                  tv::WebDelivery::Final, head->user, head->user2, &r->pause);
            }
            tv::WebRequestFree(head);
            OlvWebClient_ResetReader(r);
        }
        r->state = tv::WebReaderState::Idle;
        if (QueueEmpty(client, r))
            Park(client, r);
        else
            QueueConnect(client, r);
    }
    r->closing = tv::WebReaderClosing::None;
}

void OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
            tv::AsyncSocketInterruptFn* /*on_interrupt*/, void** user, int* pause) noexcept
{
    OlvWebClient_OnData(socket, data, consumed, length, ReaderOf(*user), pause);
}

void IdleTimer(void* data) noexcept
{
    OlvWebReader* r = ReaderOf(data);
    OlvWebClient* client = r->client;
    if (!QueueEmpty(client, r)) return;
    CloseOurselves(r);
    Park(client, r);
}

// No complete response in time: the connection ends as if the peer had dropped it, so the
// request gets its failure delivery and those behind it go out on a new connection.
void DeadlineTimer(void* data) noexcept
{
    OlvWebReader* r = ReaderOf(data);
    if (r->state != tv::WebReaderState::Awaiting || !Open(r->socket)) return;
    r->closing = tv::WebReaderClosing::None;
    OlvAsyncSocket_Disconnect(r->socket);
}

// A free pool socket: one that is free, else a new one while the pool may grow, else the
// socket of a connection that only waits out its idle time.
OlvAsyncSocket* TakeSocket(OlvWebClient* client) noexcept
{
    std::vector<OlvAsyncSocket*> sockets;
    {
        std::scoped_lock lk(client->lock);
        sockets = client->tables->sockets;
    }
    for (OlvAsyncSocket* socket : sockets) {
        if (OlvAsyncSocket_IsFree(socket)) return socket;
    }
    if (static_cast<int>(sockets.size()) < client->max_sockets) {
        OlvAsyncSocket* socket = OlvAsyncSocket_Create(client->chain, kClientBufferBytes, OnData,
                                                       OnConnect, OnDisconnect, nullptr);
        std::scoped_lock lk(client->lock);
        client->tables->sockets.push_back(socket);
        return socket;
    }
    std::vector<OlvWebReader*> waiting_out_idle;
    {
        std::scoped_lock lk(client->lock);
        for (auto& entry : client->tables->connections) {
            OlvWebReader* r = entry.second;
            if (r->requests_head == nullptr && r->socket != nullptr) waiting_out_idle.push_back(r);
        }
    }
    for (OlvWebReader* r : waiting_out_idle) {
        OlvAsyncSocket* socket = r->socket;
        if (!Open(socket) || r->delivering != tv::WebDelivering::None) continue;
        IdleTimer(r);
        if (OlvAsyncSocket_IsFree(socket)) return socket;
    }
    return nullptr;
}

// A connection whose queue was empty has a new request (or lost it again meanwhile).
void Kick(OlvWebClient* client, OlvWebReader* r) noexcept
{
    if (!tv::ChainEnding(client->chain)) OlvLifeTime_Remove(client->timers, r);
    OlvWebRequest* head;
    {
        std::scoped_lock lk(client->lock);
        head = r->requests_head;
    }
    if (r->delivering == tv::WebDelivering::ConnectionEnd)
        return;  // sent once the close is handled
    if (head == nullptr) {
        Settle(client, r);
        return;
    }
    if (Open(r->socket)) {
        if (!tv::WebReaderReadsUntilClose(r)) SendRequest(r, head);
        return;
    }
    if (ArmedSocket(client, r) != nullptr) return;  // connecting: the head goes out then
    QueueConnect(client, r);
}

void PreSelect(void* object, fd_set*, fd_set*, fd_set*, int*) noexcept
{
    OlvWebClient* client = ClientOf(object);
    for (;;) {
        OlvWebReader* r = nullptr;
        {
            std::scoped_lock lk(client->lock);
            if (client->tables->kicked.empty()) break;
            r = client->tables->kicked.front();
            client->tables->kicked.erase(client->tables->kicked.begin());
        }
        Kick(client, r);
    }
    for (;;) {
        {
            std::scoped_lock lk(client->lock);
            if (client->tables->connect_queue.empty()) return;
        }
        OlvAsyncSocket* socket = TakeSocket(client);
        if (socket == nullptr) return;
        OlvWebReader* r = nullptr;
        bool empty = false;
        {
            std::scoped_lock lk(client->lock);
            if (client->tables->connect_queue.empty()) return;
            r = client->tables->connect_queue.front();
            client->tables->connect_queue.pop_front();
            empty = r->requests_head == nullptr;
            r->closing = tv::WebReaderClosing::None;
        }
        if (empty) {
            Park(client, r);
            continue;
        }
        if (ArmedSocket(client, r) != nullptr) continue;
        OlvWebClient_ResetReader(r);
        OlvAsyncSocket_ConnectTo(socket, &client->context->random, htonl(INADDR_ANY), r->address,
                                 r->port, OnInterrupt, r);
    }
}

void Destroy(void* object) noexcept
{
    OlvWebClient* client = ClientOf(object);
    std::vector<OlvWebReader*> readers;
    std::vector<OlvAsyncSocket*> grown;
    {
        std::scoped_lock lk(client->lock);
        for (auto& entry : client->tables->connections) readers.push_back(entry.second);
        client->tables->connections.clear();
        client->tables->idle.clear();
        client->tables->connect_queue.clear();
        client->tables->kicked.clear();
        auto& sockets = client->tables->sockets;
        std::ptrdiff_t made = std::min<std::ptrdiff_t>(client->socket_count, std::ssize(sockets));
        grown.assign(sockets.begin() + made, sockets.end());
    }
    for (OlvWebReader* r : readers) r->destroying = true;
    // The sockets made with the client are gone already (they were added to the chain before
    // us); those added since end after us, so they must not call back into freed readers.
    for (OlvAsyncSocket* socket : grown) OlvAsyncSocket_Disconnect(socket);
    for (OlvWebReader* r : readers) {
        r->socket = nullptr;
        OlvWebClient_DestroyReader(r);
    }
    delete client->tables;
    std::destroy_at(client);
}

constexpr tv::ChainHooks kWebClientHooks = {
    .pre_select = PreSelect,
    .post_select = nullptr,
    .destroy = Destroy,
};

// The reader's completion hook: the response to the head request was read whole.
void CompleteResponse(OlvWebReader* r) noexcept
{
    OlvWebClient* client = r->client;
    if (r->header != nullptr && r->header->status_code >= 100 && r->header->status_code <= 199) {
        OlvWebClient_ResetReader(r);
        return;
    }
    if (!tv::ChainEnding(client->chain)) OlvLifeTime_Remove(client->deadlines, r);
    // A peer that closes after this response (it said so, or it speaks HTTP/1.0) must not
    // be handed the next request on this connection: it would be lost with the close.
    const bool peer_closes =
        r->close_requested || (r->header != nullptr && r->header->version != nullptr &&
                               tv::View(r->header->version, r->header->version_length) == "1.0");
    OlvWebClient_ResetReader(r);
    r->response_started = true;
    tv::WebRequestFree(TakeHead(client, r));
    OlvWebRequest* next;
    {
        std::scoped_lock lk(client->lock);
        next = r->requests_head;
    }
    if (!Open(r->socket)) return;
    if (next == nullptr) {
        Settle(client, r);
        return;
    }
    if (r->state == tv::WebReaderState::Closing) {
        OlvAsyncSocket_Disconnect(r->socket);
        return;
    }
    if (peer_closes) {
        r->state = tv::WebReaderState::Idle;
        CloseOurselves(r);
        QueueConnect(client, r);
        return;
    }
    SendRequest(r, next);
}

}  // namespace

namespace tv {

void WebClientSetMaxSockets(OlvWebClient* client, int max_sockets) noexcept
{
    if (client != nullptr) client->max_sockets = std::max(max_sockets, client->socket_count);
}

// Lock held. Unlinks every request of `user` that has not gone out; the one out (the head of
// a connection with a request out) is left for the caller, `*out_hit` set when it matches.
OlvWebRequest* UnlinkUnsent(OlvWebReader* r, void* user, bool head_out, bool* out_hit) noexcept
{
    OlvWebRequest* dropped = nullptr;
    OlvWebRequest* previous = nullptr;
    for (OlvWebRequest* q = r->requests_head; q != nullptr;) {
        OlvWebRequest* next = q->next;
        if (q->user == user && q == r->requests_head && head_out) {
            *out_hit = true;
            previous = q;
        } else if (q->user == user) {
            if (previous != nullptr)
                previous->next = next;
            else
                r->requests_head = next;
            if (r->requests_tail == q) r->requests_tail = previous;
            q->next = dropped;
            dropped = q;
        } else {
            previous = q;
        }
        q = next;
    }
    return dropped;
}

int WebClientCancel(OlvWebClient* client, std::uint32_t address, std::uint16_t port,
                    void* user) noexcept
{
    if (client == nullptr) return 0;
    OlvWebReader* r = nullptr;
    OlvWebRequest* dropped = nullptr;
    bool out_hit = false;
    {
        std::scoped_lock lk(client->lock);
        auto it = client->tables->connections.find(KeyOf(address, port, 0));
        if (it == client->tables->connections.end()) return 0;
        r = it->second;
        // A head being delivered right now, or one already handed to the socket, stays.
        const bool head_busy = r->delivering != tv::WebDelivering::None;
        const bool head_out =
            head_busy || (r->state == tv::WebReaderState::Awaiting && r->socket != nullptr);
        dropped = UnlinkUnsent(r, user, head_out, &out_hit);
        if (head_busy) out_hit = false;
    }
    int count = 0;
    for (OlvWebRequest* q = dropped; q != nullptr; ++count) {
        OlvWebRequest* next = q->next;
        tv::WebRequestFree(q);
        q = next;
    }
    if (out_hit && Open(r->socket)) {
        // The socket may still point at its buffers: freed only once the socket let go.
        OlvWebRequest* head = TakeHead(client, r);
        if (!tv::ChainEnding(client->chain)) OlvLifeTime_Remove(client->deadlines, r);
        OlvWebClient_ResetReader(r);
        r->state = tv::WebReaderState::Idle;
        Abandon(r);
        tv::WebRequestFree(head);
        ++count;
        if (!QueueEmpty(client, r)) QueueConnect(client, r);
    }
    Settle(client, r);
    return count;
}

WebClientCounts WebClientCount(OlvWebClient* client) noexcept
{
    WebClientCounts counts;
    std::scoped_lock lk(client->lock);
    counts.connections = static_cast<int>(client->tables->connections.size());
    counts.parked = client->idle_count;
    counts.sockets = static_cast<int>(client->tables->sockets.size());
    for (auto& entry : client->tables->connections) {
        for (OlvWebRequest* q = entry.second->requests_head; q != nullptr; q = q->next)
            ++counts.requests;
    }
    return counts;
}

void WebClientSetResponseDeadlineForTest(OlvWebClient* client, int deadline_ms) noexcept
{
    client->deadline_ms.store(deadline_ms);
}

}  // namespace tv

OlvWebClient* OlvWebClient_Create(int socket_count, OlvChain* chain, tv::ServerContext* context)
{
    if (chain == nullptr) return nullptr;
    auto* client = tv::NewChainObject<OlvWebClient>(kWebClientHooks);
    client->chain = chain;
    client->context = context;
    client->tables = new Tables;
    client->timers = OlvLifeTime_Create(chain);
    client->deadlines = OlvLifeTime_Create(chain);
    client->socket_count = socket_count > 0 ? socket_count : 1;
    client->max_sockets = client->socket_count;
    for (int i = 0; i < client->socket_count; ++i) {
        OlvAsyncSocket* socket = OlvAsyncSocket_Create(chain, kClientBufferBytes, OnData, OnConnect,
                                                       OnDisconnect, nullptr);
        client->tables->sockets.push_back(socket);
    }
    OlvChain_Add(chain, client);
    return client;
}

namespace {

// The request record; OwnCopy buffers are copied now.
OlvWebRequest* NewRequest(std::uint32_t address, std::uint16_t port, char* buffer1,
                          std::size_t length1, OlvSendOwnership ownership1, char* buffer2,
                          std::size_t length2, OlvSendOwnership ownership2,
                          tv::WebResponseFn on_response, void* user, void* user2) noexcept
{
    auto* request = new OlvWebRequest;
    char* buffers[2] = {buffer1, buffer2};
    std::size_t lengths[2] = {length1, length2};
    OlvSendOwnership owns[2] = {ownership1, ownership2};
    for (int i = 0; i < 2; ++i) {
        if (buffers[i] != nullptr && owns[i] == OwnCopy) {
            buffers[i] = tv::CopyBytes(buffers[i], lengths[i]);
            owns[i] = OwnTransfer;
        }
        request->buffers[i] = buffers[i];
        request->lengths[i] = buffers[i] != nullptr ? lengths[i] : 0;
        request->ownership[i] = owns[i];
    }
    request->address = address;
    request->port = port;
    request->on_response = on_response;
    request->user = user;
    request->user2 = user2;
    request->is_head = length1 > 5 && buffer1 != nullptr &&
                       tv::EqualsCaseless(std::string_view(buffer1, 4), "HEAD") &&
                       buffer1[4] == ' ';
    return request;
}

// Lock held. Queues the request on its destination's connection, made now when there is none;
// true when the chain must look at it (a new connection, or one whose queue was empty).
bool EnqueueLocked(OlvWebClient* client, OlvWebRequest* request) noexcept
{
    const std::string key = KeyOf(request->address, request->port, 0);
    auto it = client->tables->connections.find(key);
    if (it == client->tables->connections.end()) {
        auto* r = new OlvWebReader;
        r->client = client;
        r->on_complete = CompleteResponse;
        r->lock = &client->lock;
        r->address = request->address;
        r->port = request->port;
        r->requests_head = r->requests_tail = request;
        client->tables->connections.emplace(key, r);
        client->tables->connect_queue.push_back(r);
        return true;
    }
    OlvWebReader* r = it->second;
    const bool was_empty = r->requests_head == nullptr;
    if (r->requests_tail != nullptr)
        r->requests_tail->next = request;
    else
        r->requests_head = request;
    r->requests_tail = request;
    if (!was_empty) return false;
    if (r->parked) {
        auto& idle = client->tables->idle;
        idle.erase(std::remove(idle.begin(), idle.end(), r), idle.end());
        r->parked = false;
        if (client->idle_count > 0) --client->idle_count;
    }
    client->tables->kicked.push_back(r);
    return true;
}

}  // namespace

void OlvWebClient_PipelineRequest(OlvWebClient* client, std::uint32_t address, std::uint16_t port,
                                  char* buffer1, std::size_t length1, OlvSendOwnership ownership1,
                                  char* buffer2, std::size_t length2, OlvSendOwnership ownership2,
                                  tv::WebResponseFn on_response, void* user, void* user2)
{
    if (client == nullptr) {
        if (ownership1 == OwnTransfer) tv::Free(buffer1);
        if (ownership2 == OwnTransfer) tv::Free(buffer2);
        return;
    }
    OlvWebRequest* request = NewRequest(address, port, buffer1, length1, ownership1, buffer2,
                                        length2, ownership2, on_response, user, user2);
    bool wake;
    {
        std::scoped_lock lk(client->lock);
        wake = EnqueueLocked(client, request);
    }
    if (wake) OlvChain_Wake(client->chain);
}
