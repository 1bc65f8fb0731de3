// The HTTP transfer of one shared file: the header (or a refusal) on the chain thread, then
// the body read and sent by pool workers a window of blocks at a time, one window in flight,
// the next one read when the connection's send queue drains; or, for an answer framed by its
// length, sent from the page cache a window at a time, the next one when the connection has
// room again.
#include "mediaserver/MediaTransfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "http/OlvWebServer.h"
#include "mediaserver/FileIoAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvLifeTime.h"
#include "runtime/OlvParsers.h"
#include "runtime/OlvThreadPool.h"
#include "runtime/ServerContext.h"

namespace {

// Who owns a transfer record: the session side (the chain thread, through the session's
// answer handlers) and the step side (the pool worker). Flags under the record's `lock`; the
// record is freed by the side that lets go while the other one has already.
enum TransferFlag : unsigned {
    // The session's answer owner is this record. Set by HandleGet; cleared by the session's
    // release (answer complete, connection ended) or the chain's end.
    kAttached = 1u << 0,
    // A step is queued or running and owns the record. Set by HandleGet and the drain;
    // cleared by the step that lets go.
    kBusy = 1u << 1,
    // A worker runs a step: the chain's end leaves the record to it. Set and cleared by that
    // worker.
    kRunning = 1u << 2,
    // A step's window waits in the send queue; the drain queues the next step. Set by that
    // step, cleared by the drain.
    kAwaitingDrain = 1u << 3,
    // The next step stops. Set by the release and the chain's end.
    kClosed = 1u << 4,
    // The file is closed and on_done has been called. Set by EndFile.
    kEnded = 1u << 5,
};

}  // namespace

// Session fields are written on the chain thread only; the worker touches the session only
// through the send functions. Every record is also listed by its number: a queued step carries
// only the number, so a step that the pool discards at its end owns nothing, and the chain's
// end frees every record that no worker is running at that moment (a later step finds its
// number gone).
struct MediaTransfer {
    std::uintptr_t id = 0;
    tv::TransferRegistry* registry = nullptr;
    OlvChain* chain = nullptr;
    int fd = -1;
    std::int64_t position = 0;
    std::int64_t remaining = 0;
    OlvWebSession* session = nullptr;  // held until the record is freed
    OlvThreadPool* pool = nullptr;
    tv::MediaTransferFraming framing = tv::MediaTransferFraming::Protocol;
    tv::MediaTransferDoneFn on_done = nullptr;
    MediaTransferState* state = nullptr;
    void* user = nullptr;
    // The window in flight as it goes on the wire. The send queue may point into it until it
    // drains, so it is only rewritten by the step the drain queues, and freed with the record
    // (after the connection's end has dropped the queue).
    char* window = nullptr;

    std::mutex lock;     // guards the flags, and the position while a step reads and sends
    unsigned flags = 0;  // TransferFlag
};

