#include "content/FileSystemEnumerator.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "content/MediaTypes.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaServerAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvChain.h"
#include "runtime/OlvParsers.h"

// One folder's published children in directory order, as names escaped the way the file
// layer escapes them, with their kinds (1 file, 2 folder).
struct FseFolderEntries {
    std::string text;                 // the names one after another
    std::vector<std::uint32_t> ends;  // where each name ends in text
    std::vector<signed char> kinds;
    std::size_t Count() const { return ends.size(); }
    std::string_view Name(std::size_t i) const
    {
        std::size_t begin = i == 0 ? 0 : ends[i - 1];
        return std::string_view(text).substr(begin, ends[i] - begin);
    }
};

// What has to stay the same for a folder's children to be the same.
struct FseFolderStamp {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_sec = 0;
    std::int64_t mtime_nsec = 0;
    std::int64_t ctime_sec = 0;
    std::int64_t ctime_nsec = 0;
    bool operator==(const FseFolderStamp&) const = default;
};

struct FseCachedFolder {
    std::string real;
    FseFolderStamp stamp;
    std::shared_ptr<const FseFolderEntries> entries;
    std::uint64_t used = 0;
};

struct FSE_Enumerator {
    tv::ChainHooks hooks;
    const tv::ServerContext* context = nullptr;
    char* root = nullptr;  // ends with a backslash
    int root_length = 0;
    char* virtual_directory = nullptr;
    int virtual_directory_length = 0;
    char separator = '\\';
    char alt_separator = '/';
    // Listings of the folders browsed last. A client pages through a folder with one Browse per
    // page, and each must count the whole folder: kept while the folder is unchanged, a page
    // costs the same wherever it starts.
    std::mutex cache_lock;
    std::vector<FseCachedFolder> cache;
    std::uint64_t cache_clock = 0;
};

// The walk over a folder's children.
struct FseListing {
    std::shared_ptr<const FseFolderEntries> entries;
    std::size_t next = 0;
    int dir_fd = -1;  // the folder as opened and judged for this request
};

