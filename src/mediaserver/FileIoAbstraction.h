// File access on internal paths. An internal path uses the backslash as its only separator and
// begins with one: "\" alone is the virtual root, whose entries are the shared folders, and
// "\%2Fhome%2Fann%2FMusic\Rock\a.mp3" names /home/ann/Music/Rock/a.mp3. Every operation here
// refuses a path that would leave the folders shared now (see FileIo_RealPath), also through a
// symbolic link whose target lies outside them (see FileIo_OpenShared), so callers can hand
// over paths that came straight from the network. All run on the calling thread, with the
// server context of their caller: its folder set says what is shared, its options whether
// links may lead out, and its file state remembers what was found out and logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>

struct FileIo_DirEnum;
struct stat;

namespace tv {

struct ServerContext;

// What the file layer remembers for one server context. Any thread.
struct FileIoState {
    // The kernel (or a sandbox) refused openat2: every open takes the long way. Tests set it
    // to take that way on any kernel.
    std::atomic<bool> no_openat2{false};
    std::mutex logged_lock;
    std::unordered_set<std::string> logged_links;  // named in the log once; guarded by logged_lock
};

}  // namespace tv

// The first entry of the folder, escaped, into name[0 .. name_capacity) (NUL-terminated), and
// its size into *size when size is not null (not for root entries). Null when the folder is
// empty, cannot be read, or is not reachable. Names that do not fit the buffer are skipped.
[[nodiscard]] FileIo_DirEnum* FileIo_OpenDirectory(const tv::ServerContext* context,
                                                   const char* path, char* name, int name_capacity,
                                                   std::int64_t* size) noexcept;
// 1 with the next entry (same rules), 0 at the end. "." and ".." are reported like any name.
int FileIo_NextEntry(FileIo_DirEnum* dir, char* name, std::int64_t* size) noexcept;
void FileIo_CloseDirectory(FileIo_DirEnum* dir) noexcept;

// 2 the root or a folder, 1 a regular file, 0 absent, unreachable or any other kind of node.
int FileIo_GetType(const tv::ServerContext* context, const char* path) noexcept;
// Size in bytes (64-bit), or -1 (also for anything but a regular file).
std::int64_t FileIo_GetSize(const tv::ServerContext* context, const char* path) noexcept;
// Last modification, seconds since 1970-01-01 00:00 UTC, or -1.
std::int64_t FileIo_GetModifiedTime(const tv::ServerContext* context, const char* path) noexcept;

namespace tv {

// Escaped form of a shared folder's path: "/" -> %2F, ":" -> %3A, "\" -> %5C.
std::string FileIoEscapeFolder(std::string_view folder);
// Escaped form of a name below a shared folder: "\" -> %5C.
std::string FileIoEscapeName(std::string_view name);

// Maps an internal path to the real path, by its text only. False (and *real untouched) for
// the root, for a first component that is not the escaped name of a folder in the context's
// table now, and for a path that has a "." or ".." component below that folder once %3A, %5C
// and %2F are undone.
bool FileIo_RealPath(const ServerContext* context, std::string_view path, std::string* real);

// What FileIo_OpenShared found on its way.
struct FileIoOpened {
    bool via_link = false;  // a symbolic link was followed
    std::string resolved;   // the real path of what was opened, links resolved
};

// Opens what the internal path names, with open(2) flags (O_PATH only to look at it;
// O_CLOEXEC is added), but only while it lies inside a folder shared now once every link on
// the way below its shared folder is followed: what was opened is judged, so a link changed
// in between cannot lead elsewhere. The shared folder's own path is never followed through a
// link: one put there since the folder was shared leads nowhere. A link that leads out is
// logged once. With the context's follow_links_out, links below a shared folder lead
// anywhere. -1 when refused or not there.
int FileIo_OpenShared(const ServerContext* context, std::string_view path, int flags,
                      FileIoOpened* opened) noexcept;
// stat(2) of what the internal path names, by the same rules.
bool FileIo_Stat(const ServerContext* context, std::string_view path, struct stat* st,
                 FileIoOpened* opened = nullptr) noexcept;

// Logs once per context that the link (a real path) is not followed, and why; remembers a
// bounded number.
void FileIo_LogLinkOnce(const ServerContext* context, const std::string& link,
                        const char* why) noexcept;

}  // namespace tv
