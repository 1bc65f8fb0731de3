// HTTP stream reader: splits the bytes of one TCP connection into message headers and body
// pieces. Runs on the chain thread inside the socket's data callback; every callback it makes
// may close the socket or reset the reader, so it re-checks both after each one.
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

struct WebChunkState {
    int phase = 0;  // 0 size line, 1 line end after data, 2 data, 3 trailer
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
void Refuse(OlvAsyncSocket* socket, int* consumed, int length) noexcept
{
    *consumed = length;
    OlvAsyncSocket_Disconnect(socket);
}

// Called after a message completed; client mode moves on to the next request.
void Complete(OlvWebReader* r) noexcept
{
    if (r->server_mode == 0) tv::WebClientCompleteResponse(r);
}

// Offers `length` bytes and reports how many the callee took; *alive turns false when the
// callee closed the socket or reset the reader.
int Offer(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request, char* data, int length,
          int done, bool* alive) noexcept
{
    unsigned generation = r->generation;
    int taken = 0;
    request->on_response(r, 0, r->header, data, &taken, length, done, request->user,
                         request->user2, &r->pause);
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
    r->in_final_delivery = 1;
    if (r->server_mode != 0) {
        r->state = ReaderAwaiting;
        r->pause = PausePaused;
    }
    int taken = Offer(r, socket, request, data, length, -1, alive);
    r->in_final_delivery = 0;
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
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else break;
        if (size > (INT64_MAX >> 4)) return -1;
        size = size * 16 + v;
    }
    if (digits == 0) return -1;
    return size;
}

enum class ChunkOutcome { More, Finished, Stopped, Refused };

// Runs the chunk decoder over data[0 .. length); *used is what it took from the input.
ChunkOutcome DecodeChunks(OlvWebReader* r, OlvAsyncSocket* socket, OlvWebRequest* request,
                          char* data, int length, int* used) noexcept
{
    tv::WebChunkState* c = r->chunk;
    int pos = 0;
    bool alive = true;
    for (;;) {
        *used = pos;
        int available = length - pos;
        switch (c->phase) {
        case 0: {
            if (available < 3) return ChunkOutcome::More;
            int eol = FindLineEnd(data, pos, length);
            if (eol < 0) {
                return available > kMaxChunkLineBytes ? ChunkOutcome::Refused : ChunkOutcome::More;
            }
            int line_length = eol - pos;
            const void* semicolon = std::memchr(data + pos, ';', static_cast<std::size_t>(line_length));
            if (semicolon != nullptr) line_length = static_cast<int>(static_cast<const char*>(semicolon) - (data + pos));
            std::int64_t size = ChunkSize(data + pos, line_length);
            if (size < 0) return ChunkOutcome::Refused;
            pos = eol + 2;
            c->chunk_left = size;
            c->phase = size == 0 ? 3 : 2;
            break;
        }
        case 2: {
            if (available <= 0) return ChunkOutcome::More;
            int n = c->chunk_left < available ? static_cast<int>(c->chunk_left) : available;
            if (c->held_end - c->held_start == 0) {
                c->held_start = c->held_end = c->fill = 0;
                int taken = Offer(r, socket, request, data + pos, n, 0, &alive);
                if (!alive) {
                    *used = pos + n;
                    return ChunkOutcome::Stopped;
                }
                if (taken < n) {
                    EnsureChunkRoom(c, n - taken);
                    std::memcpy(c->buffer + c->fill, data + pos + taken, static_cast<std::size_t>(n - taken));
                    c->fill += n - taken;
                    c->held_end = c->fill;
                }
            } else {
                EnsureChunkRoom(c, n);
                std::memcpy(c->buffer + c->fill, data + pos, static_cast<std::size_t>(n));
                c->fill += n;
                c->held_end = c->fill;
                int taken = Offer(r, socket, request, c->buffer + c->held_start,
                                  c->held_end - c->held_start, 0, &alive);
                if (!alive) {
                    *used = pos + n;
                    return ChunkOutcome::Stopped;
                }
                c->held_start += taken;
            }
            if (c->held_end - c->held_start > tv::kMaxBodyBytes) return ChunkOutcome::Refused;
            c->chunk_left -= n;
            pos += n;
            if (c->chunk_left == 0) c->phase = 1;
            break;
        }
        case 1:
            if (available < 2) return ChunkOutcome::More;
            if (data[pos] != '\r' || data[pos + 1] != '\n') return ChunkOutcome::Refused;
            pos += 2;
            c->phase = 0;
            break;
        case 3: {
            int eol = FindLineEnd(data, pos, length);
            if (eol < 0) {
                return c->trailer_bytes + available > tv::kMaxHeaderBytes ? ChunkOutcome::Refused
                                                                         : ChunkOutcome::More;
            }
            if (eol > pos) {
                c->trailer_bytes += eol + 2 - pos;
                if (c->trailer_bytes > tv::kMaxHeaderBytes) return ChunkOutcome::Refused;
                pos = eol + 2;
                break;
            }
            pos = eol + 2;
            *used = pos;
            OfferFinal(r, socket, request, c->buffer != nullptr ? c->buffer + c->held_start : nullptr,
                       c->held_end - c->held_start, &alive);
            if (!alive) return ChunkOutcome::Stopped;
            FreeChunk(r);
            return ChunkOutcome::Finished;
        }
        default:
            return ChunkOutcome::Refused;
        }
    }
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
    if (h->path == nullptr || h->path_length < 8 || std::strncmp(h->path, "http://", 7) != 0) return;
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
            if (EqualsCaseless(value, "chunked")) {
                r->chunked = 1;
                r->length_unknown = 0;
            }
        } else if (EqualsCaseless(name, "connection")) {
            if (EqualsCaseless(value, "close")) r->close_requested = 1;
        } else if (EqualsCaseless(name, "content-length")) {
            long length = 0;
            // A length that is not a plain non-negative number cannot frame anything.
            if (OlvParseLong(node->value, node->value_length, &length) != 0 || length < 0) return false;
            r->length_unknown = 0;
            r->body_left = length;
        }
    }
    return true;
}

}  // namespace

