// HTTP stream reader: splits the bytes of one TCP connection into message headers and body
// pieces. Runs on the chain thread inside the socket's data callback; every callback it makes
// may close the socket or reset the reader, so it re-checks both after each one. It knows
// neither the web server nor the client: it calls a server-mode reader's session hook, a
// client request's on_response and the client's completion hook.
#include "http/OlvWebReader.h"

#include <cstring>
#include <string_view>

#include <arpa/inet.h>
#include <sys/socket.h>

#include "runtime/Memory.h"
#include "runtime/OlvPacket.h"
#include "runtime/OlvParsers.h"

namespace {

constexpr int kHeaderWindowBytes = 3072;  // header search window before a partial parse
constexpr int kChunkBufferBytes = 32768;
constexpr int kMaxChunkLineBytes = 4096;  // a chunk-size line longer than this is refused

}  // namespace

namespace tv {

// Where the chunk decoder is in the body.
enum class ChunkPhase : int {
    SizeLine = 0,
    DataEnd = 1,  // the line end after a chunk's data
    Data = 2,
    Trailer = 3,
};

struct WebChunkState {
    ChunkPhase phase = ChunkPhase::SizeLine;
    char* buffer = nullptr;
    int fill = 0;
    int capacity = 0;
    int held_start = 0;  // body bytes not yet consumed by the callee
    int held_end = 0;
    std::int64_t chunk_left = 0;
    std::int64_t trailer_bytes = 0;
};

void WebRequestFree(OlvWebRequest* request) noexcept
{
    if (request == nullptr) return;
    for (int i = 0; i < 2; ++i) {
        if (request->ownership[i] == OwnTransfer) tv::Free(request->buffers[i]);
    }
    delete request;
}

void WebReaderSetServerPort(OlvWebReader* reader, std::uint16_t port) noexcept
{
    reader->server_port = port;
}

void WebReaderDropSocket(OlvWebReader* reader) noexcept
{
    reader->socket = nullptr;
}

bool WebReaderReadsUntilClose(const OlvWebReader* reader) noexcept
{
    return reader->header_phase == WebHeaderPhase::Done &&
           reader->framing == WebFraming::UntilClose;
}

bool VersionAboveOne(std::string_view version) noexcept
{
    std::size_t i = 0;
    long major = 0;
    while (i < version.size() && version[i] >= '0' && version[i] <= '9') {
        major = major * 10 + (version[i] - '0');
        if (major > 1) return true;
        ++i;
    }
    if (major != 1 || i >= version.size() || version[i] != '.') return false;
    for (++i; i < version.size() && version[i] >= '0' && version[i] <= '9'; ++i) {
        if (version[i] != '0') return true;
    }
    return false;
}

}  // namespace tv

