#include "content/FileSystemEnumerator.h"
#include "runtime/ServerContext.h"

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
#include <unordered_map>
#include <vector>

#include "cds/CdsDidlSerializer.h"
#include "content/MediaTypes.h"
#include "content/NaturalOrder.h"
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

// The positions of a listing's entries in the order some SortCriteria asks for.
struct FseCachedOrder {
    std::vector<tv::FseSortKey> keys;
    std::shared_ptr<const std::vector<std::uint32_t>> order;
};

struct FseCachedFolder {
    std::string real;
    FseFolderStamp stamp;
    std::shared_ptr<const FseFolderEntries> entries;
    std::uint64_t used = 0;
    std::vector<FseCachedOrder> orders;  // other than the listing's own
};

// How many children folders have that a client saw counted, while each is unchanged: a page
// of folders tells every folder's count, and reading each again for every page would cost a
// listing per folder.
struct FseCountedFolder {
    FseFolderStamp stamp;
    std::uint32_t count = 0;
    std::uint64_t used = 0;
};
struct FseCounts {
    std::unordered_map<std::string, FseCountedFolder> folders;  // by real path
    std::size_t bytes = 0;
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
    FseCounts* counts = nullptr;  // under cache_lock
    bool modern = false;
    tv::FseFolderSeenFn seen = nullptr;
    void* seen_user = nullptr;
};

// The walk over a folder's children.
struct FseListing {
    std::shared_ptr<const FseFolderEntries> entries;
    std::size_t next = 0;
    int dir_fd = -1;  // the folder as opened and judged for this request
    // The entries' positions in the order asked for; null: the listing's own order.
    std::shared_ptr<const std::vector<std::uint32_t>> order;
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
    delete fse->counts;
    std::destroy_at(fse);
}

constexpr tv::ChainHooks kHooks = {
    .pre_select = nullptr, .post_select = nullptr, .destroy = Destroy};

constexpr std::size_t kCachedFolders = 8;
// Of names, their positions and kinds, and their orders, over all cached folders.
constexpr std::size_t kCachedBytes = 8u << 20;
constexpr std::size_t kCountedFolders = 4096;
constexpr std::size_t kOrdersPerFolder = 4;

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
    const std::size_t at =
        listing->order != nullptr ? (*listing->order)[listing->next] : listing->next;
    std::string_view next = listing->entries->Name(at);
    std::memcpy(name, next.data(), next.size());
    name[next.size()] = '\0';
    *kind = listing->entries->kinds[at];
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

bool FseLeftOutName(std::string_view name) noexcept
{
    return name.starts_with('.') || name == "lost+found" || name == "@eaDir";
}

bool FseLeftOutPath(std::string_view path) noexcept
{
    if (path.starts_with('\\')) path.remove_prefix(1);
    std::size_t at = path.find('\\');  // past the shared folder, whose own name is the user's
    while (at != std::string_view::npos) {
        std::size_t end = path.find('\\', at + 1);
        std::string_view name = path.substr(
            at + 1, end == std::string_view::npos ? std::string_view::npos : end - at - 1);
        if (!name.empty() && FseLeftOutName(name)) return true;
        at = end;
    }
    return false;
}

std::vector<FseCriterion> FseSplitSortCriteria(std::string_view text)
{
    auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        return v;
    };
    std::vector<FseCriterion> criteria;
    while (!text.empty()) {
        std::size_t comma = text.find(',');
        FseCriterion criterion;
        criterion.whole = criterion.property = trim(text.substr(0, comma));
        text.remove_prefix(comma == std::string_view::npos ? text.size() : comma + 1);
        if (criterion.whole.empty()) continue;
        if (criterion.whole.front() == '+' || criterion.whole.front() == '-') {
            criterion.ascending = criterion.whole.front() == '+';
            criterion.property = trim(criterion.whole.substr(1));
        }
        criteria.push_back(criterion);
    }
    return criteria;
}

bool FseParseSortCriteria(std::string_view text, std::vector<FseSortKey>* keys) noexcept
{
    keys->clear();
    for (const FseCriterion& criterion : FseSplitSortCriteria(text)) {
        FseSortKey key;
        key.ascending = criterion.ascending;
        const std::string_view part = criterion.property;
        if (part == "dc:title")
            key.property = FseSortProperty::kTitle;
        else if (part == "dc:date")
            key.property = FseSortProperty::kDate;
        else if (part == "upnp:class")
            key.property = FseSortProperty::kClass;
        else
            return false;
        keys->push_back(key);
    }
    return true;
}

}  // namespace tv

