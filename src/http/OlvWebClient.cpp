// HTTP client connections: one reader per destination with its queue of requests, a fixed
// pool of outgoing sockets, retries after 0, 1, 2, 4 and 8 s, and parking of idle
// connections. The lock guards the tables, the connect queue and every request queue; it is
// never held while a callback runs. Everything but PipelineRequest runs on the chain thread.
#include "http/OlvWebClient.h"

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

#include "net/OlvAsyncUDPSocket.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"

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
};

}  // namespace

struct OlvWebClient {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    OlvAsyncSocket** sockets = nullptr;
    int socket_count = 0;
    Tables* tables = nullptr;
    int idle_count = 0;
    int max_per_destination = 1;
    OlvLifeTime* timers = nullptr;
    OlvChain* chain = nullptr;
    std::mutex lock;
    std::atomic<bool> stopping{false};  // the chain's end has flushed our timers
};

static_assert(std::is_standard_layout_v<OlvWebClient>);
static_assert(offsetof(OlvWebClient, hooks) == 0);

namespace {

std::string KeyOf(std::uint32_t address, std::uint16_t port, int index)
{
    char key[64];
    std::snprintf(key, sizeof key, "%s:%d:%d", OlvAddressToText(address), port, index);
    return key;
}

std::string KeyOf(const OlvWebReader* r) { return KeyOf(r->address, r->port, r->key_index); }

void SendRequest(OlvWebReader* r, OlvWebRequest* request) noexcept
{
    r->state = 1;
    r->response_started = 0;
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
    if (it != client->tables->connections.end() && it->second == r) client->tables->connections.erase(it);
    auto& idle = client->tables->idle;
    for (auto i = idle.begin(); i != idle.end(); ++i) {
        if (*i == r) {
            idle.erase(i);
            if (client->idle_count > 0) --client->idle_count;
            break;
        }
    }
    r->parked = 0;
    auto& queue = client->tables->connect_queue;
    for (auto i = queue.begin(); i != queue.end();) i = *i == r ? queue.erase(i) : i + 1;
    auto& kicked = client->tables->kicked;
    for (auto i = kicked.begin(); i != kicked.end();) i = *i == r ? kicked.erase(i) : i + 1;
}

void RetryTimer(void* data) noexcept
{
    auto* r = static_cast<OlvWebReader*>(data);
    OlvWebClient* client = r->client;
    r->retry_delay = r->retry_delay == 0 ? 1 : r->retry_delay * 2;
    {
        std::scoped_lock lk(client->lock);
        client->tables->connect_queue.push_back(r);
    }
    OlvChain_Wake(client->chain);
}

void IdleTimer(void* data) noexcept;

void OnInterrupt(OlvAsyncSocket* /*socket*/, void* user) noexcept
{
    // The chain is ending; the client's destroy hook ends the connection itself.
    auto* r = static_cast<OlvWebReader*>(user);
    if (r != nullptr) r->socket = nullptr;
}

void OnConnect(OlvAsyncSocket* socket, int ok, void* user) noexcept
{
    auto* r = static_cast<OlvWebReader*>(user);
    OlvWebClient* client = r->client;
    r->socket = socket;
    r->response_started = 0;
    r->delivering_close = 0;
    if (ok != 0) {
        r->local_address = OlvAsyncSocket_GetLocalAddress(socket);
        r->retry_delay = 1;
        OlvWebRequest* head;
        {
            std::scoped_lock lk(client->lock);
            head = r->requests_head;
        }
        if (head != nullptr) SendRequest(r, head);
        return;
    }
    r->closing = 2;
    OlvAsyncSocket_Disconnect(socket);
    r->closing = 0;
    r->state = 0;
    r->socket = nullptr;
    if (r->retry_delay == kGiveUpDelaySeconds) {
        {
            std::scoped_lock lk(client->lock);
            RemoveFromTables(client, r);
        }
        OlvWebClient_DestroyReader(r);
        return;
    }
    if (!client->stopping.load())
        OlvLifeTime_Add(client->timers, r, r->retry_delay * 1000, RetryTimer, nullptr);
}

void OnDisconnect(OlvAsyncSocket* socket, void* user) noexcept
{
    auto* r = static_cast<OlvWebReader*>(user);
    if (r == nullptr || r->destroying || r->in_final_delivery || r->delivering_close) return;
    if (r->socket != socket) return;  // an old socket of a connection that moved on
    OlvWebClient* client = r->client;
    OlvWebRequest* head;
    {
        std::scoped_lock lk(client->lock);
        head = r->requests_head;
    }
    if (head != nullptr && r->header_done && r->length_unknown) r->delivering_close = 1;
    r->socket = nullptr;
    const bool ours = r->closing != 0;
    if (!ours && head != nullptr) r->state = 2;

    if (r->delivering_close) {
        char* buffer = nullptr;
        int begin = 0, end = 0;
        OlvAsyncSocket_GetBuffer(socket, &buffer, &begin, &end);
        int taken = 0;
        r->in_final_delivery = 1;
        head->on_response(r, 0, r->header, buffer != nullptr ? buffer + begin : nullptr, &taken,
                          end - begin, -1, head->user, head->user2, &r->pause);
        r->in_final_delivery = 0;
        {
            std::scoped_lock lk(client->lock);
            r->requests_head = head->next;
            if (r->requests_head == nullptr) r->requests_tail = nullptr;
        }
        tv::WebRequestFree(head);
        OlvWebClient_ResetReader(r);
        r->response_started = 1;
        r->delivering_close = 0;
        head = nullptr;
    }

    if (!ours) {
        {
            std::scoped_lock lk(client->lock);
            head = r->requests_head;
        }
        if (head != nullptr && r->response_started == 0) {
            {
                std::scoped_lock lk(client->lock);
                r->requests_head = head->next;
                if (r->requests_head == nullptr) r->requests_tail = nullptr;
            }
            if (head->on_response != nullptr) {
                head->on_response(r, 0, nullptr, nullptr, nullptr, 0, -1, head->user, head->user2,
                                  &r->pause);
            }
            tv::WebRequestFree(head);
            OlvWebClient_ResetReader(r);
        }
        bool queued = false;
        {
            std::scoped_lock lk(client->lock);
            if (r->requests_head != nullptr) {
                client->tables->connect_queue.push_back(r);
                queued = true;
            }
        }
        if (queued) {
            r->state = 0;
            OlvChain_Wake(client->chain);
        }
    }
    r->closing = 0;
}

void OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
            tv::AsyncSocketInterruptFn* on_interrupt, void** user, int* pause) noexcept
{
    OlvWebClient_OnData(socket, data, consumed, length, on_interrupt, user, pause);
}

