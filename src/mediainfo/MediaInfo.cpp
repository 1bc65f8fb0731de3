// The media-information client. Callers' threads look up and queue under the lock; one worker
// thread of the module's own loads the cache file, opens the queued files with the caller's
// opener, sends them pipelined to up to `helpers` helper processes over SOCK_SEQPACKET socket
// pairs, reads the answers in order, enforces each file's time limit, ends idle helpers and
// writes the cache. Helpers are started with posix_spawn (closing every other descriptor) and
// always reaped by the worker, which also ends them all before it returns.
#include "mediainfo/MediaInfo.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_set>

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mediainfo/MediaInfoWire.h"
#include "runtime/UniqueFd.h"

namespace tv {
namespace {

constexpr const char* kHelperName = "tindravoller-mediainfo";
constexpr const char* kInstalledHelper = TV_MEDIAINFO_INSTALLED;
// A helper that dies this many times in a row before it is ready means it cannot run here.
constexpr int kStartFailuresToGiveUp = 3;
// How long an ending helper gets to see its socket close and exit before it is killed.
constexpr int kExitGraceMs = 1000;
// The second helper starts when the first has this many files in hand and more wait.
constexpr std::size_t kBacklogForAnotherHelper = 4;
constexpr int kHelperSocketBytes = 1 << 20;

std::int64_t NowNs() noexcept
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t Ms(std::int64_t ms) noexcept
{
    return ms * 1000000;
}

struct Job {
    std::uint64_t id = 0;
    std::string path;
    FileIdentity identity;
    MediaInfoKind kind = MediaInfoKind::kNone;
};

struct Helper {
    pid_t pid = -1;
    UniqueFd socket;
    bool ready = false;     // its hello came: the sandbox is up
    bool retiring = false;  // it said it answers no more
    std::deque<Job> in_flight;
    std::int64_t started_ns = 0;
    std::int64_t head_since_ns = 0;  // when the oldest unanswered file became its work
    std::int64_t active_ns = 0;      // its last answer or request
};

std::string Extension(std::string_view path)
{
    std::size_t slash = path.rfind('/');
    std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash))
        return {};
    return std::string(path.substr(dot + 1));
}

std::string Describe(int status)
{
    char text[48];
    if (WIFSIGNALED(status)) {
        std::snprintf(text, sizeof text, "signal %d", WTERMSIG(status));
    } else if (WIFEXITED(status)) {
        std::snprintf(text, sizeof text, "exit %d", WEXITSTATUS(status));
    } else {
        std::snprintf(text, sizeof text, "status %d", status);
    }
    return text;
}

bool Executable(const std::string& path) noexcept
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

struct MediaInfo {
    MediaInfoOptions options;
    std::string folder;  // the cache folder; empty when memory only

    std::mutex lock;
    // Guarded by lock.
    MediaInfoCache cache;
    std::deque<Job> queue;
    std::unordered_set<FileIdentity, FileIdentityHash> pending;
    bool started = false;
    bool loaded = false;
    std::int64_t last_use_ns = 0;  // of the last lookup
    bool unavailable = false;
    bool stopping = false;
    std::vector<pid_t> pids;
    std::uint64_t helpers_started = 0;
    std::uint64_t probes = 0;
    std::uint64_t failures = 0;

    UniqueFd wake;
    std::thread worker;

    // The worker's own.
    std::vector<Helper> helpers;
    int start_failures = 0;
    std::uint64_t next_id = 1;
    std::int64_t dirty_since_ns = 0;
    bool changed = false;  // results this turn: the ready hook fires
    std::string buffer;

    MediaInfo(const MediaInfoOptions& o, std::string f)
        : options(o), folder(std::move(f)), cache(o.limits, folder)
    {
    }
};