FSE_Enumerator* FSE_Create(OlvChain* chain, const tv::ServerContext* context, const char* root_path,
                           const char* virtual_directory) noexcept
{
    auto* fse = tv::NewChainObject<FSE_Enumerator>(kHooks);
    fse->context = context;
    fse->modern = context != nullptr && context->options.modern_listing;
    if (fse->modern) fse->counts = new FseCounts;
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
        if (tv::FileIo_RealPath(query->context, entry, &link))
            tv::FileIo_LogLinkOnce(query->context, link, "it leads back to a folder it is in");
        return 0;
    }
    return 2;
}

// What the entries of a listing show as their titles: their names with a "\" written back; for
// the root's entries (the shared folders) the last component of the folder's path. Views into
// the listing, or into `owned` for the titles that differ from their names.
std::vector<std::string_view> TitlesOf(const FseFolderEntries& entries, bool root,
                                       std::vector<std::string>* owned)
{
    const std::size_t count = entries.Count();
    std::vector<std::string_view> titles(count);
    std::vector<std::size_t> differing;
    for (std::size_t i = 0; i < count; ++i) {
        std::string_view name = entries.Name(i);
        if (root || name.find("%5C") != std::string_view::npos) {
            differing.push_back(i);
            owned->push_back(root ? SharedFolderTitle(name)
                                  : ReplaceAll(std::string(name), "%5C", "\\"));
        } else {
            titles[i] = name;
        }
    }
    // Taken once the vector no longer grows.
    for (std::size_t k = 0; k < differing.size(); ++k) titles[differing[k]] = (*owned)[k];
    return titles;
}

bool IsFolderKind(signed char kind)
{
    return kind == tv::kFseEntryFolder;
}

// Today's order: containers first, then items, each by title in natural order. Done once per
// listing, so that a page costs the same wherever it starts.
void SortListing(FseFolderEntries* entries, bool root)
{
    const std::size_t count = entries->Count();
    std::vector<std::string> owned;
    std::vector<std::string_view> titles = TitlesOf(*entries, root, &owned);
    tv::NaturalKeys keys;
    keys.Reserve(count, entries->text.size() + 8 * count);
    for (std::string_view title : titles) keys.Add(title);
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        bool fa = IsFolderKind(entries->kinds[a]);
        bool fb = IsFolderKind(entries->kinds[b]);
        if (fa != fb) return fa;
        int by_title = keys.Compare(a, titles[a], b, titles[b]);
        return by_title != 0 ? by_title < 0 : a < b;
    });
    FseFolderEntries sorted;
    sorted.text.reserve(entries->text.size());
    sorted.ends.reserve(count);
    sorted.kinds.reserve(count);
    for (std::uint32_t i : order) {
        sorted.text.append(entries->Name(i));
        sorted.ends.push_back(static_cast<std::uint32_t>(sorted.text.size()));
        sorted.kinds.push_back(entries->kinds[i]);
    }
    *entries = std::move(sorted);
}

bool IsOwnOrder(const std::vector<tv::FseSortKey>& keys)
{
    return keys.empty() || keys == std::vector<tv::FseSortKey>{tv::FseSortKey{}};
}

// Where the class of an entry sorts by its name: object.container.* first, then the items'
// families (audioItem, imageItem, videoItem) as their names come.
int ClassRank(const FseFolderEntries& entries, std::size_t i)
{
    if (IsFolderKind(entries.kinds[i])) return 0;
    std::string_view name = entries.Name(i);
    std::size_t dot = name.rfind('.');
    CdsMediaClass media_class =
        tv::MediaKindOf(dot == std::string_view::npos ? std::string_view() : name.substr(dot), true)
            .media_class;
    return 1 + static_cast<int>(tv::CdsClassSecond(media_class));
}