namespace {

// A window is read with one system call and sent with one; a worker sends at most
// kWindowsPerStep windows for one transfer before the others get their turn.
constexpr std::int64_t kWindowBytes = std::int64_t{tv::kWebWindowChunks} * tv::kTransferBlockBytes;
constexpr int kWindowsPerStep = 4;
// Framed by its length, a window is one sendfile and nothing of it is held here: the
// connection's send buffer is what is in flight. As large as a read window: windows of 512 KiB
// and more sent one stream more slowly, at more CPU per GiB (the README has the figures).
constexpr std::int64_t kFileWindowBytes = kWindowBytes;

constexpr std::string_view kNotFound = "HTTP/1.1 404 File Not Found\r\n\r\n";
constexpr std::string_view kBadRequest = "HTTP/1.1 400 Bad Request\r\n\r\n";
constexpr std::string_view kInvalidRange = "HTTP/1.1 416 Invalid Range\r\n\r\n";
constexpr std::string_view kNoTimeSeek = "HTTP/1.1 406 Time-based seek not supported\r\n\r\n";
constexpr std::string_view kNoPlaySpeed = "HTTP/1.1 406 PlaySpeeds not supported\r\n\r\n";
constexpr std::string_view kNotAcceptable = "HTTP/1.1 406 Not Acceptable\r\n\r\n";

void SendBodyStep(OlvThreadPool* pool, void* data) noexcept;

bool Has(const MediaTransfer* t, unsigned flags) noexcept
{
    return (t->flags & flags) != 0;
}

MediaTransfer* TransferOf(OlvWebSession* session) noexcept
{
    return static_cast<MediaTransfer*>(
        tv::WebSessionAnswerOwner(session, tv::WebAnswerKind::MediaTransfer));
}

// A fixed refusal text carries no length: the client sees its end only when the connection
// ends, so it ends right after it instead of holding a slot until the idle close. Framed by
// length, a refusal says that it has no body and that the connection ends, and a 416 names the
// size of the file.
void Refuse(OlvWebSession* session, std::string_view text, tv::MediaTransferFraming framing,
            std::int64_t size = -1)
{
    tv::WebSessionEndAfterAnswer(session);
    if (framing == tv::MediaTransferFraming::Protocol) {
        OlvWebServer_SendBytes(session, text.data(), text.size(), OwnStatic, 1);
        return;
    }
    std::string answer(text.substr(0, text.size() - 2));  // the status line and its line end
    if (text == kInvalidRange) answer += "Content-Range: bytes */" + std::to_string(size) + "\r\n";
    answer += "Content-Length: 0\r\nConnection: close\r\n\r\n";
    OlvWebServer_SendBytes(session, answer.data(), answer.size(), OwnCopy, 1);
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
void EndFile(MediaTransfer* t, tv::MediaTransferDone code)
{
    bool first;
    {
        std::scoped_lock hold(t->lock);
        first = !Has(t, kEnded);
        t->flags |= kEnded;
    }
    if (!first) return;
    if (t->fd >= 0) ::close(t->fd);
    t->fd = -1;
    if (t->on_done != nullptr) t->on_done(t->session, t->state, code, t->user);
}

void FreeTransfer(MediaTransfer* t)
{
    tv::TransferRegistry* registry = t->registry;
    {
        std::scoped_lock hold(registry->lock);
        registry->live.erase(t->id);
    }
    if (t->fd >= 0) ::close(t->fd);
    OlvWebServer_ReleaseSession(t->session);
    tv::Free(t->window);
    delete t->state;
    delete t;
    --registry->count;
}

// A step lets go of the record: freed when the session let go already.
void StepLetsGo(MediaTransfer* t)
{
    bool free_it;
    {
        std::scoped_lock hold(t->lock);
        t->flags &= ~(kBusy | kRunning);
        free_it = !Has(t, kAttached);
    }
    if (free_it) FreeTransfer(t);
}

void QueueStep(tv::TransferRegistry* registry, OlvThreadPool* pool, std::uintptr_t id)
{
    {
        std::scoped_lock hold(registry->lock);
        registry->ready.push_back(id);
    }
    OlvThreadPool_Queue(pool, registry, SendBodyStep);
}

// The worker's hold on the record of the next ready number; null when there is none. Steps
// take the numbers in the order they were queued, whichever step was queued for which, and pass
// over those whose transfer the chain's end has freed (or whose step the pool discarded), so
// every step queued for a live transfer serves one.
MediaTransfer* ClaimStep(tv::TransferRegistry* registry)
{
    std::scoped_lock hold_registry(registry->lock);
    while (!registry->ready.empty()) {
        const std::uintptr_t id = registry->ready.front();
        registry->ready.pop_front();
        auto found = registry->live.find(id);
        if (found == registry->live.end()) continue;
        MediaTransfer* t = found->second;
        std::scoped_lock hold(t->lock);
        t->flags |= kRunning;
        return t;
    }
    return nullptr;
}

// How a step's window went, and so what the step does next.
enum class StepEnd {
    More,      // the connection took the window at once: the next one follows
    Drain,     // the window waits in the send queue; its drain queues the next step
    Requeue,   // kWindowsPerStep windows went out: the next step waits its turn in the pool
    Complete,  // the whole range went out, the body's end with it
    Parked,    // a pause was asked for (nothing resumes it)
    Stopped,   // the connection ended, or the file could not be read
};

// Lock held. A pause asked for parks the transfer.
bool ParkIfAsked(MediaTransfer* t)
{
    std::scoped_lock state_hold(t->state->lock);
    if (t->state->pause_requested == 0) return false;
    t->state->parked = tv::TransferPark::Parked;
    t->state->parked_transfer = t;
    return true;
}

// Fills the window's slots from the transfer's position; false when the file gave less.
bool ReadWindow(const MediaTransfer* t, tv::WebBodyWindow* window)
{
    iovec* slots = window->slots;
    int count = window->count;
    off_t at = static_cast<off_t>(t->position);
    while (count > 0) {
        ssize_t n = ::preadv(t->fd, slots, count, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        at += n;
        for (auto left = static_cast<std::size_t>(n); left > 0;) {
            const std::size_t part = std::min(left, slots->iov_len);
            slots->iov_base = static_cast<char*>(slots->iov_base) + part;
            slots->iov_len -= part;
            left -= part;
            if (slots->iov_len == 0) {
                ++slots;
                --count;
            }
        }
    }
    return true;
}

// The one place where the body leaves: a window of whole chunks, the body's end with the last
// one, in one system call. What the kernel does not take at once waits in the send queue,
// pointing into the transfer's window.
OlvSendResult SendWindow(MediaTransfer* t, std::size_t wire_length, bool last)
{
    return OlvWebServer_SendBytes(t->session, t->window, wire_length, OwnStatic, last ? 1 : 0);
}

// Lock held, after the read. Sends the window and accounts for it.
StepEnd SendReadWindow(MediaTransfer* t, std::size_t wire_length, std::int64_t n)
{
    t->remaining -= n;
    t->position += n;
    const bool last = t->remaining == 0;
    OlvSendResult result = SendWindow(t, wire_length, last);
    // SendWillClose on the last window: all of it went out, the connection ends after it.
    if (tv::SendStopped(result) && !(last && result == SendWillClose)) {
        // SendNoSession: the chain is gone and will never call the session's handlers again.
        if (result == SendNoSession) t->flags &= ~kAttached;
        return StepEnd::Stopped;
    }
    {
        std::scoped_lock state_hold(t->state->lock);
        t->state->sent += n;
    }
    if (last) return StepEnd::Complete;
    if (result != SendQueued) return StepEnd::More;
    // In the same hold as the send: a drain that comes at once must find the mark.
    t->flags = (t->flags | kAwaitingDrain) & ~(kBusy | kRunning);
    return StepEnd::Drain;
}

// The file shrank or the disk failed: the promised length can no longer be kept, so the
// client must see a cut response rather than a complete-looking short one.
void ReadFailed(MediaTransfer* t)
{
    std::fputs("Read Error!\r\n", stdout);
    std::fflush(stdout);
    OlvWebServer_CloseSession(t->session);
}

// A window straight from the page cache. What the connection has no room for is sent by the
// next step, which the drain queues once the connection has room: so the socket's send buffer
// holds what is in flight, and nothing is held here.
StepEnd SendFileWindow(MediaTransfer* t, std::int64_t want)
{
    const bool last = want == t->remaining;
    tv::WebFileSend sent = tv::WebSessionSendFile(t->session, t->fd, t->position,
                                                  static_cast<std::size_t>(want), last ? 1 : 0);
    if (sent.file_failed) {
        ReadFailed(t);
        return StepEnd::Stopped;
    }
    std::scoped_lock hold(t->lock);
    const auto n = static_cast<std::int64_t>(sent.sent);
    t->remaining -= n;
    t->position += n;
    {
        std::scoped_lock state_hold(t->state->lock);
        t->state->sent += n;
    }
    // SendWillClose on the last window: all of it went out, the connection ends after it.
    if (tv::SendStopped(sent.result) && !(last && sent.result == SendWillClose)) {
        if (sent.result == SendNoSession) t->flags &= ~kAttached;
        return StepEnd::Stopped;
    }
    if (t->remaining == 0) return StepEnd::Complete;
    if (sent.result == SendAllSent) return StepEnd::More;
    if (Has(t, kClosed)) return StepEnd::Stopped;
    // In the same hold as the wait: a drain that comes at once must find the mark.
    OlvSendResult waiting = tv::WebSessionAwaitRoom(t->session);
    if (tv::SendStopped(waiting)) {
        if (waiting == SendNoSession) t->flags &= ~kAttached;
        return StepEnd::Stopped;
    }
    t->flags = (t->flags | kAwaitingDrain) & ~(kBusy | kRunning);
    return StepEnd::Drain;
}

StepEnd SendNextWindow(MediaTransfer* t)
{
    std::int64_t want;
    {
        std::scoped_lock hold(t->lock);
        if (Has(t, kClosed)) return StepEnd::Stopped;
        if (ParkIfAsked(t)) return StepEnd::Parked;
        want =
            std::min(t->remaining, t->framing == tv::MediaTransferFraming::Length ? kFileWindowBytes
                                                                                  : kWindowBytes);
    }
    if (want == 0) {
        OlvWebServer_SendBody(t->session, nullptr, 0, OwnStatic, 1);
        return StepEnd::Complete;
    }
    if (t->framing == tv::MediaTransferFraming::Length) return SendFileWindow(t, want);
    const auto length = static_cast<std::size_t>(want);
    if (t->window == nullptr) {
        t->window =
            static_cast<char*>(tv::Malloc(tv::WebBodyWindowBytes(length, tv::kTransferBlockBytes)));
    }
    tv::WebBodyWindow window;
    tv::WebSessionLayOutBody(t->session, t->window, length, tv::kTransferBlockBytes,
                             want == t->remaining, &window);
    if (!ReadWindow(t, &window)) {
        ReadFailed(t);
        return StepEnd::Stopped;
    }
    std::scoped_lock hold(t->lock);
    if (Has(t, kClosed)) return StepEnd::Stopped;
    return SendReadWindow(t, window.wire_length, want);
}

// The step ends; unless it left the record to the drain, it lets go of it or queues the next.
void FinishStep(MediaTransfer* t, StepEnd end)
{
    switch (end) {
    case StepEnd::Drain:
        return;  // not ours any more: the record may be gone already
    case StepEnd::Requeue: {
        // Still busy: the next step owns the record. Once kRunning is clear the chain's end
        // may free it, so nothing of it is read after that.
        std::unique_lock hold(t->lock);
        tv::TransferRegistry* registry = t->registry;
        OlvThreadPool* pool = t->pool;
        const std::uintptr_t id = t->id;
        t->flags &= ~kRunning;
        hold.unlock();
        QueueStep(registry, pool, id);
        return;
    }
    case StepEnd::Complete:
        EndFile(t, tv::kTransferDoneAll);
        break;
    case StepEnd::Parked:
        std::fputs("PAUSED!\r\n", stdout);
        std::fflush(stdout);
        break;  // the connection's end frees it
    case StepEnd::More:
    case StepEnd::Stopped:
        EndFile(t, tv::kTransferDoneStopped);
        break;
    }
    StepLetsGo(t);
}

// Reads and sends windows while the connection takes each one at once; a window the kernel
// does not take whole waits in the send queue and the queue's drain queues the next step, so
// only one window per transfer is ever in flight. After kWindowsPerStep windows the worker
// queues the next step instead, so that one fast reader cannot keep a worker from other
// transfers.
void SendBodyStep(OlvThreadPool* /*pool*/, void* data) noexcept
{
    MediaTransfer* t = ClaimStep(static_cast<tv::TransferRegistry*>(data));
    if (t == nullptr) return;
    StepEnd end = StepEnd::More;
    for (int windows = 0; end == StepEnd::More; ++windows) {
        end = windows < kWindowsPerStep ? SendNextWindow(t) : StepEnd::Requeue;
    }
    FinishStep(t, end);
}

// The first step starts in a later chain turn, never inside the delivery of the request: the
// caller gets the state before any window is read (and may ask for a pause), and a pool without
// workers, which runs the step at once, never ends the response inside the delivery.
void StartFired(void* data) noexcept
{
    auto* t = static_cast<MediaTransfer*>(data);
    QueueStep(t->registry, t->pool, t->id);
}

// The send queue drained (chain thread): the step that left its window there goes on.
void DrainHandler(OlvWebSession* session) noexcept
{
    MediaTransfer* t = TransferOf(session);
    if (t == nullptr) return;
    {
        std::scoped_lock hold(t->lock);
        if (!Has(t, kAwaitingDrain) || Has(t, kClosed | kEnded)) return;
        t->flags = (t->flags & ~kAwaitingDrain) | kBusy;
    }
    QueueStep(t->registry, t->pool, t->id);
}

// The session lets go (chain thread): the answer is complete, or the connection ended.
void ReleaseHandler(OlvWebSession* session) noexcept
{
    MediaTransfer* t = TransferOf(session);
    if (t == nullptr) return;
    {
        std::scoped_lock hold(t->lock);
        if (!Has(t, kAttached)) return;
        t->flags = (t->flags | kClosed) & ~kAttached;
        if (Has(t, kBusy)) return;  // the step frees it
    }
    EndFile(t, tv::kTransferDoneStopped);  // nothing when the body was complete
    FreeTransfer(t);
}

// The chain's end, before any object is destroyed: nothing runs a session's handlers any more.
// Frees every transfer of the chain that no worker is running; a running step sees kClosed and
// frees its transfer itself.
void SweepTransfers(void* data) noexcept
{
    auto* sweep = static_cast<tv::TransferSweep*>(data);
    tv::TransferRegistry* registry = sweep->registry;
    OlvChain* chain = sweep->chain;
    std::vector<MediaTransfer*> leftovers;
    {
        std::scoped_lock hold_registry(registry->lock);
        registry->swept_chains.erase(chain);  // frees *sweep
        for (auto it = registry->live.begin(); it != registry->live.end();) {
            MediaTransfer* t = it->second;
            bool take = false;
            if (t->chain == chain) {
                if (TransferOf(t->session) == t) tv::WebSessionDetachAnswer(t->session);
                std::scoped_lock hold(t->lock);
                t->flags = (t->flags | kClosed) & ~kAttached;
                take = !Has(t, kRunning);
                if (take) t->flags &= ~kBusy;
            }
            if (take) {
                leftovers.push_back(t);
                it = registry->live.erase(it);
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
    tv::TransferRegistry* registry = t->registry;
    tv::TransferSweep* first_on_chain = nullptr;
    {
        std::scoped_lock hold(registry->lock);
        t->id = ++registry->next_id;
        registry->live[t->id] = t;
        auto [at, added] = registry->swept_chains.try_emplace(t->chain);
        if (added) {
            at->second = std::make_unique<tv::TransferSweep>(tv::TransferSweep{registry, t->chain});
            first_on_chain = at->second.get();
        }
    }
    if (first_on_chain != nullptr) tv::ChainOnEnd(t->chain, SweepTransfers, first_on_chain);
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
int OpenShared(const tv::ServerContext* context, const char* path, std::int64_t* size)
{
    if (path == nullptr) return -1;
    std::string internal = "\\";
    internal += path;
    // Judged as opened: a link changed since the Browse cannot lead out of the shared folders.
    int fd = tv::FileIo_OpenShared(context, internal, O_RDONLY | O_NONBLOCK, nullptr);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    *size = static_cast<std::int64_t>(st.st_size);
    return fd;
}

// Refuses the DLNA operations this server does not do: a getcontentFeatures value other than
// 1, and a time seek, play speed or real-time request in Background or Interactive mode.
std::string_view CheckDlnaRequest(OlvPacket* request, int requested)
{
    const char* get_features = Header(request, "getcontentFeatures.dlna.org");
    if (get_features != nullptr && get_features[0] != '1') return kBadRequest;
    const bool time_based = Header(request, "TimeSeekRange.dlna.org") != nullptr ||
                            Header(request, "PlaySpeed.dlna.org") != nullptr ||
                            Header(request, "realTimeInfo.dlna.org") != nullptr;
    if ((requested == tv::kTransferBackground || requested == tv::kTransferInteractive) &&
        time_based) {
        return kBadRequest;
    }
    return {};
}

// The byte range asked for: status, Content-Range or Content-Length, and the range in *start
// and *length; or the refusal that answers instead.
std::string_view AddRange(OlvPacket* request, OlvPacket* packet, std::int64_t size,
                          tv::MediaTransferFraming framing, std::int64_t* start,
                          std::int64_t* length)
{
    const bool by_length = framing == tv::MediaTransferFraming::Length;
    char number[96];
    *start = 0;
    *length = size;
    if (const char* range = Header(request, "Range"); range != nullptr) {
        switch (MediaTransfer_ParseRange(range, start, length, size)) {
        case tv::kRangeSatisfiable:
            break;
        case tv::kRangeUnsatisfiable:
            return kInvalidRange;
        case tv::kRangeMalformed:
            return kBadRequest;
        }
        OlvPacket_SetStatus(packet, 206, "Partial Content", 15);
        int n = std::snprintf(number, sizeof number, "bytes %" PRId64 "-%" PRId64 "/%" PRId64,
                              *start, *start + *length - 1, size);
        AddHeader(packet, "Content-Range", std::string_view(number, static_cast<std::size_t>(n)));
        if (by_length) {
            n = std::snprintf(number, sizeof number, "%" PRId64, *length);
            AddHeader(packet, "Content-Length",
                      std::string_view(number, static_cast<std::size_t>(n)));
            AddHeader(packet, "Accept-Ranges", "bytes");
        }
        return {};
    }
    if (Header(request, "TimeSeekRange.dlna.org") != nullptr) return kNoTimeSeek;
    if (Header(request, "PlaySpeed.dlna.org") != nullptr) return kNoPlaySpeed;
    OlvPacket_SetStatus(packet, 200, "OK", 2);
    int n = std::snprintf(number, sizeof number, "%" PRId64, size);
    AddHeader(packet, "Content-Length", std::string_view(number, static_cast<std::size_t>(n)));
    if (by_length) AddHeader(packet, "Accept-Ranges", "bytes");
    return {};
}

// transferMode.dlna.org: the mode asked for when it is allowed, or the one the MIME type
// implies when none was asked for; or the refusal.
std::string_view AddTransferMode(OlvPacket* packet, int requested, int allowed_modes,
                                 const char* mime_type)
{
    if (requested == 0 && mime_type != nullptr) {
        std::string_view mime(mime_type);
        if (mime.starts_with("video/") || mime.starts_with("audio/"))
            AddHeader(packet, "transferMode.dlna.org", "Streaming");
        else if (mime.starts_with("image/"))
            AddHeader(packet, "transferMode.dlna.org", "Interactive");
        return {};
    }
    if ((requested & allowed_modes) == 0) return kNotAcceptable;
    AddHeader(packet, "transferMode.dlna.org", ModeName(requested));
    return {};
}

void AddContentHeaders(OlvPacket* packet, const char* mime_type, const char* content_features,
                       const char* ifo_uri)
{
    if (content_features != nullptr)
        AddHeader(packet, "contentFeatures.dlna.org", content_features);
    AddHeader(packet, "Content-Type",
              mime_type != nullptr ? mime_type : "application/octet-stream");
    if (ifo_uri != nullptr) {
        std::string pragma = "ifoFileURI.dlna.org=\"";
        pragma += ifo_uri;
        pragma += '"';
        AddHeader(packet, "PRAGMA", pragma);
    }
}

// Chain thread, the header sent: the transfer takes the file and the answer, and its first
// step starts in the next turn.
MediaTransferState* StartTransfer(tv::TransferRegistry* registry, OlvWebSession* session,
                                  OlvThreadPool* pool, int fd, std::int64_t start,
                                  std::int64_t length, tv::MediaTransferFraming framing, void* user,
                                  tv::MediaTransferDoneFn on_done)
{
    auto* t = new MediaTransfer;
    auto* state = new MediaTransferState;
    state->total = length;
    state->session = session;
    t->fd = fd;
    t->position = start;
    t->remaining = length;
    t->session = session;
    t->pool = pool;
    t->framing = framing;
    t->on_done = on_done;
    t->state = state;
    t->user = user;
    t->flags = kAttached | kBusy;
    t->chain = tv::WebSessionChain(session);
    t->registry = registry;
    ++registry->count;
    Register(t);
    OlvWebServer_HoldSession(session);
    tv::WebSessionAttachAnswer(session, tv::WebAnswerKind::MediaTransfer, t, DrainHandler,
                               ReleaseHandler);
    // Cancelled only by the chain's end, whose sweep frees a transfer that has not started.
    tv::LifeTimeAddNextTurn(tv::ChainTimer(t->chain), t, StartFired, nullptr);
    return state;
}

}  // namespace

namespace tv {
int MediaTransferLiveCount(const TransferRegistry& registry) noexcept
{
    return registry.count.load();
}
}  // namespace tv

tv::MediaTransferRange MediaTransfer_ParseRange(const char* value, std::int64_t* start,
                                                std::int64_t* length, std::int64_t size) noexcept
{
    if (value == nullptr) return tv::kRangeMalformed;
    std::string_view text(value);
    std::size_t eq = text.find('=');
    if (eq == std::string_view::npos || text.find('=', eq + 1) != std::string_view::npos)
        return tv::kRangeMalformed;
    if (text.substr(0, eq) != "bytes") return tv::kRangeMalformed;
    std::string_view spec = text.substr(eq + 1);
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos || spec.find('-', dash + 1) != std::string_view::npos)
        return tv::kRangeMalformed;
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
        return tv::kRangeUnsatisfiable;
    }
    if (to > size - 1) to = size - 1;
    if (from < 0 || from >= size || to < from) return tv::kRangeUnsatisfiable;
    *start = from;
    *length = to - from + 1;
    return tv::kRangeSatisfiable;
}

MediaTransferState* MediaTransfer_HandleGet(
    OlvWebSession* session, OlvThreadPool* pool, const tv::ServerContext* context,
    OlvPacket* request, const char* path, int allowed_modes, const char* mime_type,
    const char* content_features, const char* ifo_uri, void* user, tv::MediaTransferDoneFn on_done,
    tv::MediaTransferFraming framing, const tv::MediaTransferSamsung& samsung) noexcept
{
    if (session == nullptr || request == nullptr) return nullptr;
    // Only the delivery that completes the request may answer it.
    if (!tv::WebSessionRequestWhole(session)) return nullptr;

    std::int64_t size = 0;
    int fd = OpenShared(context, path, &size);
    if (fd < 0) {
        Refuse(session, kNotFound, framing);
        return nullptr;
    }
    OlvPacket* packet = OlvPacket_Create();
    OlvPacket_SetVersion(packet, "1.1", 3);
    const int requested = RequestedMode(Header(request, "transferMode.dlna.org"));
    std::int64_t start = 0;
    std::int64_t length = 0;
    std::string_view refusal = CheckDlnaRequest(request, requested);
    if (refusal.empty()) refusal = AddRange(request, packet, size, framing, &start, &length);
    if (refusal.empty()) refusal = AddTransferMode(packet, requested, allowed_modes, mime_type);
    if (!refusal.empty()) {
        ::close(fd);
        OlvPacket_Destroy(packet);
        Refuse(session, refusal, framing, size);
        return nullptr;
    }
    AddContentHeaders(packet, mime_type, content_features, ifo_uri);
    const char* asked = Header(request, "getCaptionInfo.sec");
    if (samsung.caption_uri != nullptr && asked != nullptr && std::strcmp(asked, "1") == 0)
        AddHeader(packet, "CaptionInfo.sec", samsung.caption_uri);
    asked = Header(request, "getMediaInfo.sec");
    if (samsung.duration_ms >= 0 && asked != nullptr && std::strcmp(asked, "1") == 0)
        AddHeader(packet, "MediaInfo.sec",
                  ("SEC_Duration=" + std::to_string(samsung.duration_ms) + ";").c_str());
    if (framing == tv::MediaTransferFraming::Length) tv::WebSessionFrameByLength(session);

    OlvSendResult sent = OlvWebServer_BeginResponseFromPacket(session, packet);
    const bool head = tv::EqualsCaseless(tv::View(request->method, request->method_length), "HEAD");
    if (head || sent < 0) {
        ::close(fd);
        if (head && sent >= 0) OlvWebServer_SendBody(session, nullptr, 0, OwnStatic, 1);
        return nullptr;
    }
    return StartTransfer(context->transfers, session, pool, fd, start, length, framing, user,
                         on_done);
}
