#include "mediaserver/FileIoAbstraction.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "app/SharedFolders.h"

struct FileIo_DirEnum {
    DIR* dir = nullptr;  // null for the root
    std::string real;    // the folder's real path, "/" appended
    std::vector<std::string> roots;  // root: the table as it was at the open
    std::size_t index = 0;
    int capacity = 0;
};

namespace
{

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
        if (size != nullptr) {
            struct stat st {};
            std::string full = dir->real + entry->d_name;
            *size = ::stat(full.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
        }
        return 1;
    }
    return 0;
}

bool StatPath(const char* path, struct stat* st)
{
    if (path == nullptr) return false;
    std::string real;
    if (!tv::FileIo_RealPath(path, &real)) return false;
    return ::stat(real.c_str(), st) == 0;
}

} // namespace

namespace tv
{

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

bool FileIo_RealPath(std::string_view path, std::string* real)
{
    if (path.empty() || path[0] != '\\' || IsRoot(path)) return false;
    path.remove_prefix(1);
    std::size_t cut = path.find('\\');
    std::string_view first = path.substr(0, cut);
    if (first.empty()) return false;
    std::string folder = Unescape(first);
    if (!SharedFolders_Contains(folder)) return false;
    std::string out = folder;
    std::string_view rest = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
    while (!rest.empty()) {
        std::size_t next = rest.find('\\');
        std::string_view component = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        if (component.empty()) continue;
        std::string name = Unescape(component);
        if (HasDotStep(name)) return false;
        if (out.empty() || out.back() != '/') out += '/';
        out += name;
    }
    *real = std::move(out);
    return true;
}

} // namespace tv

FileIo_DirEnum* FileIo_OpenDirectory(const char* path, char* name, int name_capacity,
                                     std::int64_t* size) noexcept
{
    if (path == nullptr || name == nullptr) return nullptr;
    auto* dir = new FileIo_DirEnum;
    dir->capacity = name_capacity;
    if (IsRoot(path)) {
        dir->roots = tv::SharedFolders_List();
    } else {
        if (!tv::FileIo_RealPath(path, &dir->real) || (dir->dir = ::opendir(dir->real.c_str())) == nullptr) {
            delete dir;
            return nullptr;
        }
        if (dir->real.back() != '/') dir->real += '/';
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

int FileIo_GetType(const char* path) noexcept
{
    if (path != nullptr && IsRoot(path)) return 2;
    struct stat st {};
    if (!StatPath(path, &st)) return 0;
    if (S_ISDIR(st.st_mode)) return 2;
    // Pipes, sockets and devices are not media files: opening one could block or never end.
    return S_ISREG(st.st_mode) ? 1 : 0;
}

std::int64_t FileIo_GetSize(const char* path) noexcept
{
    struct stat st {};
    if (!StatPath(path, &st) || !S_ISREG(st.st_mode)) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

std::int64_t FileIo_GetModifiedTime(const char* path) noexcept
{
    struct stat st {};
    if (!StatPath(path, &st)) return -1;
    return static_cast<std::int64_t>(st.st_mtime);
}