// dc:date of each entry (its modification time); folders have none and sort before any date.
std::vector<std::int64_t> DatesOf(const tv::ServerContext* context, const FseFolderEntries& entries,
                                  const std::string& subject, int dir_fd)
{
    std::vector<std::int64_t> dates(entries.Count(), INT64_MIN);
    std::string name;
    for (std::size_t i = 0; i < entries.Count(); ++i) {
        if (IsFolderKind(entries.kinds[i])) continue;
        name.assign(entries.Name(i));
        struct stat st {};
        bool known = false;
        if (dir_fd >= 0 && name.find('%') == std::string::npos &&
            ::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            known = !S_ISLNK(st.st_mode);
        if (!known) known = tv::FileIo_Stat(context, subject + name, &st);
        if (known) dates[i] = static_cast<std::int64_t>(st.st_mtime);
    }
    return dates;
}

// The positions of the listing's entries in the order the keys ask for. Without upnp:class
// among them containers still come first; what the keys leave tied keeps the listing's own
// order, so the order is total and every page of it the same.
std::vector<std::uint32_t> OrderBy(const tv::ServerContext* context,
                                   const FseFolderEntries& entries, bool root,
                                   const std::vector<tv::FseSortKey>& keys,
                                   const std::string& subject, int dir_fd)
{
    const std::size_t count = entries.Count();
    std::vector<std::string> owned;
    std::vector<std::string_view> titles = TitlesOf(entries, root, &owned);
    std::vector<std::int64_t> dates;
    std::vector<int> ranks;
    tv::NaturalKeys natural;
    bool by_title = false;
    bool by_class = false;
    for (const tv::FseSortKey& key : keys) {
        if (key.property == tv::FseSortProperty::kTitle && !by_title) {
            by_title = true;
            natural.Reserve(count, entries.text.size() + 8 * count);
            for (std::string_view title : titles) natural.Add(title);
        }
        if (key.property == tv::FseSortProperty::kDate && dates.empty())
            dates = DatesOf(context, entries, subject, dir_fd);
        if (key.property == tv::FseSortProperty::kClass && ranks.empty()) {
            ranks.resize(count);
            for (std::size_t i = 0; i < count; ++i) ranks[i] = ClassRank(entries, i);
        }
        by_class = by_class || key.property == tv::FseSortProperty::kClass;
    }
    std::vector<std::uint32_t> order(count);
    for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (!by_class) {
            bool fa = IsFolderKind(entries.kinds[a]);
            bool fb = IsFolderKind(entries.kinds[b]);
            if (fa != fb) return fa;
        }
        for (const tv::FseSortKey& key : keys) {
            int c = 0;
            switch (key.property) {
            case tv::FseSortProperty::kTitle:
                c = natural.Compare(a, titles[a], b, titles[b]);
                break;
            case tv::FseSortProperty::kDate:
                c = dates[a] < dates[b] ? -1 : dates[a] > dates[b] ? 1 : 0;
                break;
            case tv::FseSortProperty::kClass:
                c = ranks[a] - ranks[b];
                break;
            }
            if (c != 0) return key.ascending ? c < 0 : c > 0;
        }
        return a < b;
    });
    return order;
}

std::size_t ListingBytes(const FseFolderEntries& entries)
{
    return entries.text.size() + entries.Count() * (sizeof(std::uint32_t) + sizeof(signed char));
}

std::size_t CachedBytes(const FseCachedFolder& cached)
{
    std::size_t bytes = cached.real.size() + ListingBytes(*cached.entries);
    for (const FseCachedOrder& order : cached.orders)
        bytes += order.order->size() * sizeof(std::uint32_t);
    return bytes;
}

// A change within the time stamps' granularity of the last one may leave them as they were:
// only a folder whose last change is further back is kept. File systems without parts of a
// second may keep two seconds.
bool Settled(const FseFolderStamp& stamp)
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const std::int64_t now_ns = static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    auto settled_since = [&](std::int64_t sec, std::int64_t nsec) {
        const std::int64_t margin = nsec != 0 ? 100'000'000 : 2'000'000'000;
        return sec * 1'000'000'000 + nsec + margin <= now_ns;
    };
    return settled_since(stamp.mtime_sec, stamp.mtime_nsec) &&
           settled_since(stamp.ctime_sec, stamp.ctime_nsec);
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
        if (query->modern != 0 && tv::FseLeftOutName(raw)) continue;
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
    if (query->modern != 0) SortListing(entries.get(), false);
    return entries;
}

