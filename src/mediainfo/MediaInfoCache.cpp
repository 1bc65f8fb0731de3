// The media-information cache: a map with a use list for the bound, and its file. The file is
// "mediainfo.cache": a magic word, the entry count, the entries, and an FNV-1a sum of all
// that, so a file cut short or changed anywhere reads as damaged. Thumbnails are files named
// by identity in "thumbnails/".
#include "mediainfo/MediaInfoCache.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "mediainfo/MediaInfoWire.h"
#include "runtime/UniqueFd.h"

namespace tv {
namespace {

constexpr std::string_view kMagic("TVMI\x01\x00\x00\x00", 8);
constexpr const char* kFileName = "mediainfo.cache";
constexpr const char* kThumbnailFolder = "thumbnails";
constexpr std::size_t kMaxFileBytes = 256u << 20;
constexpr std::size_t kMaxThumbnailFileBytes = 256u << 10;
// What a map node, its bucket and its use-list node cost beside the entry itself.
constexpr std::size_t kOverheadBytes = 64;

std::uint64_t Fnv1a(std::string_view bytes) noexcept
{
    std::uint64_t sum = 0xcbf29ce484222325ULL;
    for (char c : bytes) {
        sum ^= static_cast<unsigned char>(c);
        sum *= 0x100000001b3ULL;
    }
    return sum;
}

std::size_t HeapBytes(const std::string& text) noexcept
{
    // Short texts live inside the string itself.
    return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

bool WriteAll(int fd, std::string_view bytes) noexcept
{
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool ReadSmallFile(const std::string& path, std::size_t max_bytes, std::string* out)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    struct stat st {};
    if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) > max_bytes)
        return false;
    out->resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < out->size()) {
        ssize_t n = ::read(fd.get(), out->data() + done, out->size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool MakeFolder(const std::string& path) noexcept
{
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

// mkdir -p, for the cache folder's parents too (~/.cache may not exist yet).
bool MakeFolders(const std::string& path)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        MakeFolder(path.substr(0, slash));
    return MakeFolder(path);
}

// Writes `bytes` to a new file in `folder` and renames it to `name`: a reader sees the old
// file or the new one, whole.
bool ReplaceFile(const std::string& folder, const char* name, std::string_view bytes, bool sync)
{
    std::string temporary = folder + "/." + name + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) return false;
    bool ok = WriteAll(fd.get(), bytes) && (!sync || ::fsync(fd.get()) == 0);
    int error = errno;
    fd.reset();
    if (ok && ::rename(temporary.c_str(), (folder + "/" + name).c_str()) == 0) {
        if (sync) {
            UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dir) ::fsync(dir.get());
        }
        return true;
    }
    error = ok ? errno : error;
    ::unlink(temporary.c_str());
    errno = error;
    return false;
}

}  // namespace

std::size_t FileIdentityHash::operator()(const FileIdentity& id) const noexcept
{
    std::uint64_t h = id.inode * 0x9E3779B97F4A7C15ULL;
    h ^= id.device + 0x632BE59BD9B4E019ULL + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(id.size) + (h << 6) + (h >> 2);
    h ^= static_cast<std::uint64_t>(id.mtime_ns) + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
}

MediaInfoCache::MediaInfoCache(const MediaInfoCacheLimits& limits, std::string folder)
    : limits_(limits), folder_(std::move(folder))
{
}

std::size_t MediaInfoCache::BytesOf(const Entry& entry) noexcept
{
    const MediaInfoRecord& r = entry.record;
    std::size_t bytes = sizeof(Slot) + sizeof(FileIdentity) + kOverheadBytes;
    for (const std::string* text : {&r.title, &r.artist, &r.album, &r.genre, &r.date, &r.container,
                                    &r.audio_codec, &r.video_codec})
        bytes += HeapBytes(*text);
    return bytes;
}

const MediaInfoCache::Entry* MediaInfoCache::Find(const FileIdentity& identity, std::int64_t now_ns)
{
    auto at = map_.find(identity);
    if (at == map_.end()) return nullptr;
    if (at->second.entry.expires_ns != 0 && at->second.entry.expires_ns <= now_ns) {
        Erase(at);
        return nullptr;
    }
    uses_.splice(uses_.begin(), uses_, at->second.use);
    return &at->second.entry;
}

void MediaInfoCache::Insert(Entry entry)
{
    auto at = map_.find(entry.identity);
    if (at != map_.end()) Erase(at);
    if (entry.expires_ns == 0) dirty_ = true;
    FileIdentity identity = entry.identity;
    uses_.push_front(identity);
    Slot slot;
    slot.bytes = BytesOf(entry);
    slot.entry = std::move(entry);
    slot.use = uses_.begin();
    bytes_ += slot.bytes;
    map_.emplace(identity, std::move(slot));
    Trim();
}