namespace {

using tv::EqualsCaseless;
using tv::View;

void FreeChunk(OlvWebReader* r) noexcept
{
    if (r->chunk == nullptr) return;
    tv::Free(r->chunk->buffer);
    delete r->chunk;
    r->chunk = nullptr;
}

// Client mode: the request whose response is read.
OlvWebRequest* HeadRequest(OlvWebReader* r) noexcept
{
    if (r->lock == nullptr) return r->requests_head;
    std::scoped_lock lk(*r->lock);
    return r->requests_head;
}

bool SocketOpen(OlvWebReader* r, OlvAsyncSocket* socket) noexcept
{
    return r->socket == socket && socket != nullptr && !OlvAsyncSocket_IsFree(socket);
}

// Ends the connection of a message that broke the rules (oversized, malformed framing).
void EndConnection(OlvAsyncSocket* socket, int* consumed, int length) noexcept
{
    *consumed = length;
    OlvAsyncSocket_Disconnect(socket);
}

// Called after a message completed; client mode moves on to the next request.
void Complete(OlvWebReader* r) noexcept
{
    if (r->on_complete != nullptr) r->on_complete(r);
}

// Offers `length` bytes (to the session in server mode, else to `request`) and reports how
// many the callee took; *alive turns false when the callee closed the socket or reset the
// reader.
int Offer(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data, int length,
          tv::WebDelivery done, bool* alive) noexcept
{
    unsigned generation = r->generation;
    int taken = 0;
    if (r->server_mode) {
        r->on_request(r->session, r->header, data, &taken, length, done);
    } else {
        request->on_response(r, tv::WebInterrupt::None, r->header, data, &taken, length, done,
                             request->user, request->user2, &r->pause);
    }
    *alive = SocketOpen(r, socket) && generation == r->generation && !r->destroying;
    if (taken < 0) taken = 0;
    if (taken > length) taken = length;
    return taken;
}

// The final delivery of a message. A request delivered whole in server mode waits for its
// answer: the reader delivers nothing more and its socket stops reading until the answer's end
// resets and resumes it, so a pipelined request is never delivered beside it, nor anything
// after a request that ends the connection, whose answer never resets the reader.
int OfferFinal(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
               int length, bool* alive) noexcept
{
    r->delivering = tv::WebDelivering::Final;
    if (r->server_mode) {
        r->state = tv::WebReaderState::Awaiting;
        r->pause = PausePaused;
    }
    int taken = Offer(r, socket, request, data, length, tv::WebDelivery::Final, alive);
    r->delivering = tv::WebDelivering::None;
    return taken;
}

void EnsureChunkRoom(tv::WebChunkState* c, int extra) noexcept
{
    if (c->fill + extra <= c->capacity) return;
    int shortfall = c->fill + extra - c->capacity;
    int grow = shortfall > kChunkBufferBytes ? shortfall : kChunkBufferBytes;
    c->capacity += grow;
    c->buffer = static_cast<char*>(tv::Realloc(c->buffer, static_cast<std::size_t>(c->capacity)));
}

int FindLineEnd(const char* data, int from, int length) noexcept
{
    for (int i = from; i + 1 < length; ++i) {
        if (data[i] == '\r' && data[i + 1] == '\n') return i;
    }
    return -1;
}

// Parses the hexadecimal chunk size before an optional ';'. -1 for a line without digits
// or a size that does not fit.
std::int64_t ChunkSize(const char* line, int length) noexcept
{
    int i = 0;
    while (i < length && (line[i] == ' ' || line[i] == '\t')) ++i;
    std::int64_t size = 0;
    int digits = 0;
    for (; i < length; ++i, ++digits) {
        char c = line[i];
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            break;
        if (size > (INT64_MAX >> 4)) return -1;
        size = size * 16 + v;
    }
    if (digits == 0) return -1;
    return size;
}

enum class ChunkOutcome {
    Next,      // this phase is done: the decoder goes on with the next one
    More,      // waits for more input
    Finished,  // the blank line after the last chunk: the body was delivered whole
    Stopped,   // the callee closed the socket or reset the reader
    Refused,   // malformed or oversized: the connection ends
};

ChunkOutcome ChunkSizeLine(tv::WebChunkState* c, const char* data, int length, int* pos) noexcept
{
    const int available = length - *pos;
    if (available < 3) return ChunkOutcome::More;
    int eol = FindLineEnd(data, *pos, length);
    if (eol < 0) return available > kMaxChunkLineBytes ? ChunkOutcome::Refused : ChunkOutcome::More;
    int line_length = eol - *pos;
    const void* semicolon = std::memchr(data + *pos, ';', static_cast<std::size_t>(line_length));
    if (semicolon != nullptr)
        line_length = static_cast<int>(static_cast<const char*>(semicolon) - (data + *pos));
    std::int64_t size = ChunkSize(data + *pos, line_length);
    if (size < 0) return ChunkOutcome::Refused;
    *pos = eol + 2;
    c->chunk_left = size;
    c->phase = size == 0 ? tv::ChunkPhase::Trailer : tv::ChunkPhase::Data;
    return ChunkOutcome::Next;
}

// Chunk data: offered straight from the input while the callee holds nothing back, else
// through the body buffer, which then offers everything held from its start.
ChunkOutcome ChunkData(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
                       int length, int* pos, int* used) noexcept
{
    tv::WebChunkState* c = r->chunk;
    const int available = length - *pos;
    if (available <= 0) return ChunkOutcome::More;
    int n = c->chunk_left < available ? static_cast<int>(c->chunk_left) : available;
    bool alive = true;
    if (c->held_end - c->held_start == 0) {
        c->held_start = c->held_end = c->fill = 0;
        int taken = Offer(r, socket, request, data + *pos, n, tv::WebDelivery::More, &alive);
        if (alive && taken < n) {
            EnsureChunkRoom(c, n - taken);
            std::memcpy(c->buffer + c->fill, data + *pos + taken,
                        static_cast<std::size_t>(n - taken));
            c->fill += n - taken;
            c->held_end = c->fill;
        }
    } else {
        EnsureChunkRoom(c, n);
        std::memcpy(c->buffer + c->fill, data + *pos, static_cast<std::size_t>(n));
        c->fill += n;
        c->held_end = c->fill;
        int taken = Offer(r, socket, request, c->buffer + c->held_start,
                          c->held_end - c->held_start, tv::WebDelivery::More, &alive);
        if (alive) c->held_start += taken;
    }
    if (!alive) {
        *used = *pos + n;
        return ChunkOutcome::Stopped;
    }
    if (c->held_end - c->held_start > tv::kMaxBodyBytes) return ChunkOutcome::Refused;
    c->chunk_left -= n;
    *pos += n;
    if (c->chunk_left == 0) c->phase = tv::ChunkPhase::DataEnd;
    return ChunkOutcome::Next;
}

ChunkOutcome ChunkDataEnd(tv::WebChunkState* c, const char* data, int length, int* pos) noexcept
{
    if (length - *pos < 2) return ChunkOutcome::More;
    if (data[*pos] != '\r' || data[*pos + 1] != '\n') return ChunkOutcome::Refused;
    *pos += 2;
    c->phase = tv::ChunkPhase::SizeLine;
    return ChunkOutcome::Next;
}

// Trailer lines are skipped; the blank line ends the body with its final delivery.
ChunkOutcome ChunkTrailer(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request,
                          char* data, int length, int* pos, int* used) noexcept
{
    tv::WebChunkState* c = r->chunk;
    int eol = FindLineEnd(data, *pos, length);
    if (eol < 0) {
        return c->trailer_bytes + (length - *pos) > tv::kMaxHeaderBytes ? ChunkOutcome::Refused
                                                                        : ChunkOutcome::More;
    }
    const bool blank = eol == *pos;
    if (!blank) c->trailer_bytes += eol + 2 - *pos;
    *pos = eol + 2;
    if (!blank)
        return c->trailer_bytes > tv::kMaxHeaderBytes ? ChunkOutcome::Refused : ChunkOutcome::Next;
    *used = *pos;
    bool alive = true;
    OfferFinal(r, socket, request, c->buffer != nullptr ? c->buffer + c->held_start : nullptr,
               c->held_end - c->held_start, &alive);
    if (!alive) return ChunkOutcome::Stopped;
    FreeChunk(r);
    return ChunkOutcome::Finished;
}

// Runs the chunk decoder over data[0 .. length); *used is what it took from the input.
ChunkOutcome DecodeChunks(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request,
                          char* data, int length, int* used) noexcept
{
    int pos = 0;
    ChunkOutcome outcome = ChunkOutcome::Next;
    while (outcome == ChunkOutcome::Next) {
        *used = pos;
        switch (r->chunk->phase) {
        case tv::ChunkPhase::SizeLine:
            outcome = ChunkSizeLine(r->chunk, data, length, &pos);
            break;
        case tv::ChunkPhase::Data:
            outcome = ChunkData(r, socket, request, data, length, &pos, used);
            break;
        case tv::ChunkPhase::DataEnd:
            outcome = ChunkDataEnd(r->chunk, data, length, &pos);
            break;
        case tv::ChunkPhase::Trailer:
            outcome = ChunkTrailer(r, socket, request, data, length, &pos, used);
            break;
        }
    }
    return outcome;
}

void RecordLocalEndpoint(OlvWebReader* r, OlvAsyncSocket* socket) noexcept
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    int handle = *OlvAsyncSocket_GetHandle(socket);
    if (handle >= 0 && ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        r->local_endpoint = local;
    }
    r->local_endpoint.sin_family = AF_INET;
}