// Tells the owner which folder a client now has a view of (today's listing).
void NoteSeen(FSE_Enumerator* fse, const FseQuery* query, int fd, const struct stat& st)
{
    if (fse->seen != nullptr && query->modern != 0)
        fse->seen(fse->seen_user, query->subject, fd, st);
}

// Makes room for `bytes` more among the kept listings, the oldest going first, never the one
// of `keep` (a listing: the folders' records move when one goes). Under the lock.
void EvictFor(FSE_Enumerator* fse, std::size_t bytes, const FseFolderEntries* keep)
{
    auto total = [&] {
        std::size_t sum = bytes;
        for (const FseCachedFolder& cached : fse->cache) sum += CachedBytes(cached);
        return sum;
    };
    while (total() > kCachedBytes) {
        auto oldest = fse->cache.end();
        for (auto it = fse->cache.begin(); it != fse->cache.end(); ++it)
            if (it->entries.get() != keep &&
                (oldest == fse->cache.end() || it->used < oldest->used))
                oldest = it;
        if (oldest == fse->cache.end()) return;
        fse->cache.erase(oldest);
    }
}

// The published children of the opened folder (at `real` by its text), from the cache while
// the folder is unchanged; *stamp receives the folder's stamp.
std::shared_ptr<const FseFolderEntries> FolderEntries(FSE_Enumerator* fse, FseQuery* query,
                                                      const std::string& real, int fd,
                                                      const tv::FileIoOpened& opened,
                                                      FseFolderStamp* stamp_out)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) return nullptr;
    const FseFolderStamp stamp = StampOf(st);
    *stamp_out = stamp;
    NoteSeen(fse, query, fd, st);
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
    if (entries == nullptr || !stable || !Settled(stamp) ||
        ListingBytes(*entries) + real.size() > kCachedBytes)
        return entries;
    std::scoped_lock hold(fse->cache_lock);
    std::erase_if(fse->cache, [&](const FseCachedFolder& cached) { return cached.real == real; });
    while (fse->cache.size() >= kCachedFolders) {
        auto oldest = std::min_element(
            fse->cache.begin(), fse->cache.end(),
            [](const FseCachedFolder& a, const FseCachedFolder& b) { return a.used < b.used; });
        fse->cache.erase(oldest);
    }
    EvictFor(fse, ListingBytes(*entries) + real.size(), nullptr);
    fse->cache.push_back(FseCachedFolder{real, stamp, entries, ++fse->cache_clock, {}});
    return entries;
}

// The listing's entries in the order the query's SortCriteria asks for; null for the listing's
// own order. Kept with the listing while the folder is unchanged.
std::shared_ptr<const std::vector<std::uint32_t>> OrderFor(
    FSE_Enumerator* fse, const FseQuery* query, const std::string& real,
    const FseFolderStamp& stamp, const std::shared_ptr<const FseFolderEntries>& entries, int fd,
    bool root)
{
    if (IsOwnOrder(query->sort)) return nullptr;
    auto find = [&]() -> FseCachedFolder* {
        for (FseCachedFolder& cached : fse->cache)
            if (!root && cached.real == real && cached.stamp == stamp && cached.entries == entries)
                return &cached;
        return nullptr;
    };
    {
        std::scoped_lock hold(fse->cache_lock);
        if (FseCachedFolder* cached = find()) {
            for (const FseCachedOrder& kept : cached->orders)
                if (kept.keys == query->sort) return kept.order;
        }
    }
    auto order = std::make_shared<const std::vector<std::uint32_t>>(
        OrderBy(query->context, *entries, root, query->sort, query->subject, fd));
    std::scoped_lock hold(fse->cache_lock);
    FseCachedFolder* cached = find();
    if (cached == nullptr) return order;
    if (cached->orders.size() >= kOrdersPerFolder) cached->orders.erase(cached->orders.begin());
    // Kept only within the bound, whatever else has to go for it.
    if (CachedBytes(*cached) + order->size() * sizeof(std::uint32_t) > kCachedBytes) return order;
    cached->orders.push_back(FseCachedOrder{query->sort, order});
    cached->used = ++fse->cache_clock;
    EvictFor(fse, 0, entries.get());
    return order;
}