namespace {

constexpr std::string_view kTmp = ".tmp";

constexpr const char* kPublished[] = {".mp3", ".wma", ".wav", ".pcm", ".asf", ".avi",
                                      ".vob", ".wmv", ".mpg", ".png", ".tif", ".gif",
                                      ".jpg", ".bmp", ".3gp", ".mp4", ".tmp", ".didls"};

using tv::EqualsCaseless;
using tv::View;

std::string ReplaceAll(std::string text, std::string_view find, std::string_view with)
{
    std::size_t at = 0;
    while ((at = text.find(find, at)) != std::string::npos) {
        text.replace(at, find.size(), with);
        at += with.size();
    }
    return text;
}

bool EndsWithTmp(std::string_view text)
{
    return text.ends_with(kTmp);
}

char* Copy(std::string_view text)
{
    return tv::CopyBytes(text.data(), text.size());
}

void Destroy(void* object) noexcept
{
    auto* fse = static_cast<FSE_Enumerator*>(object);
    tv::Free(fse->root);
    tv::Free(fse->virtual_directory);
    std::destroy_at(fse);
}

constexpr tv::ChainHooks kHooks = {
    .pre_select = nullptr, .post_select = nullptr, .destroy = Destroy};

constexpr std::size_t kCachedFolders = 8;
constexpr std::size_t kCachedBytes = 8u << 20;  // of names, over all cached folders

// Ends the walk over the folder's children.
void EndListing(FseQuery* query)
{
    FileIo_CloseDirectory(query->dir);
    query->dir = nullptr;
    if (query->listing != nullptr && query->listing->dir_fd >= 0) ::close(query->listing->dir_fd);
    delete query->listing;
    query->listing = nullptr;
    query->current.clear();
    query->entry_type = tv::kFseEntryAbsent;
    query->partial = 0;
}

// The next name of the folder, escaped as the file layer escapes it; false at the end.
// *kind receives the entry's type when it is already known, else -1.
bool NextName(FseQuery* query, char* name, int* kind)
{
    *kind = -1;
    if (query->listing == nullptr)
        return query->dir != nullptr && FileIo_NextEntry(query->dir, name, nullptr) != 0;
    FseListing* listing = query->listing;
    if (listing->next >= listing->entries->Count()) return false;
    std::string_view next = listing->entries->Name(listing->next);
    std::memcpy(name, next.data(), next.size());
    name[next.size()] = '\0';
    *kind = listing->entries->kinds[listing->next];
    ++listing->next;
    return true;
}

// Reads the folder's next child other than "." and ".." into the current entry.
bool NextChild(FseQuery* query, std::string_view first_name)
{
    char name[tv::kFseNameCapacity];
    bool have = !first_name.empty();
    std::string_view pending = first_name;
    while (true) {
        int kind = -1;
        if (!have) {
            if (!NextName(query, name, &kind)) {
                EndListing(query);
                return false;
            }
            pending = name;
        }
        have = false;
        if (pending == "." || pending == "..") continue;
        if (query->subject.size() + pending.size() >=
            static_cast<std::size_t>(tv::kFseEntryCapacity))
            continue;
        // The buffer of the entry before is reused: a long folder is walked without allocations.
        query->current.assign(query->subject);
        query->current.append(pending);
        query->entry_type =
            kind >= 0 ? kind : FileIo_GetType(query->context, query->current.c_str());
        if (query->entry_type == tv::kFseEntryFolder) query->current += '\\';
        query->partial = EndsWithTmp(pending) ? 1 : 0;
        return true;
    }
}

// Title of a shared folder: its last path component; "/" for the file system's root. The
// escapes are searched as the mapping back to a path undoes them, in upper case only: a "%2f"
// in a folder's name is part of the name, in its title as in its path.
std::string SharedFolderTitle(std::string_view name)
{
    std::size_t slash = name.rfind("%2F");
    if (slash != std::string_view::npos) {
        std::string_view trimmed = name;
        while (trimmed.ends_with("%2F")) trimmed.remove_suffix(3);
        if (trimmed.empty()) return "/";
        slash = trimmed.rfind("%2F");
        std::string_view last =
            slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 3);
        return ReplaceAll(ReplaceAll(std::string(last), "%5C", "\\"), "%3A", ":");
    }
    std::size_t back = name.rfind("%5C");
    if (back == std::string_view::npos) return ReplaceAll(std::string(name), "%3A", ":");
    if (back + 3 < name.size()) return std::string(name.substr(back + 3));
    return ReplaceAll(ReplaceAll(std::string(name), "%5C", "\\"), "%3A", ":");
}

