// What is known about media files, by file identity: in memory with a bound (entries and
// bytes, least recently used out first), and on disk in one file written whole (temporary
// file, fsync, rename) with each thumbnail a file of its own beside it. Not locked: its owner
// (MediaInfo) holds its lock around every call; the file work has its own calls that need no
// lock (ReadFile, WriteFile, ReadThumbnail, WriteThumbnail).
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mediainfo/MediaInfoRecord.h"

namespace tv {

struct MediaInfoCacheLimits {
    std::size_t entries = 50000;
    std::size_t bytes = 24u << 20;           // records, with their texts and bookkeeping
    std::size_t thumbnail_bytes = 1u << 20;  // JPEGs kept in memory besides those on disk
};

// Failures that are not the file's (it could not be opened, it changed meanwhile) are kept
// this long and never written.
inline constexpr std::int64_t kPassingFailureNs = 60LL * 1000 * 1000 * 1000;

struct FileIdentityHash {
    std::size_t operator()(const FileIdentity& id) const noexcept;
};

class MediaInfoCache {
public:
    enum class State : std::uint8_t { kKnown = 1, kFailed = 2 };

    struct Entry {
        FileIdentity identity;
        State state = State::kKnown;
        std::int64_t expires_ns = 0;  // a passing failure's end (monotonic); 0 for the others
        MediaInfoRecord record;
    };

    // `folder` empty: memory only.
    MediaInfoCache(const MediaInfoCacheLimits& limits, std::string folder);

    // Null when unknown (or a passing failure that ended); counts as a use.
    const Entry* Find(const FileIdentity& identity, std::int64_t now_ns);
    void PutKnown(const FileIdentity& identity, const MediaInfoRecord& record,
                  std::string thumbnail);
    // A file that the helper could not read, crashed or ran out of time on: kept and written.
    void PutFailed(const FileIdentity& identity);
    // Kept for kPassingFailureNs from now_ns, never written.
    void PutPassingFailure(const FileIdentity& identity, std::int64_t now_ns);

    // From memory; false when it is not there (it may still be on disk).
    bool ThumbnailInMemory(const FileIdentity& identity, std::string* jpeg);
    void KeepThumbnail(const FileIdentity& identity, std::string jpeg);

    // The entries of a cache file read earlier (ReadFile) join the ones made meanwhile,
    // which win.
    void Merge(std::vector<Entry> loaded);

    // The file's contents for WriteFile: every entry but passing failures. Clears dirty.
    std::string Snapshot();
    // File names of the thumbnails that entries refer to (for WriteFile's sweep).
    std::vector<std::string> ThumbnailNames() const;
    bool Dirty() const noexcept { return dirty_; }

    std::size_t Entries() const noexcept { return map_.size(); }
    std::size_t Bytes() const noexcept { return bytes_; }
    std::size_t ThumbnailBytes() const noexcept { return thumbnail_bytes_; }
    const std::string& Folder() const noexcept { return folder_; }

    // ---- File work; no lock needed ----

    // The cache file's entries; false when there is none. A damaged file gives false and
    // *damaged true (the caller logs it once; the next write replaces it).
    static bool ReadFile(const std::string& folder, std::vector<Entry>* entries, bool* damaged);
    // Writes the snapshot whole and removes thumbnail files no entry names. False with errno.
    static bool WriteFile(const std::string& folder, std::string_view snapshot,
                          const std::vector<std::string>& thumbnails);
    static bool ReadThumbnail(const std::string& folder, const FileIdentity& identity,
                              std::string* jpeg);
    static bool WriteThumbnail(const std::string& folder, const FileIdentity& identity,
                               std::string_view jpeg);
    static std::string ThumbnailName(const FileIdentity& identity);

private:
    struct Slot {
        Entry entry;
        std::list<FileIdentity>::iterator use;
        std::size_t bytes = 0;
    };
    struct Picture {
        std::string jpeg;
        std::list<FileIdentity>::iterator use;
    };

    void Insert(Entry entry);
    void Erase(std::unordered_map<FileIdentity, Slot, FileIdentityHash>::iterator at);
    void Trim();
    static std::size_t BytesOf(const Entry& entry) noexcept;

    MediaInfoCacheLimits limits_;
    std::string folder_;
    std::unordered_map<FileIdentity, Slot, FileIdentityHash> map_;
    std::list<FileIdentity> uses_;  // most recent first
    std::size_t bytes_ = 0;
    std::unordered_map<FileIdentity, Picture, FileIdentityHash> pictures_;
    std::list<FileIdentity> picture_uses_;
    std::size_t thumbnail_bytes_ = 0;
    bool dirty_ = false;
};

}  // namespace tv