// The root's children: the shared folders that are there, in today's order.
std::shared_ptr<const FseFolderEntries> RootEntries(FSE_Enumerator* fse)
{
    auto entries = std::make_shared<FseFolderEntries>();
    FseQuery probe;
    probe.modern = 1;
    probe.subject.assign(fse->root, static_cast<std::size_t>(fse->root_length));
    char name[tv::kFseNameCapacity];
    FileIo_DirEnum* dir =
        FileIo_OpenDirectory(fse->context, probe.subject.c_str(), name, sizeof name, nullptr);
    for (bool more = dir != nullptr; more; more = FileIo_NextEntry(dir, name, nullptr) != 0) {
        std::string_view folder = name;
        probe.current = probe.subject;
        probe.current += folder;
        probe.entry_type = FileIo_GetType(fse->context, probe.current.c_str());
        if (probe.entry_type == tv::kFseEntryFolder) probe.current += '\\';
        FsePathParts parts;
        FSE_ParsePath(fse, probe.current, &parts);
        if (FSE_Accept(fse, &probe, &parts) == 0) continue;
        entries->text.append(folder);
        entries->ends.push_back(static_cast<std::uint32_t>(entries->text.size()));
        entries->kinds.push_back(static_cast<signed char>(probe.entry_type));
    }
    FileIo_CloseDirectory(dir);
    SortListing(entries.get(), true);
    return entries;
}