std::string Printable(std::string_view text)
{
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace

namespace tv {

bool FseIsXmlSafeName(const char* text, std::size_t length) noexcept
{
    std::string_view name(text, length);
    for (std::size_t i = 0; i < length;) {
        const Utf8Char c = DecodeUtf8(name, i);
        // Control characters and the two non-characters XML forbids, besides invalid UTF-8.
        if (c.length == 0 || c.code < 0x20 || c.code == 0xFFFE || c.code == 0xFFFF) return false;
        i += c.length;
    }
    return true;
}

}  // namespace tv

FSE_Enumerator* FSE_Create(OlvChain* chain, const tv::ServerContext* context, const char* root_path,
                           const char* virtual_directory) noexcept
{
    auto* fse = tv::NewChainObject<FSE_Enumerator>(kHooks);
    fse->context = context;
    std::string root = ReplaceAll(root_path != nullptr ? root_path : "", "/", "\\");
    if (root.empty() || root.back() != '\\') root += '\\';
    fse->root = Copy(root);
    fse->root_length = static_cast<int>(root.size());
    std::string_view dir = virtual_directory != nullptr ? virtual_directory : "";
    fse->virtual_directory = Copy(dir);
    fse->virtual_directory_length = static_cast<int>(dir.size());
    if (chain != nullptr) OlvChain_Add(chain, fse);
    return fse;
}

void FSE_ParsePath(FSE_Enumerator* fse, const std::string& path, FsePathParts* p) noexcept
{
    *p = FsePathParts{};
    std::string_view full(path);
    p->full = path.data();
    p->full_length = static_cast<int>(full.size());
    std::string_view trimmed = full;
    if (!trimmed.empty() && trimmed.back() == '\\') trimmed.remove_suffix(1);
    std::size_t slash = trimmed.rfind('\\');
    std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
    std::string_view name = trimmed.substr(name_at);
    p->name = path.data() + name_at;
    p->name_length = static_cast<int>(name.size());
    std::size_t dot = name.rfind('.');
    p->base_length = dot == std::string_view::npos ? p->name_length : static_cast<int>(dot);
    p->extension = dot == std::string_view::npos ? p->name + p->name_length : p->name + dot;
    p->extension_length = dot == std::string_view::npos ? 0 : static_cast<int>(name.size() - dot);
    const std::size_t root = static_cast<std::size_t>(fse->root_length);
    auto strip = [&](std::size_t length, const char** out, int* out_length) {
        if (length >= root && full.substr(0, root) == View(fse->root, fse->root_length)) {
            *out = path.data() + root;
            *out_length = static_cast<int>(length - root);
        } else {
            *out = path.data() + length;
            *out_length = 0;
        }
    };
    strip(name_at, &p->parent_relative, &p->parent_relative_length);
    strip(full.size(), &p->relative, &p->relative_length);
}

namespace {

FseFolderStamp StampOf(const struct stat& st)
{
    FseFolderStamp stamp;
    stamp.device = static_cast<std::uint64_t>(st.st_dev);
    stamp.inode = static_cast<std::uint64_t>(st.st_ino);
    stamp.size = static_cast<std::int64_t>(st.st_size);
    stamp.mtime_sec = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    stamp.mtime_nsec = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    stamp.ctime_sec = static_cast<std::int64_t>(st.st_ctim.tv_sec);
    stamp.ctime_nsec = static_cast<std::int64_t>(st.st_ctim.tv_nsec);
    return stamp;
}

// True when `target` (a real path) is `folder` or a folder above it.
bool Encloses(std::string_view target, std::string_view folder)
{
    return target == "/" || (folder.starts_with(target) &&
                             (folder.size() == target.size() || folder[target.size()] == '/'));
}

// A folder being listed, as opened, and the real folders above it along the way the client
// came (read only when a link in it needs them).
struct ListedFolder {
    const tv::FileIoOpened& opened;
    std::vector<std::string> above;
};

// True when a link to the folder `target` leads back to the listed folder or to one it was
// reached through: listed, it would let a walk go round without end.
bool LeadsBack(const FseQuery* query, ListedFolder* folder, const std::string& target)
{
    if (folder->above.empty()) {
        if (!folder->opened.via_link) {
            // Without links its ancestors are the prefixes of its real path.
            folder->above.push_back(folder->opened.resolved);
        } else {
            for (std::size_t at = query->subject.find('\\', 1); at != std::string::npos;
                 at = query->subject.find('\\', at + 1)) {
                struct stat st {};
                tv::FileIoOpened step;
                if (tv::FileIo_Stat(query->context,
                                    std::string_view(query->subject).substr(0, at + 1), &st, &step))
                    folder->above.push_back(std::move(step.resolved));
            }
        }
    }
    for (const std::string& above : folder->above)
        if (Encloses(target, above)) return true;
    return false;
}

// Kind of an entry that is a link or has an escape in its name (the file layer maps it):
// 0 when it leads out of the shared folders, nowhere, or back above itself.
int JudgedKind(const FseQuery* query, ListedFolder* folder, const std::string& entry)
{
    struct stat st {};
    tv::FileIoOpened opened;
    if (!tv::FileIo_Stat(query->context, entry, &st, &opened)) return 0;
    if (S_ISREG(st.st_mode)) return 1;
    if (!S_ISDIR(st.st_mode)) return 0;
    if (opened.via_link && LeadsBack(query, folder, opened.resolved)) {
        std::string link;
        if (tv::FileIo_RealPath(entry, &link))
            tv::FileIo_LogLinkOnce(query->context, link, "it leads back to a folder it is in");
        return 0;
    }
    return 2;
}

// The folder's published children, read from the opened folder whose internal path is
// query->subject. Null when it cannot be read. *stable is false when a kind may change while
// the folder itself stays the same (links, names the file layer has to resolve).
std::shared_ptr<FseFolderEntries> ReadFolder(FSE_Enumerator* fse, FseQuery* query, int fd,
                                             const tv::FileIoOpened& opened, bool* stable)
{
    *stable = true;
    int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (dir == nullptr) {
        if (own >= 0) ::close(own);
        return nullptr;
    }
    ListedFolder folder{opened, {}};
    auto entries = std::make_shared<FseFolderEntries>();
    std::string& path = query->current;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view raw = entry->d_name;
        if (raw == "." || raw == "..") continue;
        std::string escaped;
        std::string_view name = raw;
        bool judged = false;
        if (raw.find('%') != std::string_view::npos || raw.find('\\') != std::string_view::npos) {
            // An escape in the name maps to another real path: the file layer decides.
            escaped = tv::FileIoEscapeName(raw);
            name = escaped;
            judged = true;
        }
        unsigned char type = entry->d_type;
        if (!judged && type == DT_UNKNOWN) {
            struct stat st {};
            if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                type = S_ISLNK(st.st_mode)   ? DT_LNK
                       : S_ISDIR(st.st_mode) ? DT_DIR
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : DT_UNKNOWN;
        }
        if (type == DT_LNK) judged = true;
        if (judged) *stable = false;
        if (name.size() + 1 > static_cast<std::size_t>(tv::kFseNameCapacity)) continue;
        if (query->subject.size() + name.size() >= static_cast<std::size_t>(tv::kFseEntryCapacity))
            continue;
        path.assign(query->subject);
        path.append(name);
        int kind = judged           ? JudgedKind(query, &folder, path)
                   : type == DT_DIR ? tv::kFseEntryFolder
                   : type == DT_REG ? tv::kFseEntryFile
                                    : tv::kFseEntryAbsent;
        if (kind == tv::kFseEntryFolder) path += '\\';
        query->entry_type = kind;
        FsePathParts parts;
        FSE_ParsePath(fse, path, &parts);
        if (FSE_Accept(fse, query, &parts) == 0) continue;
        entries->text.append(name);
        entries->ends.push_back(static_cast<std::uint32_t>(entries->text.size()));
        entries->kinds.push_back(static_cast<signed char>(kind));
    }
    ::closedir(dir);
    path.clear();
    query->entry_type = tv::kFseEntryAbsent;
    return entries;
}

// The published children of the opened folder (at `real` by its text), from the cache while
// the folder is unchanged.
std::shared_ptr<const FseFolderEntries> FolderEntries(FSE_Enumerator* fse, FseQuery* query,
                                                      const std::string& real, int fd,
                                                      const tv::FileIoOpened& opened)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
    FseFolderStamp stamp = StampOf(st);
    {
        std::scoped_lock hold(fse->cache_lock);
        for (FseCachedFolder& cached : fse->cache) {
            if (cached.real == real && cached.stamp == stamp) {
                cached.used = ++fse->cache_clock;
                return cached.entries;
            }
        }
    }
    bool stable = false;
    std::shared_ptr<const FseFolderEntries> entries = ReadFolder(fse, query, fd, opened, &stable);
    // A change within the time stamps' granularity of the last one may leave them as they were:
    // only a folder whose last change is further back is kept. File systems without parts of
    // a second may keep two seconds.
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    auto settled_since = [&](std::int64_t sec, std::int64_t nsec) {
        const std::int64_t margin = nsec != 0 ? 100'000'000 : 2'000'000'000;
        const std::int64_t now_ns =
            static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
        return sec * 1'000'000'000 + nsec + margin <= now_ns;
    };
    bool settled = settled_since(stamp.mtime_sec, stamp.mtime_nsec) &&
                   settled_since(stamp.ctime_sec, stamp.ctime_nsec);
    if (entries == nullptr || !stable || !settled || entries->text.size() > kCachedBytes)
        return entries;
    std::scoped_lock hold(fse->cache_lock);
    std::erase_if(fse->cache, [&](const FseCachedFolder& cached) { return cached.real == real; });
    auto total = [&] {
        std::size_t bytes = entries->text.size();
        for (const FseCachedFolder& cached : fse->cache) bytes += cached.entries->text.size();
        return bytes;
    };
    while (!fse->cache.empty() && (fse->cache.size() >= kCachedFolders || total() > kCachedBytes)) {
        auto oldest = std::min_element(
            fse->cache.begin(), fse->cache.end(),
            [](const FseCachedFolder& a, const FseCachedFolder& b) { return a.used < b.used; });
        fse->cache.erase(oldest);
    }
    fse->cache.push_back(FseCachedFolder{real, stamp, entries, ++fse->cache_clock});
    return entries;
}