// An absolute target naming this very server is reduced to its path.
void ReduceAbsoluteTarget(OlvWebReader* r) noexcept
{
    OlvPacket* h = r->header;
    if (h->path == nullptr || h->path_length < 8 || std::strncmp(h->path, "http://", 7) != 0)
        return;
    char* target = tv::CopyBytes(h->path, static_cast<std::size_t>(h->path_length));
    char* host = nullptr;
    char* path = nullptr;
    std::uint16_t port = 0;
    OlvParseUri(target, &host, &port, &path);
    char local[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &r->local_endpoint.sin_addr, local, sizeof local);
    if (host != nullptr && std::strcmp(host, local) == 0 && port == r->server_port) {
        // SetDirective frees the old strings: hand it a copy of the method.
        char* method = tv::CopyBytes(h->method != nullptr ? h->method : "",
                                     static_cast<std::size_t>(h->method_length));
        OlvPacket_SetDirective(h, method, h->method_length, path,
                               static_cast<int>(std::strlen(path)));
        tv::Free(method);
    }
    tv::Free(host);
    tv::Free(path);
    tv::Free(target);
}

// Reads the framing headers of the message just parsed.
bool ScanFraming(OlvWebReader* r) noexcept
{
    for (tv::PacketHeader* node = r->header->first_header; node != nullptr; node = node->next) {
        std::string_view name = View(node->name, node->name_length);
        std::string_view value = View(node->value, node->value_length);
        if (EqualsCaseless(name, "transfer-encoding")) {
            if (EqualsCaseless(value, "chunked")) r->framing = tv::WebFraming::Chunked;
        } else if (EqualsCaseless(name, "connection")) {
            if (EqualsCaseless(value, "close")) r->close_requested = true;
        } else if (EqualsCaseless(name, "content-length")) {
            long length = 0;
            // A length that is not a plain non-negative number cannot frame anything.
            if (OlvParseLong(node->value, node->value_length, &length) != 0 || length < 0)
                return false;
            // Chunked coding wins over a length, in whichever order they come.
            if (r->framing != tv::WebFraming::Chunked) r->framing = tv::WebFraming::Length;
            r->body_left = length;
        }
    }
    return true;
}

}  // namespace

