// What changes below the shared folders, for today's listing: inotify on the folders a client
// can have a view of (the shared folders from the start, each other folder once it has been
// listed or counted), within the user's watch limit and never walking the tree. A folder that
// cannot be watched (a network mount, whose changes inotify does not see; a full watch table)
// is judged by its change time when it is listed again. A chained object; chain thread only.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct OlvChain;
struct FolderWatch;

namespace tv {

// One container whose children changed: its ObjectID and the folder's device and inode. An
// empty id means that something changed and nobody knows where (the kernel dropped events).
struct FolderChange {
    std::string container_id;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderChange&) const = default;
};

// Chain thread: the containers that changed since the last call, each once.
using FolderChangeFn = void (*)(void* user, const std::vector<FolderChange>& changes) noexcept;

}  // namespace tv

// Before the chain runs, or on the chain thread. `watch_limit` caps the inotify watches; 0 takes
// half of the user's limit (fs.inotify.max_user_watches), leaving the rest to the user's other
// programs. Without inotify every folder is judged by its change time.
[[nodiscard]] FolderWatch* FolderWatch_Create(OlvChain* chain, tv::FolderChangeFn on_change,
                                              void* user, int watch_limit = 0) noexcept;

// The folder at the internal path ("\%2Fsrv%2Fmedia\Rock\"), open as `folder_fd` with `st` its
// stat, is one a client now has a view of: it is watched from now on, or, when it cannot be,
// a change of its change time since it was seen last is reported now.
void FolderWatch_Seen(FolderWatch* watch, std::string_view path, int folder_fd,
                      const struct stat& st) noexcept;

// Folders watched by inotify now, and those judged by their change time.
int FolderWatch_WatchedCount(FolderWatch* watch) noexcept;
int FolderWatch_StampedCount(FolderWatch* watch) noexcept;