FseQuery* Refuse(int* error, int code)
{
    if (error != nullptr) *error = code;
    return nullptr;
}

// A query on a file of which only its name with ".tmp" exists: one still being written.
FseQuery* OpenPartialFile(std::unique_ptr<FseQuery> query, std::string subject, int kind,
                          int* error)
{
    std::string partial = subject + std::string(kTmp);
    if (FileIo_GetType(query->context, partial.c_str()) != 1)
        return Refuse(error, tv::kFseNoSuchObject);
    if (kind != 0) return Refuse(error, tv::kFseNoSuchContainer);
    query->subject = std::move(subject);
    query->current = std::move(partial);
    query->entry_type = tv::kFseEntryFile;
    query->partial = 1;
    return query.release();
}

FseQuery* OpenFile(std::unique_ptr<FseQuery> query, std::string subject, int kind, int* error)
{
    if (kind != 0) return Refuse(error, tv::kFseNoSuchContainer);
    while (!subject.empty() && subject.back() == '\\') subject.pop_back();
    query->subject = subject;
    query->current = subject;
    query->entry_type = tv::kFseEntryFile;
    query->partial = EndsWithTmp(subject) ? 1 : 0;
    return query.release();
}

// Starts the walk over the children of the folder query->subject, at its first child.
void OpenChildren(FSE_Enumerator* fse, FseQuery* query)
{
    const std::string& subject = query->subject;
    if (subject == "\\") {
        char name[tv::kFseNameCapacity];
        query->dir =
            FileIo_OpenDirectory(query->context, subject.c_str(), name, sizeof name, nullptr);
        if (query->dir != nullptr) NextChild(query, name);
        return;
    }
    // Judged as opened: a link changed since the folder's type was taken is seen.
    tv::FileIoOpened opened;
    int fd = tv::FileIo_OpenShared(query->context, subject, O_RDONLY | O_DIRECTORY, &opened);
    std::string real;
    std::shared_ptr<const FseFolderEntries> entries;
    if (fd >= 0 && tv::FileIo_RealPath(subject, &real))
        entries = FolderEntries(fse, query, real, fd, opened);
    if (entries != nullptr) {
        query->listing = new FseListing{std::move(entries), 0, fd};
        NextChild(query, {});
    } else if (fd >= 0) {
        ::close(fd);
    }
}

}  // namespace