OlvWebReader* OlvWebClient_CreateReader(tv::WebRequestArrivedFn on_request, OlvAsyncSocket* socket,
                                        OlvWebSession* session)
{
    auto* reader = new OlvWebReader;
    reader->server_mode = true;
    reader->socket = socket;
    reader->session = session;
    reader->on_request = on_request;
    return reader;
}

void OlvWebClient_ResetReader(OlvWebReader* reader)
{
    FreeChunk(reader);
    OlvPacket_Destroy(reader->header);
    reader->header = nullptr;
    reader->header_phase = tv::WebHeaderPhase::Seeking;
    reader->header_length = 0;
    reader->framing = tv::WebFraming::Length;
    reader->close_requested = false;
    reader->body_left = -1;
    reader->header_bytes = 0;
    if (reader->server_mode) reader->state = tv::WebReaderState::Idle;
    ++reader->generation;
}

OlvPacket* OlvWebClient_GetHeader(OlvWebReader* reader)
{
    return reader->header;
}

void OlvWebClient_Resume(OlvWebReader* reader)
{
    reader->pause = PauseReading;
    if (reader->socket != nullptr) OlvAsyncSocket_Resume(reader->socket);
}

void OlvWebClient_Disconnect(OlvWebReader* reader)
{
    if (reader->socket != nullptr) OlvAsyncSocket_Disconnect(reader->socket);
}

void OlvWebClient_DestroyReader(OlvWebReader* reader)
{
    if (reader == nullptr) return;
    reader->destroying = true;
    OlvAsyncSocket* socket = reader->socket;
    reader->socket = nullptr;
    if (socket != nullptr) OlvAsyncSocket_Disconnect(socket);
    FreeChunk(reader);
    OlvPacket_Destroy(reader->header);
    reader->header = nullptr;
    OlvWebRequest* request;
    if (reader->lock != nullptr) {
        std::scoped_lock lk(*reader->lock);
        request = reader->requests_head;
        reader->requests_head = reader->requests_tail = nullptr;
    } else {
        request = reader->requests_head;
        reader->requests_head = reader->requests_tail = nullptr;
    }
    while (request != nullptr) {
        OlvWebRequest* next = request->next;
        if (request->on_response != nullptr) {
            request->on_response(reader, tv::WebInterrupt::Destroyed, nullptr, nullptr, nullptr, 0,
                                 tv::WebDelivery::Final, request->user, request->user2,
                                 &reader->pause);
        }
        tv::WebRequestFree(request);
        request = next;
    }
    delete reader;
}

