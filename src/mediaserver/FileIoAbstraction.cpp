#include "mediaserver/FileIoAbstraction.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/ServerContext.h"
#include "runtime/ServerLog.h"
#include "runtime/UniqueFd.h"
#include "shares/SharedFolders.h"

struct FileIo_DirEnum {
    const tv::ServerContext* context = nullptr;
    DIR* dir = nullptr;              // null for the root
    std::string internal;            // the folder's internal path, with a backslash at its end
    std::vector<std::string> roots;  // root: the table as it was at the open
    std::size_t index = 0;
    int capacity = 0;
};

namespace {

constexpr std::size_t kLoggedLinksLimit = 1024;

bool IsRoot(std::string_view path)
{
    return path == "\\";
}

std::string Unescape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::string_view rest = text.substr(i);
        if (rest.starts_with("%3A")) {
            out += ':';
            i += 2;
        } else if (rest.starts_with("%5C")) {
            out += '\\';
            i += 2;
        } else if (rest.starts_with("%2F")) {
            out += '/';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A "." or ".." between slashes would step out of (or stay on) the folder it names.
bool HasDotStep(std::string_view text)
{
    while (true) {
        std::size_t slash = text.find('/');
        std::string_view piece = text.substr(0, slash);
        if (piece == "." || piece == "..") return true;
        if (slash == std::string_view::npos) return false;
        text.remove_prefix(slash + 1);
    }
}

bool FitName(const std::string& escaped, char* name, int capacity)
{
    if (capacity <= 0 || escaped.size() + 1 > static_cast<std::size_t>(capacity)) return false;
    std::memcpy(name, escaped.c_str(), escaped.size() + 1);
    return true;
}

int NextInto(FileIo_DirEnum* dir, char* name, std::int64_t* size)
{
    if (dir->dir == nullptr) {
        while (dir->index < dir->roots.size()) {
            std::string escaped = tv::FileIoEscapeFolder(dir->roots[dir->index++]);
            if (FitName(escaped, name, dir->capacity)) return 1;
        }
        return 0;
    }
    while (dirent* entry = ::readdir(dir->dir)) {
        std::string escaped = tv::FileIoEscapeName(entry->d_name);
        if (!FitName(escaped, name, dir->capacity)) continue;
        struct stat st {};
        bool known = ::fstatat(::dirfd(dir->dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        // A link is judged where it leads; one that leads out is not listed.
        if (known && S_ISLNK(st.st_mode) &&
            !tv::FileIo_Stat(dir->context, dir->internal + escaped, &st))
            continue;
        if (size != nullptr) *size = known ? static_cast<std::int64_t>(st.st_size) : -1;
        return 1;
    }
    return 0;
}

bool StatPath(const tv::ServerContext* context, const char* path, struct stat* st)
{
    return path != nullptr && tv::FileIo_Stat(context, path, st);
}

// The path the descriptor was opened at, as the kernel resolved it.
bool PathOfDescriptor(int fd, const std::string& real, std::string* out)
{
    char proc[40];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(proc, buffer, sizeof buffer);
    if (n > 0 && static_cast<std::size_t>(n) < sizeof buffer && buffer[0] == '/') {
        out->assign(buffer, static_cast<std::size_t>(n));
        return true;
    }
    // Without /proc: the resolved path counts only if it names the very object opened.
    char* resolved = ::realpath(real.c_str(), nullptr);
    if (resolved == nullptr) return false;
    struct stat opened {};
    struct stat named {};
    bool same = ::fstat(fd, &opened) == 0 && ::stat(resolved, &named) == 0 &&
                opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
    if (same) *out = resolved;
    std::free(resolved);
    return same;
}

enum class DirectOpen { kOpened, kLinkOnTheWay, kFailed };

// Opens `real` when none of its components is a link: it then lies where its text says, inside
// its shared folder (the table holds paths without links, and no component is "." or "..").
DirectOpen OpenWithoutLinks(tv::FileIoState* state, const std::string& real, int flags, int* fd)
{
    if (state->no_openat2.load(std::memory_order_relaxed)) return DirectOpen::kLinkOnTheWay;
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_SYMLINKS;
    long got = ::syscall(SYS_openat2, AT_FDCWD, real.c_str(), &how, sizeof how);
    if (got >= 0) {
        *fd = static_cast<int>(got);
        return DirectOpen::kOpened;
    }
    if (errno == ELOOP) return DirectOpen::kLinkOnTheWay;
    // An older kernel, or a sandbox that forbids the call: every open takes the long way.
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG) {
        state->no_openat2.store(true, std::memory_order_relaxed);
        return DirectOpen::kLinkOnTheWay;
    }
    return DirectOpen::kFailed;
}

// Opens the shared folder `folder` (an absolute path without "." or "..") to look at it, with
// no link on its way: a folder is shared as the path the user gave, so a link put in its
// place or above it since leads nowhere. -1 with errno (ELOOP for a link) otherwise.
int OpenFolderWithoutLinks(tv::FileIoState* state, const std::string& folder)
{
    int fd = -1;
    DirectOpen direct = OpenWithoutLinks(state, folder, O_PATH | O_DIRECTORY | O_CLOEXEC, &fd);
    if (direct == DirectOpen::kOpened) return fd;
    if (direct == DirectOpen::kFailed || !state->no_openat2.load(std::memory_order_relaxed))
        return -1;
    // Without openat2: a component at a time. O_PATH with O_NOFOLLOW opens a link itself, so
    // what was opened tells.
    tv::UniqueFd at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string_view rest = folder;
    while (at && !rest.empty()) {
        std::size_t slash = rest.find('/');
        std::string part(rest.substr(0, slash));
        rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
        if (part.empty()) continue;
        tv::UniqueFd next(::openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!next || ::fstat(next.get(), &st) != 0) return -1;
        if (!S_ISDIR(st.st_mode)) {
            errno = S_ISLNK(st.st_mode) ? ELOOP : ENOTDIR;
            return -1;
        }
        at = std::move(next);
    }
    return at.release();
}

// Names the first link on the way to the shared folder `folder`.
void LogLinkOverFolder(const tv::ServerContext* context, const std::string& folder)
{
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at != folder.size() && folder[at] != '/') continue;
        std::string prefix = folder.substr(0, at);
        struct stat st {};
        if (::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            tv::FileIo_LogLinkOnce(context, prefix, "it is in the path of a shared folder");
            return;
        }
    }
}

// Names the first link on the way to `real` whose target lies outside the shared folders
// (none when what was refused went away meanwhile).
void LogLinkOut(const tv::ServerContext* context, const std::string& real)
{
    std::string link;
    for (std::size_t at = 1; at <= real.size(); ++at) {
        if (at != real.size() && real[at] != '/') continue;
        std::string prefix = real.substr(0, at);
        struct stat st {};
        if (::lstat(prefix.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) continue;
        char* target = ::realpath(prefix.c_str(), nullptr);
        bool out = target == nullptr || !tv::SharedFolders_Covers(*context->folders, target);
        std::free(target);
        if (out) {
            link = prefix;
            break;
        }
    }
    if (!link.empty()) tv::FileIo_LogLinkOnce(context, link, "it leads out of the shared folders");
}

}  // namespace

namespace tv {

std::string FileIoEscapeFolder(std::string_view folder)
{
    std::string out;
    for (char c : folder) {
        if (c == '/')
            out += "%2F";
        else if (c == ':')
            out += "%3A";
        else if (c == '\\')
            out += "%5C";
        else
            out += c;
    }
    return out;
}

std::string FileIoEscapeName(std::string_view name)
{
    std::string out;
    for (char c : name) {
        if (c == '\\')
            out += "%5C";
        else
            out += c;
    }
    return out;
}

}  // namespace tv

namespace {

// The shared folder an internal path lies in and the path below it ("" for the folder
// itself), by their text, with the rules of FileIo_RealPath.
bool SplitShared(const tv::ServerContext* context, std::string_view path, std::string* folder,
                 std::string* below)
{
    if (path.empty() || path[0] != '\\' || IsRoot(path)) return false;
    path.remove_prefix(1);
    std::size_t cut = path.find('\\');
    std::string_view first = path.substr(0, cut);
    if (first.empty()) return false;
    *folder = Unescape(first);
    if (!tv::SharedFolders_Contains(*context->folders, *folder)) return false;
    below->clear();
    std::string_view rest =
        cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    while (!rest.empty()) {
        std::size_t next = rest.find('\\');
        std::string_view component = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        if (component.empty()) continue;
        std::string name = Unescape(component);
        if (HasDotStep(name)) return false;
        if (!below->empty()) *below += '/';
        *below += name;
    }
    return true;
}

std::string Joined(const std::string& folder, const std::string& below)
{
    if (below.empty()) return folder;
    return folder.back() == '/' ? folder + below : folder + "/" + below;
}

}  // namespace

namespace tv {

bool FileIo_RealPath(const ServerContext* context, std::string_view path, std::string* real)
{
    std::string folder;
    std::string below;
    if (!SplitShared(context, path, &folder, &below)) return false;
    *real = Joined(folder, below);
    return true;
}

int FileIo_OpenShared(const ServerContext* context, std::string_view path, int flags,
                      FileIoOpened* opened) noexcept
{
    std::string folder;
    std::string below;
    if (!SplitShared(context, path, &folder, &below)) return -1;
    std::string real = Joined(folder, below);
    flags |= O_CLOEXEC;
    int fd = -1;
    DirectOpen direct = OpenWithoutLinks(context->file_io, real, flags, &fd);
    if (direct == DirectOpen::kFailed) return -1;
    if (direct == DirectOpen::kOpened) {
        if (opened != nullptr) {
            opened->via_link = false;
            opened->resolved = std::move(real);
        }
        return fd;
    }
    // A link on the way: never one in the shared folder's own path; below it, it is judged
    // where it leads.
    UniqueFd top(OpenFolderWithoutLinks(context->file_io, folder));
    if (!top) {
        if (errno == ELOOP) LogLinkOverFolder(context, folder);
        return -1;
    }
    fd = ::openat(top.get(), below.empty() ? "." : below.c_str(), flags);
    if (fd < 0) return -1;
    std::string resolved;
    bool known = PathOfDescriptor(fd, real, &resolved);
    if (!known || (!context->options.follow_links_out &&
                   !SharedFolders_Covers(*context->folders, resolved))) {
        ::close(fd);
        if (known) LogLinkOut(context, real);
        errno = EACCES;
        return -1;
    }
    if (opened != nullptr) {
        opened->via_link = resolved != real;
        opened->resolved = std::move(resolved);
    }
    return fd;
}

bool FileIo_Stat(const ServerContext* context, std::string_view path, struct stat* st,
                 FileIoOpened* opened) noexcept
{
    int fd = FileIo_OpenShared(context, path, O_PATH, opened);
    if (fd < 0) return false;
    bool done = ::fstat(fd, st) == 0;
    ::close(fd);
    return done;
}

void FileIo_LogLinkOnce(const ServerContext* context, const std::string& link,
                        const char* why) noexcept
{
    {
        FileIoState& state = *context->file_io;
        std::scoped_lock hold(state.logged_lock);
        // Bounded: past the limit the links are forgotten and may be named once more.
        if (state.logged_links.size() >= kLoggedLinksLimit) state.logged_links.clear();
        if (!state.logged_links.insert(link).second) return;
    }
    ServerLog("Link not followed, %s: %s", why, link.c_str());
}

}  // namespace tv

FileIo_DirEnum* FileIo_OpenDirectory(const tv::ServerContext* context, const char* path, char* name,
                                     int name_capacity, std::int64_t* size) noexcept
{
    if (path == nullptr || name == nullptr) return nullptr;
    auto* dir = new FileIo_DirEnum;
    dir->context = context;
    dir->capacity = name_capacity;
    if (IsRoot(path)) {
        dir->roots = tv::SharedFolders_List(*context->folders);
    } else {
        int fd = tv::FileIo_OpenShared(context, path, O_RDONLY | O_DIRECTORY, nullptr);
        if (fd < 0 || (dir->dir = ::fdopendir(fd)) == nullptr) {
            if (fd >= 0) ::close(fd);
            delete dir;
            return nullptr;
        }
        dir->internal = path;
        if (dir->internal.back() != '\\') dir->internal += '\\';
    }
    if (NextInto(dir, name, size) == 0) {
        FileIo_CloseDirectory(dir);
        return nullptr;
    }
    return dir;
}

int FileIo_NextEntry(FileIo_DirEnum* dir, char* name, std::int64_t* size) noexcept
{
    if (dir == nullptr || name == nullptr) return 0;
    return NextInto(dir, name, size);
}

void FileIo_CloseDirectory(FileIo_DirEnum* dir) noexcept
{
    if (dir == nullptr) return;
    if (dir->dir != nullptr) ::closedir(dir->dir);
    delete dir;
}

int FileIo_GetType(const tv::ServerContext* context, const char* path) noexcept
{
    if (path != nullptr && IsRoot(path)) return 2;
    struct stat st {};
    if (!StatPath(context, path, &st)) return 0;
    if (S_ISDIR(st.st_mode)) return 2;
    // Pipes, sockets and devices are not media files: opening one could block or never end.
    return S_ISREG(st.st_mode) ? 1 : 0;
}

std::int64_t FileIo_GetSize(const tv::ServerContext* context, const char* path) noexcept
{
    struct stat st {};
    if (!StatPath(context, path, &st) || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t FileIo_GetModifiedTime(const tv::ServerContext* context, const char* path) noexcept
{
    struct stat st {};
    if (!StatPath(context, path, &st)) return -1;
    return static_cast<std::int64_t>(st.st_mtime);
}