FseQuery* FSE_OpenQuery(FSE_Enumerator* fse, const MSA_BrowseRequest* request, int* error) noexcept
{
    if (error != nullptr) *error = 0;
    std::string_view id =
        request != nullptr && request->object_id != nullptr ? request->object_id : "";
    auto query = std::make_unique<FseQuery>();
    query->context = fse->context;
    std::string subject(fse->root, static_cast<std::size_t>(fse->root_length));
    if (id.size() >= 3) subject += ReplaceAll(std::string(id.substr(2)), "/", "\\");
    const int kind = request != nullptr ? request->kind : 0;
    query->metadata = kind == 0 ? 1 : 0;
    int type = FileIo_GetType(query->context, subject.c_str());
    if (type == 0) return OpenPartialFile(std::move(query), std::move(subject), kind, error);
    if (type == 1) return OpenFile(std::move(query), std::move(subject), kind, error);
    if (subject.back() != '\\') subject += '\\';
    query->subject = subject;
    if (kind == 0) {
        query->current = subject;
        query->entry_type = tv::kFseEntryFolder;
    } else if (kind == 1) {
        OpenChildren(fse, query.get());
    } else {
        query->done = 1;
    }
    return query.release();
}

int FSE_Accept(FSE_Enumerator* /*fse*/, FseQuery* query, const FsePathParts* parts) noexcept
{
    std::string_view full = View(parts->full, parts->full_length);
    if (full.ends_with("..\\")) return 0;
    if (full.starts_with("\\\\")) return 0;
    if (query->entry_type == tv::kFseEntryAbsent) return 0;
    if (!tv::FseIsXmlSafeName(parts->relative, static_cast<std::size_t>(parts->relative_length))) {
        // A Browse result is XML in UTF-8: a name that is not UTF-8 text would break it.
        std::string shown = Printable(full);
        std::fprintf(stderr, "Skipped a name that is not UTF-8 text: %s\r\n", shown.c_str());
        return 0;
    }
    if (query->entry_type == tv::kFseEntryFolder) return 1;
    std::string_view extension = View(parts->extension, parts->extension_length);
    for (const char* published : kPublished) {
        if (EqualsCaseless(extension, published)) return 1;
    }
    return 0;
}

