#include "content/FolderWatch.h"

#include <sys/inotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "content/FileSystemEnumerator.h"
#include "runtime/OlvChain.h"

namespace {

// A folder and the containers that show it (one folder may be reached by several ways).
struct Watched {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::vector<std::string> ids;
};

// A folder that is not watched: its change time when it was listed last.
struct Stamped {
    std::int64_t mtime_ns = 0;
    std::int64_t ctime_ns = 0;
    std::vector<std::string> ids;
    std::uint64_t used = 0;
};

using FolderKey = std::pair<std::uint64_t, std::uint64_t>;  // device, inode

struct WatchState {
    std::unordered_map<int, Watched> by_wd;
    std::map<FolderKey, int> wd_of;
    std::map<FolderKey, Stamped> stamped;
    std::uint64_t clock = 0;
};

constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_CLOSE_WRITE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;
constexpr std::size_t kIdsPerFolder = 8;
constexpr std::size_t kStampedFolders = 4096;
constexpr int kDefaultUserWatches = 8192;

// File systems whose changes made elsewhere inotify never hears of.
constexpr std::uint32_t kRemoteFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x65735546,  // FUSE (sshfs and the like)
    0x01021997,  // 9P
    0x00C36400,  // Ceph
    0x5346414F,  // AFS
    0x73757245,  // Coda
    0x564C,      // NCP
};

}  // namespace

struct FolderWatch {
    tv::ChainHooks hooks;  // first: the chain reads it through void*
    int fd = -1;
    tv::FolderChangeFn on_change = nullptr;
    void* user = nullptr;
    int limit = 0;
    bool full = false;  // the watch table said no more: no more tries until a watch goes
    WatchState* state = nullptr;
};

static_assert(std::is_standard_layout_v<FolderWatch>);
static_assert(offsetof(FolderWatch, hooks) == 0);

namespace {

std::int64_t Nanoseconds(const timespec& t)
{
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

void AddId(std::vector<std::string>* ids, const std::string& id)
{
    if (ids->size() < kIdsPerFolder && std::find(ids->begin(), ids->end(), id) == ids->end())
        ids->push_back(id);
}

int UserWatchLimit()
{
    int limit = kDefaultUserWatches;
    if (FILE* file = std::fopen("/proc/sys/fs/inotify/max_user_watches", "re")) {
        int value = 0;
        if (std::fscanf(file, "%d", &value) == 1 && value > 0) limit = value;
        std::fclose(file);
    }
    return limit;
}

bool IsRemote(int folder_fd)
{
    struct statfs fs {};
    if (::fstatfs(folder_fd, &fs) != 0) return false;
    const auto type = static_cast<std::uint32_t>(fs.f_type);
    return std::find(std::begin(kRemoteFileSystems), std::end(kRemoteFileSystems), type) !=
           std::end(kRemoteFileSystems);
}

void Report(FolderWatch* watch, std::vector<tv::FolderChange>* changes)
{
    if (changes->empty() || watch->on_change == nullptr) return;
    watch->on_change(watch->user, *changes);
    changes->clear();
}

void AddChange(std::vector<tv::FolderChange>* changes, tv::FolderChange change)
{
    if (std::find(changes->begin(), changes->end(), change) == changes->end())
        changes->push_back(std::move(change));
}

// Reads what the kernel has for us; each batch is reported once.
void ReadEvents(FolderWatch* watch)
{
    alignas(inotify_event) char buffer[16384];
    std::vector<tv::FolderChange> changes;
    WatchState& state = *watch->state;
    for (;;) {
        ssize_t got = ::read(watch->fd, buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                AddChange(&changes, tv::FolderChange{});
                continue;
            }
            auto found = state.by_wd.find(event.wd);
            if (found == state.by_wd.end()) continue;
            if ((event.mask & IN_IGNORED) != 0) {
                // The folder went; its parent's listing says so.
                state.wd_of.erase(FolderKey{found->second.device, found->second.inode});
                state.by_wd.erase(found);
                watch->full = false;
                continue;
            }
            // What is left out of the listing does not change it.
            if (event.len > 0 &&
                tv::FseLeftOutName(std::string_view(name, ::strnlen(name, event.len))))
                continue;
            for (const std::string& id : found->second.ids)
                AddChange(&changes,
                          tv::FolderChange{id, found->second.device, found->second.inode});
        }
    }
    Report(watch, &changes);
}

void PreSelect(void* object, fd_set* read_set, fd_set*, fd_set*, int*) noexcept
{
    auto* watch = static_cast<FolderWatch*>(object);
    if (watch->fd >= 0) tv::FdSetAdd(read_set, watch->fd);
}

void PostSelect(void* object, int result, fd_set* read_set, fd_set*, fd_set*) noexcept
{
    auto* watch = static_cast<FolderWatch*>(object);
    if (result > 0 && watch->fd >= 0 && FD_ISSET(watch->fd, read_set)) ReadEvents(watch);
}

void Destroy(void* object) noexcept
{
    auto* watch = static_cast<FolderWatch*>(object);
    if (watch->fd >= 0) ::close(watch->fd);
    delete watch->state;
    std::destroy_at(watch);
}

constexpr tv::ChainHooks kHooks = {
    .pre_select = PreSelect, .post_select = PostSelect, .destroy = Destroy};

// Watches the open folder; false when it cannot be, or should not be.
bool AddWatch(FolderWatch* watch, int folder_fd, const FolderKey& key, const std::string& id)
{
    WatchState& state = *watch->state;
    if (watch->fd < 0 || watch->full || IsRemote(folder_fd)) return false;
    if (static_cast<int>(state.by_wd.size()) >= watch->limit) {
        watch->full = true;
        return false;
    }
    // The folder as opened and judged, not a path that a link could have changed meanwhile.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", folder_fd);
    int wd = ::inotify_add_watch(watch->fd, path, kWatchMask);
    if (wd < 0) {
        if (errno == ENOSPC) watch->full = true;
        return false;
    }
    Watched& watched = state.by_wd[wd];
    watched.device = key.first;
    watched.inode = key.second;
    AddId(&watched.ids, id);
    state.wd_of[key] = wd;
    return true;
}

}  // namespace