namespace {

[[gnu::format(printf, 2, 3)]] void Log(MediaInfo* mi, const char* format, ...)
{
    if (mi->options.log == nullptr) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    mi->options.log(mi->options.log_user, line);
}

void Wake(MediaInfo* mi) noexcept
{
    std::uint64_t one = 1;
    ssize_t n = ::write(mi->wake.get(), &one, sizeof one);
    (void)n;  // a full counter still wakes
}

// ---- Outcomes (under the lock) ----

void Settle(MediaInfo* mi, const FileIdentity& identity)
{
    mi->pending.erase(identity);
    mi->changed = true;
}

void FailPassing(MediaInfo* mi, const FileIdentity& identity)
{
    std::scoped_lock hold(mi->lock);
    mi->cache.PutPassingFailure(identity, NowNs());
    Settle(mi, identity);
}

void FailRemembered(MediaInfo* mi, const FileIdentity& identity)
{
    std::scoped_lock hold(mi->lock);
    mi->cache.PutFailed(identity);
    ++mi->failures;
    Settle(mi, identity);
}

// Back to the front of the queue, in their order: another helper takes them.
void Requeue(MediaInfo* mi, std::deque<Job>* jobs)
{
    std::scoped_lock hold(mi->lock);
    while (!jobs->empty()) {
        mi->queue.push_front(std::move(jobs->back()));
        jobs->pop_back();
    }
}

// ---- Helper processes ----

void ForgetPid(MediaInfo* mi, pid_t pid)
{
    std::scoped_lock hold(mi->lock);
    mi->pids.erase(std::remove(mi->pids.begin(), mi->pids.end(), pid), mi->pids.end());
}

// Kills (unless it ended already) and reaps; the status says how it ended.
int Reap(MediaInfo* mi, Helper* h)
{
    int status = 0;
    // Never kill(-1): that would be every process the server's user has.
    if (h->pid <= 0) return status;
    ::kill(h->pid, SIGKILL);
    while (::waitpid(h->pid, &status, 0) < 0 && errno == EINTR) {
    }
    ForgetPid(mi, h->pid);
    h->pid = -1;
    h->socket.reset();
    return status;
}

// Closes its socket (it sees the end and exits) and reaps it; killed if it lingers.
void EndHelpers(MediaInfo* mi, std::vector<Helper*> ending)
{
    for (Helper* h : ending) h->socket.reset();
    std::int64_t deadline = NowNs() + Ms(kExitGraceMs);
    for (Helper* h : ending) {
        int status = 0;
        while (::waitpid(h->pid, &status, WNOHANG) == 0 && NowNs() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Reap(mi, h);
        Requeue(mi, &h->in_flight);
    }
}

bool Spawn(MediaInfo* mi, Helper* h)
{
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
    UniqueFd ours(pair[0]);
    UniqueFd first(pair[1]);
    // Far from 0-3, so the moves below cannot land on it.
    UniqueFd theirs(::fcntl(first.get(), F_DUPFD_CLOEXEC, 10));
    first.reset();
    if (!theirs) return false;
    int bytes = kHelperSocketBytes;
    ::setsockopt(ours.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::setsockopt(theirs.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs.get(), 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    // Every other descriptor of this process (sockets, files of other threads) stays here.
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string parent = std::to_string(::getpid());
    char* argv[] = {const_cast<char*>(mi->options.helper_program.c_str()), parent.data(), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = -1;
    int rc =
        posix_spawn(&pid, mi->options.helper_program.c_str(), &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        Log(mi, "Media information: cannot start %s: %s", mi->options.helper_program.c_str(),
            std::strerror(rc));
        return false;
    }
    h->pid = pid;
    h->socket = std::move(ours);
    h->started_ns = NowNs();
    h->active_ns = h->started_ns;
    std::scoped_lock hold(mi->lock);
    mi->pids.push_back(pid);
    ++mi->helpers_started;
    return true;
}

void GiveUp(MediaInfo* mi)
{
    std::scoped_lock hold(mi->lock);
    mi->unavailable = true;
    // Queued files are answered "unavailable" from now on.
    for (const Job& job : mi->queue) mi->pending.erase(job.identity);
    mi->queue.clear();
    mi->changed = true;
}

// A helper that ended: the file it was reading is blamed, the rest go to another. One that
// never became ready blames nothing; if that keeps happening, there is no helper.
void HelperEnded(MediaInfo* mi, Helper* h, bool timed_out)
{
    bool was_ready = h->ready;
    int status = Reap(mi, h);
    if (!was_ready) {
        Requeue(mi, &h->in_flight);
        Log(mi, "Media information: the helper ended before it was ready (%s)",
            timed_out ? "time-out" : Describe(status).c_str());
        if (++mi->start_failures >= kStartFailuresToGiveUp) {
            Log(mi, "Media information: the helper cannot run here; files are listed without it");
            GiveUp(mi);
        }
        return;
    }
    if (!h->in_flight.empty()) {
        Job blamed = std::move(h->in_flight.front());
        h->in_flight.pop_front();
        if (timed_out) {
            Log(mi, "Media information: %s took longer than %d ms; listed without it",
                blamed.path.c_str(), mi->options.time_limit_ms);
        } else {
            Log(mi, "Media information: %s ended the helper (%s); listed without it",
                blamed.path.c_str(), Describe(status).c_str());
        }
        FailRemembered(mi, blamed.identity);
    }
    Requeue(mi, &h->in_flight);
}

// ---- Sending ----

// The file as the helper gets it: a regular file of the identity the caller saw, open.
UniqueFd OpenChecked(MediaInfo* mi, const Job& job)
{
    MediaInfoOpenFn open = mi->options.open != nullptr ? mi->options.open : MediaInfo_OpenRegular;
    UniqueFd fd(open(mi->options.open_user, job.path.c_str()));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
    // Changed since the caller's stat: the caller looks again with the new identity.
    if (!(FileIdentityOf(st) == job.identity)) return {};
    return fd;
}

Helper* ChooseHelper(MediaInfo* mi, std::size_t queued)
{
    Helper* best = nullptr;
    for (Helper& h : mi->helpers)
        if (!h.retiring && h.socket &&
            h.in_flight.size() < static_cast<std::size_t>(mi->options.in_flight) &&
            (best == nullptr || h.in_flight.size() < best->in_flight.size()))
            best = &h;
    bool room = mi->helpers.size() < static_cast<std::size_t>(std::max(1, mi->options.helpers));
    bool busy = best == nullptr || (best->in_flight.size() >= kBacklogForAnotherHelper &&
                                    queued > kBacklogForAnotherHelper);
    if (room && busy) {
        Helper fresh;
        if (Spawn(mi, &fresh)) {
            mi->helpers.push_back(std::move(fresh));
            return &mi->helpers.back();
        }
        if (mi->helpers.empty()) GiveUp(mi);
    }
    return best;
}

void SendJobs(MediaInfo* mi)
{
    for (;;) {
        Job job;
        std::size_t queued = 0;
        {
            std::scoped_lock hold(mi->lock);
            if (mi->queue.empty() || mi->stopping || mi->unavailable) return;
            queued = mi->queue.size();
        }
        Helper* h = ChooseHelper(mi, queued);
        if (h == nullptr) return;
        {
            std::scoped_lock hold(mi->lock);
            if (mi->queue.empty()) return;
            job = std::move(mi->queue.front());
            mi->queue.pop_front();
            // Known meanwhile (the cache file came in, or a twin finished).
            if (mi->cache.Find(job.identity, NowNs()) != nullptr) {
                Settle(mi, job.identity);
                continue;
            }
        }
        UniqueFd fd = OpenChecked(mi, job);
        if (!fd) {
            FailPassing(mi, job.identity);
            continue;
        }
        ProbeRequest request;
        request.id = job.id = mi->next_id++;
        request.kind = job.kind;
        request.want = kWantInfo | kWantThumbnail;
        request.extension = Extension(job.path);
        if (Wire_Send(h->socket.get(), Wire_EncodeRequest(request), fd.get(), MSG_DONTWAIT) < 0) {
            std::deque<Job> back;
            back.push_back(std::move(job));
            Requeue(mi, &back);
            // A full socket waits for answers; a broken one shows as hung up in poll.
            return;
        }
        std::int64_t now = NowNs();
        if (h->in_flight.empty()) h->head_since_ns = now;
        h->active_ns = now;
        h->in_flight.push_back(std::move(job));
    }
}

// ---- Receiving ----

void Store(MediaInfo* mi, const Job& job, ProbeResult* result)
{
    if (!result->readable) {
        FailRemembered(mi, job.identity);
        return;
    }
    bool on_disk = !mi->folder.empty() && !result->thumbnail.empty() &&
                   MediaInfoCache::WriteThumbnail(mi->folder, job.identity, result->thumbnail);
    (void)on_disk;
    std::scoped_lock hold(mi->lock);
    mi->cache.PutKnown(job.identity, result->record, std::move(result->thumbnail));
    ++mi->probes;
    Settle(mi, job.identity);
}

// Reads what the helper sent; false when it is gone (it was reaped and its files moved on).
bool ReadAnswers(MediaInfo* mi, Helper* h)
{
    ProbeResult result;
    mi->buffer.resize(kWireMaxMessage);  // given back at each rest
    for (;;) {
        int fd = -1;
        long n = Wire_Receive(h->socket.get(), mi->buffer.data(), &fd, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // A helper that died with requests unread leaves ECONNRESET, reported (once) before
        // the answers it sent earlier: read those, then its end.
        if (n < 0 && (errno == EINTR || errno == ECONNRESET)) continue;
        UniqueFd stray(fd);
        std::string_view message(mi->buffer.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
        WireType type = n > 0 && !stray ? Wire_TypeOf(message) : WireType::kNone;
        if (type == WireType::kHello && !h->ready) {
            h->ready = true;
            mi->start_failures = 0;
            h->head_since_ns = h->active_ns = NowNs();
            continue;
        }
        if (type == WireType::kRetire) {
            // Its CPU budget is spent: nothing of it is to blame.
            h->ready = false;
            h->retiring = true;
            EndHelpers(mi, {h});
            return false;
        }
        bool answer = type == WireType::kResult && h->ready && !h->in_flight.empty() &&
                      Wire_DecodeResult(message, &result) && result.id == h->in_flight.front().id;
        if (!answer) {
            // Its end, a crash, or words out of turn: it goes, and its current file with it.
            HelperEnded(mi, h, false);
            return false;
        }
        Job job = std::move(h->in_flight.front());
        h->in_flight.pop_front();
        h->head_since_ns = h->active_ns = NowNs();
        Store(mi, job, &result);
    }
}

// ---- The worker ----

void LoadCache(MediaInfo* mi)
{
    std::vector<MediaInfoCache::Entry> entries;
    bool damaged = false;
    if (!mi->folder.empty()) {
        MediaInfoCache::ReadFile(mi->folder, &entries, &damaged);
        if (damaged)
            Log(mi, "Media information: the cache file in %s is damaged and is ignored",
                mi->folder.c_str());
    }
    std::scoped_lock hold(mi->lock);
    mi->cache.Merge(std::move(entries));
    mi->loaded = true;
    // Files queued while it loaded may be known now.
    std::int64_t now = NowNs();
    std::deque<Job> still;
    for (Job& job : mi->queue) {
        if (mi->cache.Find(job.identity, now) != nullptr) {
            Settle(mi, job.identity);
        } else {
            still.push_back(std::move(job));
        }
    }
    mi->queue.swap(still);
}

void Save(MediaInfo* mi, bool now)
{
    if (mi->folder.empty()) return;
    std::string snapshot;
    std::vector<std::string> thumbnails;
    {
        std::scoped_lock hold(mi->lock);
        if (!mi->cache.Dirty()) {
            mi->dirty_since_ns = 0;
            return;
        }
        if (mi->dirty_since_ns == 0) mi->dirty_since_ns = NowNs();
        if (!now && NowNs() - mi->dirty_since_ns < Ms(mi->options.save_delay_ms)) return;
        snapshot = mi->cache.Snapshot();
        thumbnails = mi->cache.ThumbnailNames();
        mi->dirty_since_ns = 0;
    }
    if (!MediaInfoCache::WriteFile(mi->folder, snapshot, thumbnails))
        Log(mi, "Media information: cannot write the cache in %s: %s", mi->folder.c_str(),
            std::strerror(errno));
}

// Time-outs, and helpers with nothing to do for too long.
void CheckHelpers(MediaInfo* mi)
{
    std::int64_t now = NowNs();
    std::int64_t limit = Ms(mi->options.time_limit_ms);
    std::vector<Helper*> idle;
    for (Helper& h : mi->helpers) {
        if (!h.socket) continue;
        if (!h.ready && now - h.started_ns > limit) {
            HelperEnded(mi, &h, true);
        } else if (h.ready && !h.in_flight.empty() && now - h.head_since_ns > limit) {
            HelperEnded(mi, &h, true);
        } else if (h.in_flight.empty() && now - h.active_ns > Ms(mi->options.idle_ms)) {
            idle.push_back(&h);
        }
    }
    if (!idle.empty()) EndHelpers(mi, idle);
    mi->helpers.erase(std::remove_if(mi->helpers.begin(), mi->helpers.end(),
                                     [](const Helper& h) { return !h.socket; }),
                      mi->helpers.end());
}

// An idle server holds no more than it did without media information: once nothing has been
// asked for a while and everything is on disk, the memory goes back to the system.
void RestWhenIdle(MediaInfo* mi)
{
    if (!mi->helpers.empty() || mi->folder.empty()) return;
    MediaInfoCache rested(mi->options.limits, mi->folder);
    {
        std::scoped_lock hold(mi->lock);
        if (!mi->loaded || !mi->queue.empty() || !mi->pending.empty() || mi->cache.Dirty() ||
            NowNs() - mi->last_use_ns < Ms(mi->options.idle_ms))
            return;
        std::swap(mi->cache, rested);
        mi->loaded = false;
    }
    rested = MediaInfoCache(mi->options.limits, mi->folder);
    std::string().swap(mi->buffer);
    ::malloc_trim(0);
}

int NextTimeoutMs(MediaInfo* mi)
{
    std::int64_t now = NowNs();
    std::int64_t due = INT64_MAX;
    for (const Helper& h : mi->helpers) {
        if (!h.ready) {
            due = std::min(due, h.started_ns + Ms(mi->options.time_limit_ms));
        } else if (!h.in_flight.empty()) {
            due = std::min(due, h.head_since_ns + Ms(mi->options.time_limit_ms));
        } else {
            due = std::min(due, h.active_ns + Ms(mi->options.idle_ms));
        }
    }
    if (mi->dirty_since_ns != 0)
        due = std::min(due, mi->dirty_since_ns + Ms(mi->options.save_delay_ms));
    if (mi->helpers.empty() && !mi->folder.empty()) {
        std::scoped_lock hold(mi->lock);
        if (mi->loaded) due = std::min(due, mi->last_use_ns + Ms(mi->options.idle_ms));
    }
    if (due == INT64_MAX) return -1;
    // Rounded up, so that the turn after the wait finds it due.
    return static_cast<int>(std::clamp<std::int64_t>((due - now + 999999) / 1000000, 0, 60000));
}

void Run(MediaInfo* mi)
{
    if (mi->options.helper_program.empty() || !Executable(mi->options.helper_program)) {
        Log(mi, "Media information: no helper program (%s); files are listed without it",
            mi->options.helper_program.empty() ? kHelperName : mi->options.helper_program.c_str());
        GiveUp(mi);
    }
    for (;;) {
        bool wanted = false;  // the cache file: read at the first need, and after a rest
        {
            std::scoped_lock hold(mi->lock);
            if (mi->stopping) break;
            wanted = !mi->loaded && !mi->queue.empty();
        }
        if (wanted) LoadCache(mi);
        SendJobs(mi);
        std::vector<pollfd> fds;
        fds.push_back({mi->wake.get(), POLLIN, 0});
        for (const Helper& h : mi->helpers) fds.push_back({h.socket.get(), POLLIN, 0});
        Save(mi, false);
        if (mi->changed && mi->options.ready != nullptr) {
            mi->changed = false;
            mi->options.ready(mi->options.ready_user);
        }
        mi->changed = false;
        int n = ::poll(fds.data(), fds.size(), NextTimeoutMs(mi));
        if (n < 0 && errno != EINTR) break;
        if (n > 0 && (fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            ssize_t r = ::read(mi->wake.get(), &count, sizeof count);
            (void)r;
        }
        // Helpers are only added in SendJobs and removed in CheckHelpers: indices hold.
        for (std::size_t i = 1; n > 0 && i < fds.size(); ++i)
            if (fds[i].revents != 0 && mi->helpers[i - 1].socket)
                ReadAnswers(mi, &mi->helpers[i - 1]);
        CheckHelpers(mi);
        RestWhenIdle(mi);
        if (mi->changed && mi->options.ready != nullptr) {
            mi->changed = false;
            mi->options.ready(mi->options.ready_user);
        }
    }
    std::vector<Helper*> all;
    for (Helper& h : mi->helpers)
        if (h.socket) all.push_back(&h);
    EndHelpers(mi, all);
    mi->helpers.clear();
    Save(mi, true);
}

}  // namespace

MediaInfo* MediaInfo_Create(const MediaInfoOptions& options)
{
    // The cache file's entries and its snapshot are megabytes each: with the allocator's
    // threshold fixed they are mapped and unmapped whole, instead of raising the threshold on
    // their first free and being laid out in the heap among small blocks that pin its pages
    // after a rest.
    ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::string folder;
    if (options.keep_on_disk)
        folder =
            options.cache_folder.empty() ? MediaInfo_DefaultCacheFolder() : options.cache_folder;
    auto* mi = new MediaInfo(options, folder);
    if (mi->options.helper_program.empty()) mi->options.helper_program = MediaInfo_FindHelper();
    mi->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!mi->wake) {
        delete mi;
        return nullptr;
    }
    return mi;
}

void MediaInfo_Destroy(MediaInfo* mi) noexcept
{
    if (mi == nullptr) return;
    {
        std::scoped_lock hold(mi->lock);
        mi->stopping = true;
    }
    Wake(mi);
    if (mi->worker.joinable()) mi->worker.join();
    delete mi;
}

MediaInfoStatus MediaInfo_Lookup(MediaInfo* mi, const char* path, const FileIdentity& identity,
                                 MediaInfoRecord* record)
{
    MediaInfoKind kind = MediaInfoKindOf(Extension(path));
    bool queued = false;
    MediaInfoStatus status = MediaInfoStatus::kPending;
    {
        std::scoped_lock hold(mi->lock);
        if (!mi->started) {
            mi->started = true;
            mi->worker = std::thread(Run, mi);
        }
        mi->last_use_ns = NowNs();
        const MediaInfoCache::Entry* entry = mi->cache.Find(identity, mi->last_use_ns);
        if (entry != nullptr && entry->state == MediaInfoCache::State::kKnown) {
            *record = entry->record;
            return MediaInfoStatus::kKnown;
        }
        if (entry != nullptr) return MediaInfoStatus::kFailed;
        if (kind == MediaInfoKind::kNone || mi->unavailable) return MediaInfoStatus::kUnavailable;
        if (mi->pending.insert(identity).second) {
            Job job;
            job.path = path;
            job.identity = identity;
            job.kind = kind;
            mi->queue.push_back(std::move(job));
            queued = true;
        }
    }
    if (queued) Wake(mi);
    return status;
}

bool MediaInfo_Thumbnail(MediaInfo* mi, const FileIdentity& identity, std::string* jpeg)
{
    {
        std::scoped_lock hold(mi->lock);
        const MediaInfoCache::Entry* entry = mi->cache.Find(identity, NowNs());
        if (entry != nullptr && !entry->record.has_thumbnail) return false;
        if (entry != nullptr && mi->cache.ThumbnailInMemory(identity, jpeg)) return true;
        if (entry == nullptr && mi->folder.empty()) return false;
    }
    // Unknown in memory (not read back since a rest or a restart): the file named by the
    // identity is still this file's picture, as a file that changed has another identity.
    if (mi->folder.empty() || !MediaInfoCache::ReadThumbnail(mi->folder, identity, jpeg))
        return false;
    std::scoped_lock hold(mi->lock);
    if (mi->cache.Find(identity, NowNs()) != nullptr) mi->cache.KeepThumbnail(identity, *jpeg);
    return true;
}

int MediaInfo_OpenRegular(void*, const char* path) noexcept
{
    return ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

std::string MediaInfo_FindHelper()
{
    char self[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {kHelperName, kInstalledHelper}) {
        std::string program = folder + relative;
        if (Executable(program)) return program;
    }
    return {};
}

std::string MediaInfo_DefaultCacheFolder()
{
    // systemd's CacheDirectory= may name several, separated by colons: the first is ours.
    if (const char* service = std::getenv("CACHE_DIRECTORY"); service != nullptr && *service == '/')
        return std::string(service, std::strcspn(service, ":"));
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/tindravoller";
    if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/')
        return std::string(home) + "/.cache/tindravoller";
    return {};
}

MediaInfoStats MediaInfo_GetStats(MediaInfo* mi)
{
    MediaInfoStats stats;
    std::scoped_lock hold(mi->lock);
    stats.helpers = mi->pids;
    stats.helpers_started = mi->helpers_started;
    stats.probes = mi->probes;
    stats.failures = mi->failures;
    stats.queued = mi->queue.size();
    stats.cache_entries = mi->cache.Entries();
    stats.cache_bytes = mi->cache.Bytes();
    stats.thumbnail_bytes = mi->cache.ThumbnailBytes();
    stats.cache_loaded = mi->loaded;
    return stats;
}

}  // namespace tv