int FSE_Advance(FSE_Enumerator* fse, FseQuery* query, FsePathParts* parts) noexcept
{
    while (NextChild(query, {})) {
        FSE_ParsePath(fse, query->current, parts);
        if (FSE_Accept(fse, query, parts) != 0) return 1;
    }
    query->done = 1;
    return 0;
}

namespace {

// stat(2) of the object: inside a listed folder by its name there, unless it is a link or its
// name has an escape the file layer resolves; elsewhere through the file layer.
bool StatObject(const FseQuery* query, const char* source_path, std::string_view name,
                struct stat* st)
{
    if (query->listing != nullptr && query->listing->dir_fd >= 0 &&
        name.find('%') == std::string_view::npos) {
        std::string plain(name);
        if (::fstatat(query->listing->dir_fd, plain.c_str(), st, AT_SYMLINK_NOFOLLOW) != 0)
            return false;
        if (!S_ISLNK(st->st_mode)) return true;
    }
    return tv::FileIo_Stat(query->context, source_path, st);
}

// The entry the next object comes from, described by parts; false when there is none.
bool SelectNext(FSE_Enumerator* fse, FseQuery* query, FsePathParts* parts)
{
    if (query->current.empty() || query->current == "." || query->current == "..")
        return FSE_Advance(fse, query, parts) != 0;
    FSE_ParsePath(fse, query->current, parts);
    bool selected = FSE_Accept(fse, query, parts) != 0;
    if (query->metadata != 0) query->done = 1;
    if (!selected) selected = FSE_Advance(fse, query, parts) != 0;
    return selected;
}

// Steps past the entry just produced (or found to be the last).
void MoveOn(FseQuery* query, bool selected)
{
    query->partial = 0;
    if (query->dir != nullptr || query->listing != nullptr) {
        if (!NextChild(query, {})) query->done = 1;
    } else if (selected) {
        query->current.clear();
    }
}

// The object's identifier and its parent's: "0" and "-1" for the root, else "0\" and the path
// below it; a file still being written is named without its ".tmp".
void ObjectIds(std::string_view relative, std::string_view parent_relative, std::string* id,
               std::string* parent_id)
{
    if (relative.empty()) {
        *id = "0";
        *parent_id = "-1";
        return;
    }
    *id = "0\\";
    *id += relative;
    if (EndsWithTmp(*id)) id->resize(id->size() - kTmp.size());
    if (parent_relative.empty()) {
        *parent_id = "0";
    } else {
        *parent_id = "0\\";
        *parent_id += parent_relative;
    }
}

std::string ObjectTitle(const FsePathParts& parts, bool folder, bool partial)
{
    std::string_view relative = View(parts.relative, parts.relative_length);
    std::string_view parent_relative = View(parts.parent_relative, parts.parent_relative_length);
    std::string_view name = View(parts.name, parts.name_length);
    if (folder && !name.empty()) {
        // Shared folders carry their whole escaped path; deeper names only an escaped "\".
        return parent_relative.empty() ? SharedFolderTitle(name)
                                       : ReplaceAll(std::string(name), "%5C", "\\");
    }
    if (parts.base_length > 0) {
        std::string_view shown = name;
        if (partial) {
            std::size_t dot = shown.rfind('.');
            if (dot != std::string_view::npos) shown = shown.substr(0, dot);
        }
        return ReplaceAll(std::string(shown), "%5C", "\\");
    }
    if (relative.empty() && parent_relative.empty()) return "Root";
    return "<Unknown>";
}

// A file's class by its extension; for a file still being written, the one before ".tmp".
CdsMediaClass FileClass(const FsePathParts& parts, bool partial)
{
    std::string extension(View(parts.extension, parts.extension_length));
    if (partial) {
        std::string_view without(parts.full, static_cast<std::size_t>(parts.full_length));
        if (EndsWithTmp(without)) without.remove_suffix(kTmp.size());
        std::size_t dot = without.rfind('.');
        std::size_t slash = without.rfind('\\');
        extension =
            dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)
                ? std::string()
                : std::string(without.substr(dot));
    }
    return FSE_GetMediaClass(extension.c_str());
}