void OnRealloc(OlvAsyncSocket* socket, void* user, std::ptrdiff_t shift) noexcept
{
    if (user != nullptr) OlvWebClient_BufferMoved(socket, static_cast<OlvWebReader*>(user), shift);
}

void IdleTimer(void* data) noexcept
{
    auto* r = static_cast<OlvWebReader*>(data);
    OlvWebClient* client = r->client;
    OlvAsyncSocket* to_close = nullptr;
    OlvWebReader* evicted = nullptr;
    {
        std::scoped_lock lk(client->lock);
        if (r->requests_head != nullptr) return;
        if (r->socket != nullptr && !OlvAsyncSocket_IsFree(r->socket)) r->closing = 1;
        if (client->idle_count > kMaxParked) {
            evicted = client->tables->idle.front();
            RemoveFromTables(client, evicted);
        } else {
            client->tables->idle.push_back(r);
            r->parked = 1;
            ++client->idle_count;
            to_close = r->socket;
            r->socket = nullptr;
        }
    }
    if (evicted != nullptr) OlvWebClient_DestroyReader(evicted);
    if (to_close != nullptr) {
        // The socket's user is still this reader: keep it told that the close is ours.
        r->socket = to_close;
        OlvAsyncSocket_Disconnect(to_close);
        r->socket = nullptr;
        r->closing = 0;
    }
}

OlvAsyncSocket* FreeSocket(OlvWebClient* client) noexcept
{
    for (int i = 0; i < client->socket_count; ++i) {
        if (OlvAsyncSocket_IsFree(client->sockets[i])) return client->sockets[i];
    }
    return nullptr;
}

// A connection whose queue was empty has a new request.
void Kick(OlvWebClient* client, OlvWebReader* r) noexcept
{
    OlvLifeTime_Remove(client->timers, r);
    OlvWebRequest* head;
    {
        std::scoped_lock lk(client->lock);
        head = r->requests_head;
    }
    if (head == nullptr || r->delivering_close) return;  // sent once the close is handled
    if (r->socket != nullptr && !OlvAsyncSocket_IsFree(r->socket)) {
        if (!(r->header_done && r->length_unknown)) SendRequest(r, head);
        return;
    }
    std::scoped_lock lk(client->lock);
    client->tables->connect_queue.push_back(r);
}

void PreSelect(void* object, fd_set*, fd_set*, fd_set*, int*) noexcept
{
    auto* client = static_cast<OlvWebClient*>(object);
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
        OlvWebReader* r = nullptr;
        OlvAsyncSocket* socket = nullptr;
        {
            std::scoped_lock lk(client->lock);
            if (client->tables->connect_queue.empty()) return;
            socket = FreeSocket(client);
            if (socket == nullptr) return;
            r = client->tables->connect_queue.front();
            client->tables->connect_queue.pop_front();
            r->closing = 0;
        }
        OlvWebClient_ResetReader(r);
        OlvAsyncSocket_ConnectTo(socket, htonl(INADDR_ANY), r->address, r->port, OnInterrupt, r);
    }
}