namespace {

enum class HeaderEnd { Found, Wait, Skipped, Refused };

// Looks for the CR LF CR LF that ends the header. Past the 3072-byte window without one it
// parses what is there as the header (once) and skips ahead (*at bytes); from then on a NUL
// may stand for the CR.
HeaderEnd FindHeaderEnd(OlvWebReader* r, char* data, int length, int* at) noexcept
{
    for (int i = 0; i + 4 <= length; ++i) {
        if (i > kHeaderWindowBytes) {
            if (r->header == nullptr) {
                OlvPacket* partial = OlvPacket_Parse(data, 0, i);
                if (partial != nullptr) {
                    r->header = OlvPacket_Clone(partial);
                    OlvPacket_Destroy(partial);
                }
            }
            r->header_phase = tv::WebHeaderPhase::Overflowed;
            r->header_bytes += i;
            *at = i;
            return r->header_bytes > tv::kMaxHeaderBytes ? HeaderEnd::Refused : HeaderEnd::Skipped;
        }
        const bool overflowed = r->header_phase == tv::WebHeaderPhase::Overflowed;
        if ((data[i] == '\r' || (overflowed && data[i] == '\0')) && data[i + 1] == '\n' &&
            data[i + 2] == '\r' && data[i + 3] == '\n') {
            *at = i;
            return HeaderEnd::Found;
        }
    }
    return HeaderEnd::Wait;
}

// The header ending at data[end]: parsed, kept as a private copy (the receive buffer may move
// or be compacted while the message is read), and its framing read. False when no handler
// could make sense of it.
bool TakeHeader(OlvWebReader* r, OlvAsyncSocket* socket, char* data, int end) noexcept
{
    RecordLocalEndpoint(r, socket);
    r->header_length = end + 4;
    r->framing = tv::WebFraming::UntilClose;
    r->body_left = -1;
    r->header_phase = tv::WebHeaderPhase::Done;
    if (r->header == nullptr) {
        OlvPacket* parsed = OlvPacket_Parse(data, 0, end + 4);
        if (parsed == nullptr) return false;  // not even a request line
        r->header = OlvPacket_Clone(parsed);
        OlvPacket_Destroy(parsed);
    }
    // A status line where a request belongs.
    if (r->server_mode && (r->header->method == nullptr || r->header->path == nullptr))
        return false;
    if (r->server_mode) ReduceAbsoluteTarget(r);
    r->header->owner1 = &r->local_endpoint;
    r->header->owner2 =
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(r->local_endpoint.sin_addr.s_addr));
    return ScanFraming(r);
}

void NoBody(OlvWebReader* r) noexcept
{
    r->framing = tv::WebFraming::Length;
    r->body_left = 0;
}

// The messages that have no body whatever their framing headers say. False for an interim
// (1xx) response, which is dropped: the real one follows.
bool SettleFraming(OlvWebReader* r, const OlvWebRequest* request) noexcept
{
    const bool until_close = r->framing == tv::WebFraming::UntilClose;
    if (until_close && !r->close_requested &&
        tv::VersionAboveOne(View(r->header->version, r->header->version_length))) {
        NoBody(r);
    }
    int status = r->header->status_code;
    if (status >= 100 && status <= 199) {
        if (request == nullptr || request->on_send_ready == nullptr) return false;
    } else if (status == 204 || status == 304) {
        NoBody(r);
    }
    if (r->server_mode && r->framing == tv::WebFraming::UntilClose) NoBody(r);
    if (request != nullptr && request->is_head) NoBody(r);
    return true;
}

// The interim response goes with everything its header said: the real one frames itself.
void DropInterim(OlvWebReader* r, int* consumed) noexcept
{
    r->header_phase = tv::WebHeaderPhase::Seeking;
    *consumed = r->header_length;
    OlvPacket_Destroy(r->header);
    r->header = nullptr;
    r->header_bytes = 0;
    r->framing = tv::WebFraming::Length;
    r->body_left = -1;
    r->close_requested = false;
}

// True once a header was taken and its first delivery may follow.
bool ReadHeader(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
                int length, int* consumed) noexcept
{
    int at = 0;
    switch (FindHeaderEnd(r, data, length, &at)) {
    case HeaderEnd::Wait:
        return false;
    case HeaderEnd::Skipped:
        *consumed = at;
        return false;
    case HeaderEnd::Refused:
        EndConnection(socket, consumed, length);
        return false;
    case HeaderEnd::Found:
        break;
    }
    if (!TakeHeader(r, socket, data, at)) {
        EndConnection(socket, consumed, length);
        return false;
    }
    if (!SettleFraming(r, request)) {
        DropInterim(r, consumed);
        return false;
    }
    return true;
}