OlvWebReader* OlvWebClient_CreateReader(tv::WebResponseFn callback, OlvAsyncSocket* socket,
                                        void* user, void* user2)
{
    auto* reader = new OlvWebReader;
    reader->server_mode = 1;
    reader->socket = socket;
    auto* request = new OlvWebRequest;
    request->on_response = callback;
    request->user = user;
    request->user2 = user2;
    reader->requests_head = reader->requests_tail = request;
    return reader;
}

void OlvWebClient_ResetReader(OlvWebReader* reader)
{
    FreeChunk(reader);
    OlvPacket_Destroy(reader->header);
    reader->header = nullptr;
    reader->header_done = 0;
    reader->header_length = 0;
    reader->chunked = 0;
    reader->close_requested = 0;
    reader->length_unknown = 0;
    reader->body_left = -1;
    reader->header_overflow = 0;
    reader->header_bytes = 0;
    if (reader->server_mode != 0) reader->state = ReaderIdle;
    ++reader->generation;
}

OlvPacket* OlvWebClient_GetHeader(OlvWebReader* reader) { return reader->header; }

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
    reader->destroying = 1;
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
        if (reader->server_mode == 0 && request->on_response != nullptr) {
            request->on_response(reader, tv::kWebInterruptDestroyed, nullptr, nullptr, nullptr, 0,
                                 -1, request->user, request->user2, &reader->pause);
        }
        tv::WebRequestFree(request);
        request = next;
    }
    delete reader;
}