void MediaInfoCache::Erase(std::unordered_map<FileIdentity, Slot, FileIdentityHash>::iterator at)
{
    if (at->second.entry.expires_ns == 0) dirty_ = true;
    auto picture = pictures_.find(at->first);
    if (picture != pictures_.end()) {
        thumbnail_bytes_ -= picture->second.jpeg.size();
        picture_uses_.erase(picture->second.use);
        pictures_.erase(picture);
    }
    bytes_ -= at->second.bytes;
    uses_.erase(at->second.use);
    map_.erase(at);
}

void MediaInfoCache::Trim()
{
    while (!uses_.empty() && (map_.size() > limits_.entries || bytes_ > limits_.bytes))
        Erase(map_.find(uses_.back()));
    while (!picture_uses_.empty() && thumbnail_bytes_ > limits_.thumbnail_bytes) {
        auto picture = pictures_.find(picture_uses_.back());
        thumbnail_bytes_ -= picture->second.jpeg.size();
        picture_uses_.pop_back();
        pictures_.erase(picture);
    }
}

void MediaInfoCache::PutKnown(const FileIdentity& identity, const MediaInfoRecord& record,
                              std::string thumbnail)
{
    Entry entry;
    entry.identity = identity;
    entry.state = State::kKnown;
    entry.record = record;
    entry.record.has_thumbnail = !thumbnail.empty();
    Insert(std::move(entry));
    if (!thumbnail.empty()) KeepThumbnail(identity, std::move(thumbnail));
}

void MediaInfoCache::PutFailed(const FileIdentity& identity)
{
    Entry entry;
    entry.identity = identity;
    entry.state = State::kFailed;
    Insert(std::move(entry));
}

void MediaInfoCache::PutPassingFailure(const FileIdentity& identity, std::int64_t now_ns)
{
    Entry entry;
    entry.identity = identity;
    entry.state = State::kFailed;
    entry.expires_ns = now_ns + kPassingFailureNs;
    Insert(std::move(entry));
}

bool MediaInfoCache::ThumbnailInMemory(const FileIdentity& identity, std::string* jpeg)
{
    auto at = pictures_.find(identity);
    if (at == pictures_.end()) return false;
    picture_uses_.splice(picture_uses_.begin(), picture_uses_, at->second.use);
    *jpeg = at->second.jpeg;
    return true;
}

void MediaInfoCache::KeepThumbnail(const FileIdentity& identity, std::string jpeg)
{
    if (map_.find(identity) == map_.end() || jpeg.size() > limits_.thumbnail_bytes) return;
    auto at = pictures_.find(identity);
    if (at != pictures_.end()) {
        thumbnail_bytes_ -= at->second.jpeg.size();
        picture_uses_.erase(at->second.use);
        pictures_.erase(at);
    }
    picture_uses_.push_front(identity);
    thumbnail_bytes_ += jpeg.size();
    pictures_.emplace(identity, Picture{std::move(jpeg), picture_uses_.begin()});
    Trim();
}

void MediaInfoCache::Merge(std::vector<Entry> loaded)
{
    bool dirty = dirty_;
    // Oldest use first, so that the loaded entries keep their order behind the new ones.
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) {
        if (map_.find(it->identity) != map_.end()) continue;
        FileIdentity identity = it->identity;
        uses_.push_back(identity);
        Slot slot;
        slot.bytes = BytesOf(*it);
        slot.entry = std::move(*it);
        slot.use = std::prev(uses_.end());
        bytes_ += slot.bytes;
        map_.emplace(identity, std::move(slot));
    }
    Trim();
    dirty_ = dirty;
}

std::string MediaInfoCache::Snapshot()
{
    std::string out(kMagic);
    WireWriter w(&out);
    std::size_t count_at = out.size();
    w.U64(0);
    std::uint64_t count = 0;
    // Most recent last: a reader that keeps fewer keeps the recent ones.
    for (auto it = uses_.rbegin(); it != uses_.rend(); ++it) {
        const Entry& e = map_.find(*it)->second.entry;
        if (e.expires_ns != 0) continue;
        w.U64(e.identity.device);
        w.U64(e.identity.inode);
        w.I64(e.identity.size);
        w.I64(e.identity.mtime_ns);
        w.U8(static_cast<std::uint8_t>(e.state));
        if (e.state == State::kKnown) Wire_PutRecord(&w, e.record);
        ++count;
    }
    for (int i = 0; i < 8; ++i) out[count_at + i] = static_cast<char>(count >> (8 * i));
    w.U64(Fnv1a(out));
    dirty_ = false;
    return out;
}