FolderWatch* FolderWatch_Create(OlvChain* chain, tv::FolderChangeFn on_change, void* user,
                                int watch_limit) noexcept
{
    auto* watch = tv::NewChainObject<FolderWatch>(kHooks);
    watch->fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    watch->on_change = on_change;
    watch->user = user;
    watch->limit = watch_limit > 0 ? watch_limit : std::max(1, UserWatchLimit() / 2);
    watch->state = new WatchState;
    if (chain != nullptr) OlvChain_Add(chain, watch);
    return watch;
}

void FolderWatch_Seen(FolderWatch* watch, std::string_view path, int folder_fd,
                      const struct stat& st) noexcept
{
    if (watch == nullptr) return;
    WatchState& state = *watch->state;
    const FolderKey key{static_cast<std::uint64_t>(st.st_dev),
                        static_cast<std::uint64_t>(st.st_ino)};
    std::string id = "0";
    id += path;
    auto watched = state.wd_of.find(key);
    if (watched != state.wd_of.end()) {
        AddId(&state.by_wd[watched->second].ids, id);
        return;
    }
    const std::int64_t mtime = Nanoseconds(st.st_mtim);
    const std::int64_t ctime = Nanoseconds(st.st_ctim);
    auto stamped = state.stamped.find(key);
    if (stamped != state.stamped.end()) {
        Stamped& known = stamped->second;
        AddId(&known.ids, id);
        known.used = ++state.clock;
        if (known.mtime_ns == mtime && known.ctime_ns == ctime) return;
        known.mtime_ns = mtime;
        known.ctime_ns = ctime;
        std::vector<tv::FolderChange> changes;
        for (const std::string& shown : known.ids)
            changes.push_back(tv::FolderChange{shown, key.first, key.second});
        Report(watch, &changes);
        return;
    }
    if (AddWatch(watch, folder_fd, key, id)) return;
    if (state.stamped.size() >= kStampedFolders) {
        auto oldest = std::min_element(
            state.stamped.begin(), state.stamped.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        state.stamped.erase(oldest);
    }
    state.stamped[key] = Stamped{mtime, ctime, {id}, ++state.clock};
}

int FolderWatch_WatchedCount(FolderWatch* watch) noexcept
{
    return static_cast<int>(watch->state->by_wd.size());
}

int FolderWatch_StampedCount(FolderWatch* watch) noexcept
{
    return static_cast<int>(watch->state->stamped.size());
}
