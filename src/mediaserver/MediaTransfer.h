// HTTP transfer of one shared file: the response header with byte ranges and the DLNA transfer
// headers (or a fixed refusal text), then the body in chunks of 16384 bytes, read and sent on
// pool workers a window of up to 16 of them at a time, one window in flight per transfer, the
// next one read when the connection's send queue drains. Framed by its length, the body goes
// from the page cache with sendfile instead, a window at a time, the next one when the
// connection has room again.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "runtime/OlvPacket.h"

struct OlvChain;
struct OlvWebSession;
struct OlvThreadPool;
struct MediaTransfer;
struct MediaTransferState;

namespace tv {

struct ServerContext;

// Transfer mode bits, for a request's transferMode.dlna.org and for the allowed set.
enum MediaTransferMode : int {
    kTransferBackground = 1,
    kTransferInteractive = 2,
    kTransferStreaming = 4,
};

// How a started transfer ended, as MediaTransferDoneFn hears it.
enum MediaTransferDone : int {
    kTransferDoneAll = 0,       // the whole range went to the connection
    kTransferDoneStopped = 20,  // the connection closed, or the file could not be read
};

// Called once per started transfer, on a worker or the chain thread; `state` is freed after it.
using MediaTransferDoneFn = void (*)(OlvWebSession* session, MediaTransferState* state,
                                     MediaTransferDone code, void* user) noexcept;

// What MediaTransfer_ParseRange made of a Range value.
enum MediaTransferRange : int {
    kRangeSatisfiable = 0,    // *start and *length hold the range
    kRangeUnsatisfiable = 1,  // 416
    kRangeMalformed = 2,      // 400
};

constexpr int kTransferBlockBytes = 16384;

struct TransferRegistry;

// What a chain's end callback needs: the chain, and the registry whose transfers it sweeps.
struct TransferSweep {
    TransferRegistry* registry = nullptr;
    OlvChain* chain = nullptr;
};

// The media transfers of one server (context->transfers), made before its chain and let go
// after the chain has ended and the pool's workers are gone. Only MediaTransfer.cpp touches
// its fields. Every transfer is listed by its number; a queued step carries only its registry
// and finds the number it serves in `ready`, so that a step the pool discards owns nothing.
struct TransferRegistry {
    std::mutex lock;  // taken before a transfer's lock
    std::unordered_map<std::uintptr_t, MediaTransfer*> live;
    std::deque<std::uintptr_t> ready;  // a number for each step queued and not yet begun
    // The chains that sweep their transfers at their end.
    std::unordered_map<OlvChain*, std::unique_ptr<TransferSweep>> swept_chains;
    std::uintptr_t next_id = 0;
    std::atomic<int> count{0};
};

// The registry's transfers alive now (started and not yet freed). Any thread; for leak checks.
int MediaTransferLiveCount(const TransferRegistry& registry) noexcept;

// How a file's answers are framed.
enum class MediaTransferFraming : int {
    // As the protocol has it: chunked for HTTP/1.1 (HEAD alike), the fixed refusal texts.
    Protocol = 0,
    // What today's players need to know a length and seek: Content-Length and
    // "Accept-Ranges: bytes" on every answer (HEAD alike), the body unframed and sent with
    // sendfile; each refusal with a length of 0, a 416 with "Content-Range: bytes */SIZE", and
    // "Connection: close" on every answer after which the connection ends.
    Length = 1,
};

// Whether a step found a pause request (the values are the design's; nothing resumes it).
enum class TransferPark : int {
    Running = 0,
    Parked = 2,
};

}  // namespace tv

// The caller's handle of a started transfer, freed by the transfer when it ends.
struct MediaTransferState {
    std::mutex lock;          // guards sent and the pause fields
    std::int64_t total = -1;  // bytes to send
    std::int64_t sent = 0;    // bytes handed to the connection so far
    OlvWebSession* session = nullptr;
    int pause_requested = 0;
    tv::TransferPark parked = tv::TransferPark::Running;
    MediaTransfer* parked_transfer = nullptr;
};

namespace tv {
// What a Samsung TV may ask of a file with getCaptionInfo.sec and getMediaInfo.sec.
struct MediaTransferSamsung {
    const char* caption_uri = nullptr;  // the subtitles beside it, else null
    std::int64_t duration_ms = -1;      // -1 when unknown
};
}  // namespace tv

// Chain thread, from the request handler of the session. `path` is the escaped path without
// its leading backslash ("%2Fhome%2Fann%2FMusic\a.mp3"), opened with the context's file
// rules; the transfer is listed in context->transfers. `samsung` holds what a Samsung TV may ask
// of the file (given only to a request that asks for it). Answers the header at once; returns the
// state of a started body transfer, or null when the request was answered completely (refusal,
// HEAD) or has not arrived completely yet.
MediaTransferState* MediaTransfer_HandleGet(
    OlvWebSession* session, OlvThreadPool* pool, const tv::ServerContext* context,
    OlvPacket* request, const char* path, int allowed_modes, const char* mime_type,
    const char* content_features, const char* ifo_uri, void* user, tv::MediaTransferDoneFn on_done,
    tv::MediaTransferFraming framing, const tv::MediaTransferSamsung& samsung = {}) noexcept;

// "bytes=F-L", "bytes=F-" or "bytes=-N" against a file of `size` bytes; any list of ranges or
// another unit is malformed.
tv::MediaTransferRange MediaTransfer_ParseRange(const char* value, std::int64_t* start,
                                                std::int64_t* length, std::int64_t size) noexcept;