std::vector<std::string> MediaInfoCache::ThumbnailNames() const
{
    std::vector<std::string> names;
    for (const auto& [identity, slot] : map_)
        if (slot.entry.record.has_thumbnail) names.push_back(ThumbnailName(identity));
    return names;
}

bool MediaInfoCache::ReadFile(const std::string& folder, std::vector<Entry>* entries, bool* damaged)
{
    *damaged = false;
    entries->clear();
    std::string bytes;
    std::string path = folder + "/" + kFileName;
    if (!ReadSmallFile(path, kMaxFileBytes, &bytes)) {
        struct stat st {};
        *damaged = ::stat(path.c_str(), &st) == 0;  // there, but not a file we can take
        return false;
    }
    *damaged = true;
    if (bytes.size() < kMagic.size() + 16 || bytes.compare(0, kMagic.size(), kMagic) != 0)
        return false;
    std::string_view body(bytes.data(), bytes.size() - 8);
    WireReader sum(std::string_view(bytes).substr(body.size()));
    std::uint64_t expected = 0;
    if (!sum.U64(&expected) || expected != Fnv1a(body)) return false;
    WireReader r(body.substr(kMagic.size()));
    std::uint64_t count = 0;
    if (!r.U64(&count) || count > body.size()) return false;
    std::vector<Entry> read;
    read.reserve(static_cast<std::size_t>(count));
    for (std::uint64_t i = 0; i < count; ++i) {
        Entry e;
        std::uint8_t state = 0;
        if (!r.U64(&e.identity.device) || !r.U64(&e.identity.inode) || !r.I64(&e.identity.size) ||
            !r.I64(&e.identity.mtime_ns) || !r.U8(&state))
            return false;
        if (state != static_cast<std::uint8_t>(State::kKnown) &&
            state != static_cast<std::uint8_t>(State::kFailed))
            return false;
        e.state = static_cast<State>(state);
        if (e.state == State::kKnown && !Wire_GetRecord(&r, &e.record)) return false;
        read.push_back(std::move(e));
    }
    if (!r.AtEnd()) return false;
    *entries = std::move(read);
    *damaged = false;
    return true;
}

bool MediaInfoCache::WriteFile(const std::string& folder, std::string_view snapshot,
                               const std::vector<std::string>& thumbnails)
{
    if (!MakeFolders(folder) || !ReplaceFile(folder, kFileName, snapshot, true)) return false;
    std::string pictures = folder + "/" + kThumbnailFolder;
    DIR* dir = ::opendir(pictures.c_str());
    if (dir == nullptr) return true;
    std::unordered_set<std::string> kept(thumbnails.begin(), thumbnails.end());
    std::vector<std::string> stale;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (kept.find(std::string(name)) == kept.end()) stale.emplace_back(name);
    }
    ::closedir(dir);
    for (const std::string& name : stale) ::unlink((pictures + "/" + name).c_str());
    return true;
}

std::string MediaInfoCache::ThumbnailName(const FileIdentity& identity)
{
    char name[96];
    std::snprintf(name, sizeof name, "%llx-%llx-%llx-%llx.jpg",
                  static_cast<unsigned long long>(identity.device),
                  static_cast<unsigned long long>(identity.inode),
                  static_cast<unsigned long long>(identity.size),
                  static_cast<unsigned long long>(identity.mtime_ns));
    return name;
}

bool MediaInfoCache::ReadThumbnail(const std::string& folder, const FileIdentity& identity,
                                   std::string* jpeg)
{
    std::string path = folder + "/" + kThumbnailFolder + "/" + ThumbnailName(identity);
    // A file cut short by a crash after its rename is no JPEG: its end marker is missing.
    return ReadSmallFile(path, kMaxThumbnailFileBytes, jpeg) && jpeg->size() >= 4 &&
           jpeg->compare(0, 2, "\xFF\xD8") == 0 &&
           jpeg->compare(jpeg->size() - 2, 2, "\xFF\xD9") == 0;
}

bool MediaInfoCache::WriteThumbnail(const std::string& folder, const FileIdentity& identity,
                                    std::string_view jpeg)
{
    std::string pictures = folder + "/" + kThumbnailFolder;
    if (!MakeFolders(pictures)) return false;
    // No fsync for each: a thumbnail lost to a crash is made again, a torn one is refused.
    return ReplaceFile(pictures, ThumbnailName(identity).c_str(), jpeg, false);
}

}  // namespace tv