// How many children a BrowseDirectChildren of the folder at the internal path lists.
std::uint32_t CountChildren(FSE_Enumerator* fse, const std::string& path)
{
    if (path == View(fse->root, fse->root_length))
        return static_cast<std::uint32_t>(RootEntries(fse)->Count());
    FseQuery probe;
    probe.modern = 1;
    probe.subject = path;
    tv::FileIoOpened opened;
    int fd = tv::FileIo_OpenShared(fse->context, path, O_RDONLY | O_DIRECTORY, &opened);
    if (fd < 0) return 0;
    std::string real;
    struct stat st {};
    std::uint32_t count = 0;
    if (tv::FileIo_RealPath(fse->context, path, &real) && ::fstat(fd, &st) == 0 &&
        S_ISDIR(st.st_mode)) {
        const FseFolderStamp stamp = StampOf(st);
        NoteSeen(fse, &probe, fd, st);
        bool known = false;
        {
            std::scoped_lock hold(fse->cache_lock);
            for (FseCachedFolder& cached : fse->cache) {
                if (cached.real == real && cached.stamp == stamp) {
                    count = static_cast<std::uint32_t>(cached.entries->Count());
                    known = true;
                }
            }
            auto counted = fse->counts->folders.find(real);
            if (!known && counted != fse->counts->folders.end() && counted->second.stamp == stamp) {
                counted->second.used = ++fse->cache_clock;
                count = counted->second.count;
                known = true;
            }
        }
        bool stable = false;
        std::shared_ptr<FseFolderEntries> entries =
            known ? nullptr : ReadFolder(fse, &probe, fd, opened, &stable);
        if (entries != nullptr) {
            count = static_cast<std::uint32_t>(entries->Count());
            if (stable && Settled(stamp)) {
                std::scoped_lock hold(fse->cache_lock);
                FseCounts& counts = *fse->counts;
                if (counts.folders.size() >= kCountedFolders) {
                    auto oldest = counts.folders.begin();
                    for (auto it = counts.folders.begin(); it != counts.folders.end(); ++it)
                        if (it->second.used < oldest->second.used) oldest = it;
                    counts.bytes -= oldest->first.size();
                    counts.folders.erase(oldest);
                }
                auto [at, added] = counts.folders.try_emplace(real);
                if (added) counts.bytes += real.size();
                at->second = FseCountedFolder{stamp, count, ++fse->cache_clock};
            }
        }
    }
    ::close(fd);
    return count;
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
    if (subject == "\\" && query->modern != 0) {
        std::shared_ptr<const FseFolderEntries> entries = RootEntries(fse);
        auto order = OrderFor(fse, query, {}, {}, entries, -1, true);
        query->listing = new FseListing{std::move(entries), 0, -1, std::move(order)};
        NextChild(query, {});
        return;
    }
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
    FseFolderStamp stamp;
    if (fd >= 0 && tv::FileIo_RealPath(query->context, subject, &real))
        entries = FolderEntries(fse, query, real, fd, opened, &stamp);
    if (entries != nullptr) {
        auto order = OrderFor(fse, query, real, stamp, entries, fd, false);
        query->listing = new FseListing{std::move(entries), 0, fd, std::move(order)};
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
    if (fse->modern) {
        query->modern = 1;
        const char* filter = request != nullptr ? request->filter : nullptr;
        query->child_counts = (CdsFilter_Parse(filter) & tv::kCdsFilterChildCount) != 0 ? 1 : 0;
        const char* criteria = request != nullptr ? request->sort_criteria : nullptr;
        if (kind != 0 &&
            !tv::FseParseSortCriteria(criteria != nullptr ? criteria : "", &query->sort))
            return Refuse(error, tv::kFseBadSortCriteria);
        // What is left out is not there, and nothing is still being uploaded.
        if (tv::FseLeftOutPath(subject)) return Refuse(error, tv::kFseNoSuchObject);
    }
    int type = FileIo_GetType(query->context, subject.c_str());
    if (type == 0 && query->modern != 0) return Refuse(error, tv::kFseNoSuchObject);
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
    if (query->modern != 0) return tv::MediaKindOf(extension, true).published ? 1 : 0;
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
CdsMediaClass FileClass(const FseQuery* query, const FsePathParts& parts, bool partial)
{
    if (query->modern != 0)
        return tv::MediaKindOf(View(parts.extension, parts.extension_length), true).media_class;
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
// file, a container's classes of children. Today's listing offers no uploads: every object
// is restricted and names no class to create, and a container tells how many it lists.
void FillClassDetails(FSE_Enumerator* fse, FseQuery* query, CdsObject* object,
                      std::string_view name, bool partial)
{
    if (query->modern != 0) {
        object->flags = tv::kCdsFlagRestricted;
        if (tv::CdsIsContainer(object->media_class)) {
            object->dlna_managed = 3;
            object->child_count = query->child_counts != 0
                                      ? static_cast<std::int32_t>(std::min<std::uint32_t>(
                                            CountChildren(fse, object->source_path), INT32_MAX))
                                      : 0;
            return;
        }
    }
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
                if (S_ISREG(st.st_mode)) {
                    query->object_size = static_cast<std::int64_t>(st.st_size);
                    query->object_device = static_cast<std::uint64_t>(st.st_dev);
                    query->object_inode = static_cast<std::uint64_t>(st.st_ino);
                    query->object_mtime_ns =
                        static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                        st.st_mtim.tv_nsec;
                }
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
void DescribeObject(FSE_Enumerator* fse, FseQuery* query, const FsePathParts& parts,
                    CdsObject* object)
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
    object->media_class = folder ? tv::kCdsClassStorageFolder : FileClass(query, parts, partial);
    FillClassDetails(fse, query, object, View(parts.name, parts.name_length), partial);
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
    if (selected) DescribeObject(fse, query, parts, object);
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

namespace tv {

void FSE_SetFolderSeen(FSE_Enumerator* fse, FseFolderSeenFn seen, void* user) noexcept
{
    fse->seen = seen;
    fse->seen_user = user;
}

void FSE_FolderChanged(FSE_Enumerator* fse, std::uint64_t device, std::uint64_t inode) noexcept
{
    std::scoped_lock hold(fse->cache_lock);
    for (FseCachedFolder& cached : fse->cache)
        if (cached.stamp.device == device && cached.stamp.inode == inode) cached.orders.clear();
}

std::size_t FSE_CachedBytes(FSE_Enumerator* fse) noexcept
{
    std::scoped_lock hold(fse->cache_lock);
    std::size_t bytes = 0;
    for (const FseCachedFolder& cached : fse->cache) bytes += CachedBytes(cached);
    if (fse->counts != nullptr)
        bytes += fse->counts->bytes + fse->counts->folders.size() * sizeof(FseCountedFolder);
    return bytes;
}

void FSE_DropCache(FSE_Enumerator* fse) noexcept
{
    std::scoped_lock hold(fse->cache_lock);
    fse->cache.clear();
    if (fse->counts != nullptr) *fse->counts = FseCounts{};
}

}  // namespace tv