// What the class adds: an item's date (and the size for its resource) from one look at the
// file, a container's classes of children.
void FillClassDetails(FseQuery* query, CdsObject* object, std::string_view name, bool partial)
{
    if (tv::CdsIsItem(object->media_class)) {
        object->dlna_managed = 4;
        const std::uint32_t second = tv::CdsClassSecond(object->media_class);
        if ((second == tv::kCdsAudioItem || second == tv::kCdsImageItem ||
             second == tv::kCdsVideoItem) &&
            !partial) {
            struct stat st {};
            std::int64_t when = -1;
            query->object_size = -1;
            if (StatObject(query, object->source_path, name, &st)) {
                when = static_cast<std::int64_t>(st.st_mtime);
                if (S_ISREG(st.st_mode)) query->object_size = static_cast<std::int64_t>(st.st_size);
            }
            query->object_size_known = 1;
            object->date = when > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(when);
        }
    } else if (tv::CdsIsContainer(object->media_class)) {
        object->dlna_managed = 3;
        object->child_count = 0;
        tv::CdsObject_AppendClass(&object->create_classes, 1, tv::kCdsClassAudioItem);
        tv::CdsObject_AppendClass(&object->create_classes, 1, tv::kCdsClassImageItem);
        tv::CdsObject_AppendClass(&object->create_classes, 1, tv::kCdsClassVideoItem);
        tv::CdsObject_AppendClass(&object->create_classes, 1, tv::kCdsClassContainer);
    }
}

