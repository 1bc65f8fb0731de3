#include "mediaserver/MediaTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <memory>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "http/OlvWebReader.h"
#include "http/OlvWebServer.h"
#include "mediaserver/FileIoAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvThreadPool.h"

// Who frees the record: a step owns it while `busy` (queued or running); the session's
// callbacks own it while `attached` (its user4 and handlers point here). It is freed by
// whichever side lets go last, decided under `lock`. Session fields are written on the chain
// thread only; the worker touches the session only through the send functions.
// Every record is also listed by its number: a queued step carries only the number, so a step
// that the pool discards at its end owns nothing, and the chain's end frees every record that
// no worker is running at that moment (a later step finds its number gone).
struct MediaTransfer {
    std::uintptr_t id = 0;
    OlvChain* chain = nullptr;
    int fd = -1;
    std::int64_t position = 0;
    std::int64_t remaining = 0;
    OlvWebSession* session = nullptr;  // held until the record is freed
    OlvThreadPool* pool = nullptr;
    tv::MediaTransferDoneFn on_done = nullptr;
    MediaTransferState* state = nullptr;
    void* user = nullptr;

    std::mutex lock;  // guards the fields below
    int last_send = 0;
    bool closed = false;          // the connection ended
    bool attached = false;
    bool busy = false;
    bool awaiting_drain = false;  // the last block waits in the send queue
    bool ended = false;           // the file is closed and on_done has been called
    bool running = false;         // a worker is inside a step
};