void Destroy(void* object) noexcept
{
    auto* client = static_cast<OlvWebClient*>(object);
    // The pool sockets are gone already (they were added to the chain before us).
    std::vector<OlvWebReader*> readers;
    {
        std::scoped_lock lk(client->lock);
        for (auto& entry : client->tables->connections) readers.push_back(entry.second);
        client->tables->connections.clear();
        client->tables->idle.clear();
        client->tables->connect_queue.clear();
        client->tables->kicked.clear();
    }
    for (OlvWebReader* r : readers) {
        r->socket = nullptr;
        OlvWebClient_DestroyReader(r);
    }
    delete client->tables;
    delete[] client->sockets;
    std::destroy_at(client);
}

constexpr tv::ChainHooks kWebClientHooks = {
    .pre_select = PreSelect,
    .post_select = nullptr,
    .destroy = Destroy,
};

}  // namespace

namespace tv {

void WebClientCompleteResponse(OlvWebReader* r) noexcept
{
    OlvWebClient* client = r->client;
    if (r->header != nullptr && r->header->status_code >= 100 && r->header->status_code <= 199) {
        OlvWebClient_ResetReader(r);
        return;
    }
    // A peer that closes after this response (it said so, or it speaks HTTP/1.0) must not
    // be handed the next request on this connection: it would be lost with the close.
    const bool peer_closes =
        r->close_requested != 0 ||
        (r->header != nullptr && r->header->version != nullptr &&
         std::string_view(r->header->version, static_cast<std::size_t>(r->header->version_length)) == "1.0");
    OlvWebClient_ResetReader(r);
    r->response_started = 1;
    OlvWebRequest* done;
    OlvWebRequest* next;
    {
        std::scoped_lock lk(client->lock);
        done = r->requests_head;
        if (done != nullptr) {
            r->requests_head = done->next;
            if (r->requests_head == nullptr) r->requests_tail = nullptr;
        }
        next = r->requests_head;
    }
    tv::WebRequestFree(done);
    if (r->socket == nullptr || OlvAsyncSocket_IsFree(r->socket)) return;
    if (next == nullptr) {
        r->state = 0;
        if (!client->stopping.load()) OlvLifeTime_Add(client->timers, r, kIdleTimeoutMs, IdleTimer, nullptr);
        return;
    }
    if (r->state == 2) {
        OlvAsyncSocket_Disconnect(r->socket);
        return;
    }
    if (peer_closes) {
        r->closing = 1;
        r->state = 0;
        OlvAsyncSocket_Disconnect(r->socket);
        {
            std::scoped_lock lk(client->lock);
            client->tables->connect_queue.push_back(r);
        }
        OlvChain_Wake(client->chain);
        return;
    }
    SendRequest(r, next);
}

}  // namespace tv

OlvWebClient* OlvWebClient_Create(int socket_count, OlvChain* chain)
{
    if (chain == nullptr) return nullptr;
    auto* client = tv::NewChainObject<OlvWebClient>(kWebClientHooks);
    client->chain = chain;
    client->tables = new Tables;
    client->timers = OlvLifeTime_Create(chain);
    tv::WatchMonitorEnd(client->timers, &client->stopping);
    client->socket_count = socket_count > 0 ? socket_count : 1;
    client->sockets = new OlvAsyncSocket*[static_cast<std::size_t>(client->socket_count)];
    for (int i = 0; i < client->socket_count; ++i) {
        client->sockets[i] = OlvAsyncSocket_Create(chain, kClientBufferBytes, OnData, OnConnect,
                                                   OnDisconnect, nullptr);
        OlvAsyncSocket_SetReallocCallback(client->sockets[i], OnRealloc);
    }
    OlvChain_Add(chain, client);
    return client;
}

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
                       (buffer1[0] == 'H' || buffer1[0] == 'h') && (buffer1[1] == 'E' || buffer1[1] == 'e') &&
                       (buffer1[2] == 'A' || buffer1[2] == 'a') && (buffer1[3] == 'D' || buffer1[3] == 'd') &&
                       buffer1[4] == ' ';

    bool wake = false;
    {
        std::scoped_lock lk(client->lock);
        const std::string key = KeyOf(address, port, 0);
        auto it = client->tables->connections.find(key);
        if (it != client->tables->connections.end()) {
            OlvWebReader* r = it->second;
            const bool was_empty = r->requests_head == nullptr;
            if (r->requests_tail != nullptr) r->requests_tail->next = request;
            else r->requests_head = request;
            r->requests_tail = request;
            if (was_empty) {
                if (r->parked) {
                    auto& idle = client->tables->idle;
                    for (auto i = idle.begin(); i != idle.end(); ++i) {
                        if (*i == r) {
                            idle.erase(i);
                            break;
                        }
                    }
                    r->parked = 0;
                    if (client->idle_count > 0) --client->idle_count;
                }
                client->tables->kicked.push_back(r);
                wake = true;
            }
        } else {
            auto* r = new OlvWebReader;
            r->client = client;
            r->lock = &client->lock;
            r->address = address;
            r->port = port;
            r->requests_head = r->requests_tail = request;
            client->tables->connections.emplace(key, r);
            client->tables->connect_queue.push_back(r);
            wake = true;
        }
    }
    if (wake) OlvChain_Wake(client->chain);
}