// The message's final delivery, then its completion unless the callee closed or reset.
int FinishMessage(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
                  int length) noexcept
{
    bool alive = true;
    int taken = OfferFinal(r, socket, request, data, length, &alive);
    if (alive) Complete(r);
    return taken;
}

// The chunk decoder over data[0 .. length), which follows `before` consumed bytes.
void RunChunks(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
               int length, int before, int* consumed) noexcept
{
    int used = 0;
    ChunkOutcome outcome = DecodeChunks(r, socket, request, data, length, &used);
    *consumed = before + used;
    if (outcome == ChunkOutcome::Refused) EndConnection(socket, consumed, before + length);
    if (outcome == ChunkOutcome::Finished) Complete(r);
}

// The delivery right after the header. False when the callee's answer to it leaves nothing
// for the socket's pause word to say.
bool DeliverFirst(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
                  int length, int* consumed, unsigned generation) noexcept
{
    const int header_length = r->header_length;
    char* body = data + header_length;
    const int body_bytes = length - header_length;
    bool alive = true;
    if (r->framing == tv::WebFraming::Chunked) {
        if (r->chunk == nullptr) {
            // The callee sees the header before any chunk.
            Offer(r, socket, request, nullptr, 0, tv::WebDelivery::More, &alive);
            if (!SocketOpen(r, socket)) return false;
            if (generation != r->generation || r->destroying) {
                *consumed = length;
                return false;
            }
            r->chunk = new tv::WebChunkState;
        }
        RunChunks(r, socket, request, body, body_bytes, header_length, consumed);
        return true;
    }
    if (r->framing == tv::WebFraming::Length && body_bytes >= r->body_left) {
        const int whole = static_cast<int>(r->body_left);
        int taken = FinishMessage(r, socket, request, whole > 0 ? body : nullptr, whole);
        *consumed = header_length + (taken > 0 ? taken : whole);
        return true;
    }
    int taken = Offer(r, socket, request, body, body_bytes, tv::WebDelivery::More, &alive);
    if (!SocketOpen(r, socket)) return false;
    *consumed = header_length + taken;
    if (alive && r->body_left > 0) r->body_left -= taken;
    return true;
}

// A later delivery of the body: what has arrived, up to the length when it is known.
void DeliverMore(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data,
                 int length, int* consumed) noexcept
{
    if (r->framing == tv::WebFraming::Chunked) {
        if (r->chunk == nullptr) r->chunk = new tv::WebChunkState;
        RunChunks(r, socket, request, data, length, 0, consumed);
        return;
    }
    const bool length_known = r->framing == tv::WebFraming::Length;
    std::int64_t held = length;
    if (length_known && r->body_left < held) held = r->body_left;
    if (held > tv::kMaxBodyBytes) {
        EndConnection(socket, consumed, length);
        return;
    }
    const int offered = static_cast<int>(held);
    if (length_known && offered == r->body_left) {
        FinishMessage(r, socket, request, data, offered);
        *consumed = offered;
        return;
    }
    bool alive = true;
    *consumed = Offer(r, socket, request, data, offered, tv::WebDelivery::More, &alive);
    if (alive && r->body_left > 0) r->body_left -= *consumed;
}

}  // namespace

void OlvWebClient_OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                         OlvWebReader* r, int* pause)
{
    // Server mode delivers to the session; client mode to the request whose response this is.
    OlvWebRequest* request = r != nullptr && !r->server_mode ? HeadRequest(r) : nullptr;
    *consumed = 0;
    if (r == nullptr || (!r->server_mode && request == nullptr)) {
        *consumed = length;
        return;
    }
    const unsigned generation = r->generation;
    if (r->server_mode && r->state == tv::WebReaderState::Awaiting) {
        *pause = PausePaused;  // the bytes wait for the answer of the request before them
        return;
    }
    if (r->header_phase == tv::WebHeaderPhase::Done) {
        DeliverMore(r, socket, request, data, length, consumed);
    } else if (!ReadHeader(r, socket, request, data, length, consumed) ||
               !DeliverFirst(r, socket, request, data, length, consumed, generation)) {
        return;
    }
    if (SocketOpen(r, socket) && !r->destroying) *pause = r->pause;
}
