// Media information for Browse: tags, durations, stream parameters and thumbnails, read by a
// sandboxed helper program (tindravoller-mediainfo, the only thing that links FFmpeg) and kept
// in a cache. A lookup never blocks: it answers from the cache or queues the file and says
// pending; the ready hook tells when to look again. Helpers start at the first need and end
// when idle; one that crashes or overruns its time on a file is killed and replaced, and the
// file is remembered as failed until it changes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mediainfo/MediaInfoCache.h"
#include "mediainfo/MediaInfoRecord.h"

namespace tv {

struct MediaInfo;

// Opens `path` for reading and returns the descriptor, or -1. Called on the module's own
// thread; the descriptor is checked (fstat: a regular file of the identity asked for) before
// anything reads it.
using MediaInfoOpenFn = int (*)(void* user, const char* path) noexcept;
// One log line, without a line end. Called on the module's own thread.
using MediaInfoLogFn = void (*)(void* user, const char* line) noexcept;
// New results are in the cache: look up again. Called on the module's own thread; it must
// not call back into the module (wake your own loop instead).
using MediaInfoReadyFn = void (*)(void* user) noexcept;

struct MediaInfoOptions {
    std::string helper_program;      // empty: MediaInfo_FindHelper()
    std::string cache_folder;        // empty: MediaInfo_DefaultCacheFolder()
    bool keep_on_disk = true;        // false: memory only
    MediaInfoOpenFn open = nullptr;  // null: MediaInfo_OpenRegular
    void* open_user = nullptr;
    MediaInfoLogFn log = nullptr;
    void* log_user = nullptr;
    MediaInfoReadyFn ready = nullptr;
    void* ready_user = nullptr;
    int helpers = 2;           // processes at most; the second starts when the first has a queue
    int in_flight = 32;        // requests sent ahead to one helper
    int time_limit_ms = 4000;  // for one file
    // A helper with nothing to do this long is ended; with no lookups for this long, what is
    // in memory goes back to the cache file (read again at the next need).
    int idle_ms = 30000;
    int save_delay_ms = 2000;  // the cache file is written this long after the last change
    MediaInfoCacheLimits limits;
};

enum class MediaInfoStatus : std::uint8_t {
    kKnown,        // *record filled
    kPending,      // queued; the ready hook fires when it is known or failed
    kFailed,       // damaged, unreadable or no media: list it without information
    kUnavailable,  // no helper (not installed, or it cannot start), or not a media extension
};

// Any thread. Starts nothing yet: the thread, the cache file and helpers come at first need.
[[nodiscard]] MediaInfo* MediaInfo_Create(const MediaInfoOptions& options);
// Any thread but the module's own (not from a hook). Ends and reaps every helper, writes the
// cache, joins the thread. Null is ignored.
void MediaInfo_Destroy(MediaInfo* info) noexcept;

// Any thread. `identity` comes from the caller's stat of `path`; the kind from its extension.
// A folder's cover image is an image like any other: look it up, then ask for its thumbnail.
MediaInfoStatus MediaInfo_Lookup(MediaInfo* info, const char* path, const FileIdentity& identity,
                                 MediaInfoRecord* record);
// Any thread. The JPEG (at most 160x160) of a file whose record has_thumbnail, or whose record
// is not in memory now: from memory, else one small read of its file in the cache folder.
// False when there is none.
bool MediaInfo_Thumbnail(MediaInfo* info, const FileIdentity& identity, std::string* jpeg);

// The default opener: O_RDONLY | O_NONBLOCK | O_NOCTTY (a FIFO never blocks the open).
int MediaInfo_OpenRegular(void* user, const char* path) noexcept;
// tindravoller-mediainfo beside the running program (the build folder), else where the
// install puts it (libexec/tindravoller/ beside bin/); empty when neither is there.
std::string MediaInfo_FindHelper();
// $CACHE_DIRECTORY (systemd's CacheDirectory), else $XDG_CACHE_HOME/tindravoller, else
// ~/.cache/tindravoller; empty without a home.
std::string MediaInfo_DefaultCacheFolder();

// Figures for tests and benchmarks. Any thread.
struct MediaInfoStats {
    std::vector<pid_t> helpers;  // running now
    std::uint64_t helpers_started = 0;
    std::uint64_t probes = 0;    // answers from helpers
    std::uint64_t failures = 0;  // files remembered as failed
    std::size_t queued = 0;      // waiting to be sent
    std::size_t cache_entries = 0;
    std::size_t cache_bytes = 0;
    std::size_t thumbnail_bytes = 0;
    bool cache_loaded = false;
};
MediaInfoStats MediaInfo_GetStats(MediaInfo* info);

}  // namespace tv