// Fills the object from the entry SelectNext chose.
void DescribeObject(FseQuery* query, const FsePathParts& parts, CdsObject* object)
{
    const bool folder = query->entry_type == tv::kFseEntryFolder;
    const bool partial = query->partial != 0 && !folder;
    std::string id;
    std::string parent_id;
    ObjectIds(View(parts.relative, parts.relative_length),
              View(parts.parent_relative, parts.parent_relative_length), &id, &parent_id);
    object->id = Copy(id);
    object->parent_id = Copy(parent_id);
    object->title = Copy(ObjectTitle(parts, folder, partial));
    object->owned_mask = tv::kCdsOwnId | tv::kCdsOwnParentId | tv::kCdsOwnTitle;
    object->source_path = Copy(View(parts.full, parts.full_length));
    object->flags = 0;
    object->media_class = folder ? tv::kCdsClassStorageFolder : FileClass(parts, partial);
    FillClassDetails(query, object, View(parts.name, parts.name_length), partial);
}

}  // namespace

int FSE_HandleProcessObject(FSE_Enumerator* fse, const MSA_BrowseRequest* /*request*/,
                            FseQuery* query, CdsObject* object) noexcept
{
    if (query == nullptr) {
        std::fputs("FSE_HandleProcessObject(): qs == NULL\r\n", stderr);
        return 0;
    }
    if (object == nullptr) {
        std::fputs("FSE_HandleProcessObject(): cdsObj == NULL\r\n", stderr);
        return 0;
    }
    if (query->done != 0) return 0;

    FsePathParts parts;
    query->object_size_known = 0;
    bool selected = SelectNext(fse, query, &parts);
    if (selected) DescribeObject(query, parts, object);
    MoveOn(query, selected);
    return selected ? 1 : 0;
}

int FSE_CountObject(FSE_Enumerator* fse, FseQuery* query) noexcept
{
    if (query == nullptr || query->done != 0) return 0;
    FsePathParts parts;
    bool selected = SelectNext(fse, query, &parts);
    MoveOn(query, selected);
    return selected ? 1 : 0;
}

std::uint32_t FSE_SkipObjects(FSE_Enumerator* fse, FseQuery* query, std::uint32_t count) noexcept
{
    std::uint32_t skipped = 0;
    while (skipped < count && query != nullptr && query->done == 0) {
        FseListing* listing = query->listing;
        if (listing != nullptr && !query->current.empty() && query->metadata == 0) {
            // Every entry of a listing is published: the current one and as many after it as
            // wanted are passed at once.
            std::size_t left = listing->entries->Count() - listing->next;
            std::size_t jump = std::min<std::size_t>(count - skipped - 1, left);
            listing->next += jump;
            skipped += static_cast<std::uint32_t>(jump) + 1;
            MoveOn(query, true);
            continue;
        }
        if (FSE_CountObject(fse, query) == 0) break;
        ++skipped;
    }
    return skipped;
}

int FSE_CloseQuery(FSE_Enumerator* /*fse*/, FseQuery* query) noexcept
{
    if (query != nullptr) {
        EndListing(query);
        delete query;
    }
    return 0;
}

char* FSE_PathToUrlPath(FSE_Enumerator* fse, const char* path) noexcept
{
    std::string_view text = path != nullptr ? path : "";
    std::string_view root = View(fse->root, fse->root_length);
    if (text.starts_with(root)) text.remove_prefix(root.size());
    return Copy(ReplaceAll(std::string(text), "\\", "/"));
}

int FSE_UrlPathToPath(FSE_Enumerator* /*fse*/, const char* path, int length, char* buffer,
                      int buffer_size) noexcept
{
    std::string_view text = path != nullptr && length > 0 ? View(path, length) : std::string_view();
    if (!text.empty()) text.remove_prefix(1);
    std::string out = ReplaceAll(std::string(text), "/", "\\");
    if (!out.empty() && out[0] == '\\') out.erase(0, 1);
    if (buffer == nullptr || buffer_size <= 0 ||
        out.size() + 1 > static_cast<std::size_t>(buffer_size))
        return -1;
    std::memcpy(buffer, out.c_str(), out.size() + 1);
    return static_cast<int>(out.size());
}