namespace
{

std::atomic<int> g_live{0};

// Live transfers by number, and the chains that sweep them at their end. Taken before a
// record's lock.
std::mutex g_registry_lock;
std::unordered_map<std::uintptr_t, MediaTransfer*>* g_registry = nullptr;
std::unordered_map<OlvChain*, int>* g_swept_chains = nullptr;
std::uintptr_t g_next_id = 0;

constexpr int kBlocksPerStep = 64;

constexpr std::string_view kNotFound = "HTTP/1.1 404 File Not Found\r\n\r\n";
constexpr std::string_view kBadRequest = "HTTP/1.1 400 Bad Request\r\n\r\n";
constexpr std::string_view kInvalidRange = "HTTP/1.1 416 Invalid Range\r\n\r\n";
constexpr std::string_view kNoTimeSeek = "HTTP/1.1 406 Time-based seek not supported\r\n\r\n";
constexpr std::string_view kNoPlaySpeed = "HTTP/1.1 406 PlaySpeeds not supported\r\n\r\n";
constexpr std::string_view kNotAcceptable = "HTTP/1.1 406 Not Acceptable\r\n\r\n";

void SendBodyStep(OlvThreadPool* pool, void* data) noexcept;
void SendOkHandler(OlvWebSession* session) noexcept;
void CloseHandler(OlvWebSession* session) noexcept;

// A fixed refusal text carries no length: the client sees its end only when the connection
// ends, so it ends right after it instead of holding a slot until the idle close.
void Refuse(OlvWebSession* session, std::string_view text)
{
    session->force_close = 1;
    OlvWebServer_SendBytes(session, text.data(), text.size(), OwnStatic, 1);
}

char* Header(OlvPacket* request, std::string_view name)
{
    return OlvPacket_GetHeader(request, name.data(), static_cast<int>(name.size()));
}

void AddHeader(OlvPacket* packet, std::string_view name, std::string_view value)
{
    OlvPacket_AddHeader(packet, name.data(), static_cast<int>(name.size()), value.data(),
                        static_cast<int>(value.size()));
}

// atol without its overflow: saturates instead.
std::int64_t ParseNumber(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        int digit = text[i] - '0';
        if (value > (INT64_MAX - digit) / 10) {
            value = INT64_MAX;
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

// Closes the file and reports the outcome, once. The caller owns the record (busy, or the
// last owner), and holds no lock.
void EndFile(MediaTransfer* t, int code)
{
    bool first;
    {
        std::scoped_lock hold(t->lock);
        first = !t->ended;
        t->ended = true;
    }
    if (!first) return;
    if (t->fd >= 0) ::close(t->fd);
    t->fd = -1;
    if (t->on_done != nullptr) t->on_done(t->session, t->state, code, t->user);
}

void FreeTransfer(MediaTransfer* t)
{
    {
        std::scoped_lock registry(g_registry_lock);
        g_registry->erase(t->id);
    }
    if (t->fd >= 0) ::close(t->fd);
    OlvWebServer_ReleaseSession(t->session);
    delete t->state;
    delete t;
    --g_live;
}

// A step lets go of the record: freed when the session let go already.
void StepLetsGo(MediaTransfer* t)
{
    bool free_it;
    {
        std::scoped_lock hold(t->lock);
        t->busy = false;
        t->running = false;
        free_it = !t->attached;
    }
    if (free_it) FreeTransfer(t);
}

// Chain thread: the session lets go of a transfer whose body is complete (or that a new request
// replaces); the session's fields stop pointing at it.
void Detach(OlvWebSession* session, MediaTransfer* t)
{
    session->user4 = nullptr;
    session->on_sent = nullptr;
    session->on_session_closed = nullptr;
    bool free_it;
    {
        std::scoped_lock hold(t->lock);
        t->attached = false;
        if (t->busy) t->closed = true;  // a step still runs: it ends the transfer
        free_it = !t->busy;
    }
    if (!free_it) return;
    EndFile(t, tv::kTransferDoneStopped);
    FreeTransfer(t);
}

// Chain thread: the session's handlers stop pointing at the transfer.
void ForgetSession(MediaTransfer* t)
{
    if (t->session->user4 != t) return;
    t->session->user4 = nullptr;
    t->session->on_sent = nullptr;
    t->session->on_session_closed = nullptr;
}

void QueueStep(OlvThreadPool* pool, std::uintptr_t id)
{
    OlvThreadPool_Queue(pool, reinterpret_cast<void*>(id), SendBodyStep);
}

void QueueStep(MediaTransfer* t)
{
    QueueStep(t->pool, t->id);
}

// The worker's hold on the record for one step; null when the chain's end has freed it.
MediaTransfer* ClaimStep(void* data)
{
    std::scoped_lock registry(g_registry_lock);
    if (g_registry == nullptr) return nullptr;
    auto found = g_registry->find(reinterpret_cast<std::uintptr_t>(data));
    if (found == g_registry->end()) return nullptr;
    MediaTransfer* t = found->second;
    std::scoped_lock hold(t->lock);
    t->running = true;
    return t;
}

void FinishAll(MediaTransfer* t)
{
    // Ends the chunked body (or the request of an HTTP/1.0 client) and completes the response.
    OlvWebServer_SendBody(t->session, nullptr, 0, OwnStatic, 1);
    EndFile(t, tv::kTransferDoneAll);
    StepLetsGo(t);
}

// Ends a step that gives up the record because the connection is gone.
void StopStep(MediaTransfer* t, char* block)
{
    tv::Free(block);
    EndFile(t, tv::kTransferDoneStopped);
    StepLetsGo(t);
}

// Reads and sends blocks while the connection takes each one at once, with one buffer; a
// block the kernel does not take whole waits in the send queue (its unsent part copied) and
// the queue's drain queues the next step, so only one block per transfer ever waits. After
// kBlocksPerStep blocks the worker queues the next step instead, so that one
// fast reader cannot keep a worker from other transfers.
void SendBodyStep(OlvThreadPool* /*pool*/, void* data) noexcept
{
    MediaTransfer* t = ClaimStep(data);
    if (t == nullptr) return;
    char* block = static_cast<char*>(tv::Malloc(tv::kTransferBlockBytes));
    for (int blocks = 1;; ++blocks) {
        std::unique_lock hold(t->lock);
        if (t->closed) {
            hold.unlock();
            StopStep(t, block);
            return;
        }
        bool park = false;
        {
            std::scoped_lock state_hold(t->state->lock);
            if (t->state->pause_requested != 0) {
                t->state->parked = 2;
                t->state->parked_transfer = t;
                park = true;
            }
        }
        if (park) {
            hold.unlock();
            tv::Free(block);
            std::fputs("PAUSED!\r\n", stdout);
            std::fflush(stdout);
            StepLetsGo(t);  // the connection's end frees it
            return;
        }
        const std::int64_t want =
            t->remaining < tv::kTransferBlockBytes ? t->remaining : tv::kTransferBlockBytes;
        hold.unlock();
        if (want == 0) {
            tv::Free(block);
            FinishAll(t);
            return;
        }
        ssize_t n;
        do {
            n = ::pread(t->fd, block, static_cast<std::size_t>(want),
                        static_cast<off_t>(t->position));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // The file shrank or the disk failed: the promised length can no longer be kept,
            // so the client must see a cut response rather than a complete-looking short one.
            std::fputs("Read Error!\r\n", stdout);
            std::fflush(stdout);
            OlvWebServer_CloseSession(t->session);
            StopStep(t, block);
            return;
        }
        hold.lock();
        if (t->closed) {
            hold.unlock();
            StopStep(t, block);
            return;
        }
        t->remaining -= n;
        t->position += n;
        // The last block carries the end of the body in the same system call.
        const int last = t->remaining == 0 ? 1 : 0;
        OlvSendResult result =
            OlvWebServer_SendBody(t->session, block, static_cast<std::size_t>(n), OwnCopy, last);
        t->last_send = result;
        // SendWillClose on the last block: all of it went out, the connection ends after it.
        if (result < 0 && !(last != 0 && result == SendWillClose)) {
            // SendNoSession: the chain is gone and will never call the session's handlers again.
            if (result == SendNoSession) t->attached = false;
            hold.unlock();
            StopStep(t, block);
            return;
        }
        {
            std::scoped_lock state_hold(t->state->lock);
            t->state->sent += n;
        }
        if (last != 0) {
            hold.unlock();
            tv::Free(block);
            EndFile(t, tv::kTransferDoneAll);
            StepLetsGo(t);
            return;
        }
        if (result == SendQueued) {
            // The drain of the send queue queues the next step.
            t->awaiting_drain = true;
            t->busy = false;
            t->running = false;
            hold.unlock();
            tv::Free(block);
            return;
        }
        if (blocks < kBlocksPerStep) continue;
        // Still busy: the next step owns the record. Once `running` is clear the chain's end
        // may free it, so nothing of it is read after that.
        OlvThreadPool* pool = t->pool;
        const std::uintptr_t id = t->id;
        t->running = false;
        hold.unlock();
        tv::Free(block);
        QueueStep(pool, id);
        return;
    }
}

// The first step starts in a later chain turn, never inside the delivery of the request: the
// caller gets the state before any block is read (and may ask for a pause), and a pool without
// workers, which runs the step at once, never ends the response inside the delivery.
void StartFired(void* data) noexcept
{
    QueueStep(static_cast<MediaTransfer*>(data));
}

void SendOkHandler(OlvWebSession* session) noexcept
{
    auto* t = static_cast<MediaTransfer*>(session->user4);
    if (t == nullptr) return;
    bool next = false;
    bool detach = false;
    {
        std::scoped_lock hold(t->lock);
        if (t->ended && !t->busy) {
            detach = true;
        } else if (t->awaiting_drain && !t->closed && !t->ended) {
            t->awaiting_drain = false;
            t->busy = true;
            next = true;
        }
    }
    if (detach) Detach(session, t);
    if (next) QueueStep(t);
}

// The connection ended (chain thread). The session is dying: its fields are left as they are.
void CloseHandler(OlvWebSession* session) noexcept
{
    auto* t = static_cast<MediaTransfer*>(session->user4);
    if (t == nullptr) return;
    {
        std::scoped_lock hold(t->lock);
        if (!t->attached) return;
        t->closed = true;
        t->attached = false;
        if (t->busy) return;  // the step frees it
    }
    EndFile(t, tv::kTransferDoneStopped);
    FreeTransfer(t);
}

// The chain's end, before any object is destroyed: nothing runs a session's handlers any more.
// Frees every transfer of the chain that no worker is running; a running step sees `closed`
// and frees its transfer itself.
void SweepTransfers(void* data) noexcept
{
    auto* chain = static_cast<OlvChain*>(data);
    std::vector<MediaTransfer*> leftovers;
    {
        std::scoped_lock registry(g_registry_lock);
        g_swept_chains->erase(chain);
        for (auto it = g_registry->begin(); it != g_registry->end();) {
            MediaTransfer* t = it->second;
            bool take = false;
            if (t->chain == chain) {
                ForgetSession(t);
                std::scoped_lock hold(t->lock);
                t->closed = true;
                t->attached = false;
                take = !t->running;
                if (take) t->busy = false;
            }
            if (take) {
                leftovers.push_back(t);
                it = g_registry->erase(it);
            } else {
                ++it;
            }
        }
    }
    for (MediaTransfer* t : leftovers) {
        EndFile(t, tv::kTransferDoneStopped);
        FreeTransfer(t);
    }
}

// Chain thread. Lists the transfer, and has its chain sweep the transfers at its end.
void Register(MediaTransfer* t)
{
    bool first_on_chain = false;
    {
        std::scoped_lock registry(g_registry_lock);
        if (g_registry == nullptr) {
            g_registry = new std::unordered_map<std::uintptr_t, MediaTransfer*>;
            g_swept_chains = new std::unordered_map<OlvChain*, int>;
        }
        t->id = ++g_next_id;
        (*g_registry)[t->id] = t;
        first_on_chain = g_swept_chains->emplace(t->chain, 1).second;
    }
    if (first_on_chain) tv::ChainOnEnd(t->chain, SweepTransfers, t->chain);
}

// Transfer mode named by the request: exact spelling only.
int RequestedMode(const char* value)
{
    if (value == nullptr) return 0;
    std::string_view mode(value);
    if (mode == "Streaming") return tv::kTransferStreaming;
    if (mode == "Interactive") return tv::kTransferInteractive;
    if (mode == "Background") return tv::kTransferBackground;
    return 0;
}

const char* ModeName(int mode)
{
    switch (mode) {
    case tv::kTransferStreaming:
        return "Streaming";
    case tv::kTransferInteractive:
        return "Interactive";
    default:
        return "Background";
    }
}

// Opens a regular file inside the shared folders without ever blocking on a pipe or device.
int OpenShared(const char* path, std::int64_t* size)
{
    if (path == nullptr) return -1;
    std::string internal = "\\";
    internal += path;
    // Judged as opened: a link changed since the Browse cannot lead out of the shared folders.
    int fd = tv::FileIo_OpenShared(internal, O_RDONLY | O_NONBLOCK, nullptr);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    *size = static_cast<std::int64_t>(st.st_size);
    return fd;
}

} // namespace

namespace tv
{
int MediaTransferLiveCount() noexcept
{
    return g_live.load();
}

void MediaTransferLetGo(OlvWebSession* session) noexcept
{
    if (session->on_session_closed == CloseHandler && session->user4 != nullptr)
        Detach(session, static_cast<MediaTransfer*>(session->user4));
}
} // namespace tv

int MediaTransfer_ParseRange(const char* value, std::int64_t* start, std::int64_t* length,
                             std::int64_t size) noexcept
{
    if (value == nullptr) return 2;
    std::string_view text(value);
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || text.find('=', eq + 1) != std::string_view::npos) return 2;
    if (text.substr(0, eq) != "bytes") return 2;
    std::string_view spec = text.substr(eq + 1);
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find('-', dash + 1) != std::string_view::npos)
        return 2;
    std::string_view first = spec.substr(0, dash);
    std::string_view last = spec.substr(dash + 1);
    std::int64_t from;
    std::int64_t to;
    if (!first.empty() && !last.empty()) {
        from = ParseNumber(first);
        to = ParseNumber(last);
    } else if (!first.empty()) {
        from = ParseNumber(first);
        to = size - 1;
    } else if (!last.empty()) {
        std::int64_t count = ParseNumber(last);
        from = count > size ? 0 : size - count;
        to = size - 1;
    } else {
        return 1;
    }
    if (to > size - 1) to = size - 1;
    if (from < 0 || from >= size || to < from) return 1;
    *start = from;
    *length = to - from + 1;
    return 0;
}

