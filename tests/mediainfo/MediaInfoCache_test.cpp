#include "mediainfo/MediaInfoCache.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <stdlib.h>

using tv::FileIdentity;
using tv::MediaInfoCache;

namespace {

class TempFolder {
public:
    TempFolder()
    {
        char pattern[] = "/tmp/tv-mediainfo-cache-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TempFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

FileIdentity Id(std::uint64_t inode)
{
    return FileIdentity{7, inode, 1000 + static_cast<std::int64_t>(inode), 1700000000123456789};
}

tv::MediaInfoRecord Record(const std::string& title)
{
    tv::MediaInfoRecord r;
    r.title = title;
    r.artist = "An artist whose name is longer than a short string";
    r.duration_ms = 3030;
    r.container = "mp3";
    return r;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

TEST(MediaInfoCache, BoundedByEntriesAndBytesLeastRecentlyUsedFirst)
{
    tv::MediaInfoCacheLimits limits;
    limits.entries = 100;
    limits.bytes = 1u << 30;
    limits.thumbnail_bytes = 1000;
    MediaInfoCache cache(limits, "");
    for (std::uint64_t i = 0; i < 100; ++i) cache.PutKnown(Id(i), Record("t"), {});
    ASSERT_NE(cache.Find(Id(0), 0), nullptr);  // now the most recent
    cache.PutKnown(Id(100), Record("t"), {});
    EXPECT_EQ(cache.Entries(), 100u);
    EXPECT_NE(cache.Find(Id(0), 0), nullptr);
    EXPECT_EQ(cache.Find(Id(1), 0), nullptr);

    // The byte bound holds what the records take, long texts included.
    std::size_t per_entry = cache.Bytes() / cache.Entries();
    limits.entries = 1000000;
    limits.bytes = 50 * per_entry;
    MediaInfoCache small(limits, "");
    for (std::uint64_t i = 0; i < 1000; ++i) small.PutKnown(Id(i), Record("t"), {});
    EXPECT_LE(small.Bytes(), limits.bytes);
    EXPECT_GE(small.Entries(), 45u);
    small.PutKnown(Id(5000), Record(std::string(900, 'x')), {});
    EXPECT_LE(small.Bytes(), limits.bytes);
    EXPECT_NE(small.Find(Id(5000), 0), nullptr);

    // Thumbnails in memory have their own bound; an entry that goes takes its picture along.
    cache.PutKnown(Id(200), Record("a"), std::string(600, 'a'));
    cache.PutKnown(Id(201), Record("b"), std::string(600, 'b'));
    std::string jpeg;
    EXPECT_FALSE(cache.ThumbnailInMemory(Id(200), &jpeg));
    EXPECT_TRUE(cache.ThumbnailInMemory(Id(201), &jpeg));
    EXPECT_EQ(jpeg, std::string(600, 'b'));
    EXPECT_LE(cache.ThumbnailBytes(), limits.thumbnail_bytes);
}

TEST(MediaInfoCache, SurvivesARestartThroughItsFile)
{
    TempFolder folder;
    std::string nested = folder.path() + "/home/.cache/tindravoller";  // made as needed
    MediaInfoCache cache(tv::MediaInfoCacheLimits{}, nested);
    tv::MediaInfoRecord with_picture = Record("Caf\xC3\xA9");
    cache.PutKnown(Id(1), with_picture, "\xFF\xD8pic\xFF\xD9");
    ASSERT_TRUE(MediaInfoCache::WriteThumbnail(nested, Id(1), "\xFF\xD8pic\xFF\xD9"));
    ASSERT_TRUE(MediaInfoCache::WriteThumbnail(nested, Id(9), "\xFF\xD8old\xFF\xD9"));
    cache.PutKnown(Id(2), Record("two"), {});
    cache.PutFailed(Id(3));
    cache.PutPassingFailure(Id(4), 0);
    EXPECT_TRUE(cache.Dirty());
    std::string snapshot = cache.Snapshot();
    EXPECT_FALSE(cache.Dirty());
    ASSERT_TRUE(MediaInfoCache::WriteFile(nested, snapshot, cache.ThumbnailNames()));

    std::vector<MediaInfoCache::Entry> entries;
    bool damaged = true;
    ASSERT_TRUE(MediaInfoCache::ReadFile(nested, &entries, &damaged));
    EXPECT_FALSE(damaged);
    MediaInfoCache again(tv::MediaInfoCacheLimits{}, nested);
    again.PutKnown(Id(2), Record("newer"), {});  // made before the file came in: it wins
    again.Merge(std::move(entries));
    EXPECT_FALSE(again.Find(Id(4), 0)) << "a passing failure is never written";
    ASSERT_NE(again.Find(Id(3), 0), nullptr);
    EXPECT_EQ(again.Find(Id(3), 0)->state, MediaInfoCache::State::kFailed);
    ASSERT_NE(again.Find(Id(2), 0), nullptr);
    EXPECT_EQ(again.Find(Id(2), 0)->record.title, "newer");
    ASSERT_NE(again.Find(Id(1), 0), nullptr);
    tv::MediaInfoRecord expected = with_picture;
    expected.has_thumbnail = true;
    EXPECT_EQ(again.Find(Id(1), 0)->record, expected);
    std::string jpeg;
    EXPECT_TRUE(MediaInfoCache::ReadThumbnail(nested, Id(1), &jpeg));
    EXPECT_EQ(jpeg, "\xFF\xD8pic\xFF\xD9");
    EXPECT_FALSE(MediaInfoCache::ReadThumbnail(nested, Id(9), &jpeg)) << "no entry names it";
    // A changed file is another identity: nothing is known about it.
    FileIdentity touched = Id(1);
    touched.mtime_ns += 1;
    EXPECT_EQ(again.Find(touched, 0), nullptr);
    // A thumbnail cut short (a crash after its rename) is refused.
    std::string picture = nested + "/thumbnails/" + MediaInfoCache::ThumbnailName(Id(1));
    WriteAll(picture, "\xFF\xD8pi");
    EXPECT_FALSE(MediaInfoCache::ReadThumbnail(nested, Id(1), &jpeg));
}

TEST(MediaInfoCache, DamagedFileIsRefusedWhole)
{
    TempFolder folder;
    std::vector<MediaInfoCache::Entry> entries;
    bool damaged = true;
    EXPECT_FALSE(MediaInfoCache::ReadFile(folder.path(), &entries, &damaged));
    EXPECT_FALSE(damaged) << "no file is not a damaged file";

    MediaInfoCache cache(tv::MediaInfoCacheLimits{}, folder.path());
    for (std::uint64_t i = 0; i < 20; ++i) cache.PutKnown(Id(i), Record("t"), {});
    ASSERT_TRUE(MediaInfoCache::WriteFile(folder.path(), cache.Snapshot(), {}));
    std::string path = folder.path() + "/mediainfo.cache";
    std::string good = ReadAll(path);
    ASSERT_TRUE(MediaInfoCache::ReadFile(folder.path(), &entries, &damaged));
    EXPECT_EQ(entries.size(), 20u);

    std::vector<std::string> bad = {"", "TVMI", good.substr(0, good.size() / 2),
                                    good.substr(0, good.size() - 1), good + "x"};
    for (std::size_t at : {std::size_t{0}, std::size_t{9}, good.size() / 2, good.size() - 1}) {
        std::string flipped = good;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        bad.push_back(flipped);
    }
    for (const std::string& bytes : bad) {
        WriteAll(path, bytes);
        entries.assign(3, {});
        EXPECT_FALSE(MediaInfoCache::ReadFile(folder.path(), &entries, &damaged)) << bytes.size();
        EXPECT_TRUE(damaged);
        EXPECT_TRUE(entries.empty());
    }
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_FALSE(MediaInfoCache::ReadFile(folder.path(), &entries, &damaged));
    EXPECT_TRUE(damaged);
}

TEST(MediaInfoCache, PassingFailureEndsAfterItsTime)
{
    MediaInfoCache cache(tv::MediaInfoCacheLimits{}, "");
    cache.PutPassingFailure(Id(1), 1000);
    EXPECT_FALSE(cache.Dirty());
    ASSERT_NE(cache.Find(Id(1), 1000 + tv::kPassingFailureNs - 1), nullptr);
    EXPECT_EQ(cache.Find(Id(1), 1000 + tv::kPassingFailureNs), nullptr);
    EXPECT_EQ(cache.Entries(), 0u);
}