void OlvWebClient_OnData(OlvAsyncSocket* socket, char* data, int* consumed, int length,
                         tv::AsyncSocketInterruptFn* /*on_interrupt*/, void** user, int* pause)
{
    auto* r = static_cast<OlvWebReader*>(*user);
    *consumed = 0;
    if (r == nullptr) {
        *consumed = length;
        return;
    }
    OlvWebRequest* request = HeadRequest(r);
    if (request == nullptr) {
        *consumed = length;
        return;
    }
    const unsigned generation = r->generation;
    if (r->server_mode != 0 && r->state == ReaderAwaiting) {
        *pause = PausePaused;  // the bytes wait for the answer of the request before them
        return;
    }

    if (r->header_done == 0) {
        int found = -1;
        for (int i = 0; i + 4 <= length; ++i) {
            if (i > kHeaderWindowBytes) {
                // Still no end of header: parse what is there (once) and skip ahead.
                if (r->header == nullptr) {
                    OlvPacket* partial = OlvPacket_Parse(data, 0, i);
                    if (partial != nullptr) {
                        r->header = OlvPacket_Clone(partial);
                        OlvPacket_Destroy(partial);
                    }
                }
                r->header_overflow = 1;
                r->header_bytes += i;
                if (r->header_bytes > tv::kMaxHeaderBytes) {
                    Refuse(socket, consumed, length);
                    return;
                }
                *consumed = i;
                return;
            }
            if ((data[i] == '\r' || (r->header_overflow && data[i] == '\0')) && data[i + 1] == '\n' &&
                data[i + 2] == '\r' && data[i + 3] == '\n') {
                found = i;
                break;
            }
        }
        if (found < 0) return;

        RecordLocalEndpoint(r, socket);
        r->header_length = found + 4;
        r->length_unknown = 1;
        r->body_left = -1;
        r->header_done = 1;
        if (r->header == nullptr) {
            OlvPacket* parsed = OlvPacket_Parse(data, 0, found + 4);
            if (parsed == nullptr) {
                // Not even a request line: there is nothing sensible to answer.
                Refuse(socket, consumed, length);
                return;
            }
            // Kept as a private copy from the start: the receive buffer may move or be
            // compacted under it while the message is read.
            r->header = OlvPacket_Clone(parsed);
            OlvPacket_Destroy(parsed);
        }
        if (r->server_mode && (r->header->method == nullptr || r->header->path == nullptr)) {
            // A status line where a request belongs: no handler can make sense of it.
            Refuse(socket, consumed, length);
            return;
        }
        if (r->server_mode) ReduceAbsoluteTarget(r);
        r->header->owner1 = &r->local_endpoint;
        r->header->owner2 = reinterpret_cast<void*>(static_cast<std::uintptr_t>(r->local_endpoint.sin_addr.s_addr));
        if (!ScanFraming(r)) {
            Refuse(socket, consumed, length);
            return;
        }
        if (r->length_unknown && !r->chunked && !r->close_requested &&
            tv::VersionAboveOne(View(r->header->version, r->header->version_length))) {
            r->length_unknown = 0;
            r->body_left = 0;
        }
        int status = r->header->status_code;
        if (status >= 100 && status <= 199) {
            if (request->on_send_ready == nullptr) {
                // Interim response: dropped, the real one follows.
                r->header_done = 0;
                *consumed = r->header_length;
                OlvPacket_Destroy(r->header);
                r->header = nullptr;
                r->header_overflow = 0;
                r->header_bytes = 0;
                return;
            }
        } else if (status == 204 || status == 304) {
            r->length_unknown = 0;
            r->body_left = 0;
            r->chunked = 0;
        }
        if (r->server_mode && r->length_unknown && !r->chunked) {
            r->length_unknown = 0;
            r->body_left = 0;
        }
        if (request->is_head) {
            r->length_unknown = 0;
            r->body_left = 0;
            r->chunked = 0;
        }

        const int header_length = r->header_length;
        char* body = data + header_length;
        const int body_bytes = length - header_length;
        bool alive = true;
        if (r->chunked) {
            if (r->chunk == nullptr) {
                Offer(r, socket, request, nullptr, 0, 0, &alive);
                if (!SocketOpen(r, socket)) return;
                if (generation != r->generation || r->destroying) {
                    *consumed = length;
                    return;
                }
                r->chunk = new tv::WebChunkState;
            }
            int used = 0;
            ChunkOutcome outcome = DecodeChunks(r, socket, request, body, body_bytes, &used);
            *consumed = header_length + used;
            if (outcome == ChunkOutcome::Refused) {
                Refuse(socket, consumed, length);
                return;
            }
            if (outcome == ChunkOutcome::Finished) Complete(r);
        } else if (!r->length_unknown && r->body_left == 0) {
            OfferFinal(r, socket, request, nullptr, 0, &alive);
            *consumed = header_length;
            if (alive) Complete(r);
        } else if (!r->length_unknown && body_bytes >= r->body_left) {
            const int whole = static_cast<int>(r->body_left);
            int taken = OfferFinal(r, socket, request, body, whole, &alive);
            *consumed = header_length + (taken > 0 ? taken : whole);
            if (alive) Complete(r);
        } else {
            int taken = Offer(r, socket, request, body, body_bytes, 0, &alive);
            if (!SocketOpen(r, socket)) return;
            *consumed = header_length + taken;
            if (alive && r->body_left > 0) r->body_left -= taken;
        }
    } else if (r->chunked) {
        if (r->chunk == nullptr) r->chunk = new tv::WebChunkState;
        int used = 0;
        ChunkOutcome outcome = DecodeChunks(r, socket, request, data, length, &used);
        *consumed = used;
        if (outcome == ChunkOutcome::Refused) {
            Refuse(socket, consumed, length);
            return;
        }
        if (outcome == ChunkOutcome::Finished) Complete(r);
    } else {
        std::int64_t held = length;
        if (!r->length_unknown && r->body_left < held) held = r->body_left;
        if (held > tv::kMaxBodyBytes) {
            Refuse(socket, consumed, length);
            return;
        }
        const int offered = static_cast<int>(held);
        const bool final = !r->length_unknown && offered == r->body_left;
        bool alive = true;
        int taken = final ? OfferFinal(r, socket, request, data, offered, &alive)
                          : Offer(r, socket, request, data, offered, 0, &alive);
        if (final) {
            *consumed = offered;
            if (alive) Complete(r);
        } else {
            *consumed = taken;
            if (alive && r->body_left > 0) r->body_left -= taken;
        }
    }
    if (SocketOpen(r, socket) && !r->destroying) *pause = r->pause;
}