MediaTransferState* MediaTransfer_HandleGet(OlvWebSession* session, OlvThreadPool* pool,
                                            OlvPacket* request, int /*ignored*/, const char* path,
                                            int allowed_modes, const char* mime_type,
                                            const char* content_features, const char* ifo_uri,
                                            void* user, tv::MediaTransferDoneFn on_done) noexcept
{
    if (session == nullptr || request == nullptr) return nullptr;
    // Only the delivery that completes the request may answer it.
    if (session->reader != nullptr && session->reader->in_final_delivery == 0) return nullptr;

    tv::MediaTransferLetGo(session);  // one that finished on this connection

    std::int64_t size = 0;
    int fd = OpenShared(path, &size);
    if (fd < 0) {
        Refuse(session, kNotFound);
        return nullptr;
    }
    OlvPacket* packet = OlvPacket_Create();
    OlvPacket_SetVersion(packet, "1.1", 3);
    auto refuse = [&](std::string_view text) -> MediaTransferState* {
        ::close(fd);
        OlvPacket_Destroy(packet);
        Refuse(session, text);
        return nullptr;
    };

    const char* get_features = Header(request, "getcontentFeatures.dlna.org");
    if (get_features != nullptr && get_features[0] != '1') return refuse(kBadRequest);

    const int requested = RequestedMode(Header(request, "transferMode.dlna.org"));
    const bool time_seek = Header(request, "TimeSeekRange.dlna.org") != nullptr;
    const bool play_speed = Header(request, "PlaySpeed.dlna.org") != nullptr;
    const bool real_time = Header(request, "realTimeInfo.dlna.org") != nullptr;
    if ((requested == tv::kTransferBackground || requested == tv::kTransferInteractive) &&
        (time_seek || play_speed || real_time)) {
        return refuse(kBadRequest);
    }

    std::int64_t start = 0;
    std::int64_t remaining = size;
    char number[96];
    if (const char* range = Header(request, "Range"); range != nullptr) {
        std::int64_t length = 0;
        switch (MediaTransfer_ParseRange(range, &start, &length, size)) {
        case 0:
            break;
        case 1:
            return refuse(kInvalidRange);
        default:
            return refuse(kBadRequest);
        }
        remaining = length;
        OlvPacket_SetStatus(packet, 206, "Partial Content", 15);
        int n = std::snprintf(number, sizeof number, "bytes %" PRId64 "-%" PRId64 "/%" PRId64,
                              start, start + length - 1, size);
        AddHeader(packet, "Content-Range", std::string_view(number, static_cast<std::size_t>(n)));
    } else if (time_seek) {
        return refuse(kNoTimeSeek);
    } else if (play_speed) {
        return refuse(kNoPlaySpeed);
    } else {
        OlvPacket_SetStatus(packet, 200, "OK", 2);
        int n = std::snprintf(number, sizeof number, "%" PRId64, size);
        AddHeader(packet, "Content-Length", std::string_view(number, static_cast<std::size_t>(n)));
    }

    if (requested == 0 && mime_type != nullptr) {
        std::string_view mime(mime_type);
        if (mime.starts_with("video/") || mime.starts_with("audio/"))
            AddHeader(packet, "transferMode.dlna.org", "Streaming");
        else if (mime.starts_with("image/"))
            AddHeader(packet, "transferMode.dlna.org", "Interactive");
    } else if ((requested & allowed_modes) != 0) {
        AddHeader(packet, "transferMode.dlna.org", ModeName(requested));
    } else {
        return refuse(kNotAcceptable);
    }

    if (content_features != nullptr) AddHeader(packet, "contentFeatures.dlna.org", content_features);
    AddHeader(packet, "Content-Type", mime_type != nullptr ? mime_type : "application/octet-stream");
    if (ifo_uri != nullptr) {
        std::string pragma = "ifoFileURI.dlna.org=\"";
        pragma += ifo_uri;
        pragma += '"';
        AddHeader(packet, "PRAGMA", pragma);
    }

    OlvSendResult sent = OlvWebServer_BeginResponseFromPacket(session, packet);
    if (tv::EqualsCaseless(tv::View(request->method, request->method_length), "HEAD")) {
        ::close(fd);
        if (sent >= 0) OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
        return nullptr;
    }
    if (sent < 0) {
        ::close(fd);
        return nullptr;
    }

    auto* t = new MediaTransfer;
    auto* state = new MediaTransferState;
    state->total = remaining;
    state->session = session;
    t->fd = fd;
    t->position = start;
    t->remaining = remaining;
    t->session = session;
    t->pool = pool;
    t->on_done = on_done;
    t->state = state;
    t->user = user;
    t->attached = true;
    t->busy = true;
    t->chain = tv::AsyncSocketChain(session->connection);
    ++g_live;
    Register(t);
    OlvWebServer_HoldSession(session);
    session->user4 = t;
    session->on_sent = SendOkHandler;
    session->on_session_closed = CloseHandler;
    // Cancelled only by the chain's end, whose sweep frees a transfer that has not started.
    tv::LifeTimeAddNextTurn(tv::ChainTimer(t->chain), t, StartFired, nullptr);
    return state;
}
