#include "content/FileSystemEnumerator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cds/CdsObject.h"
#include "mediaserver/FileIoAbstraction.h"
#include "mediaserver/MediaServerAbstraction.h"
#include "runtime/Memory.h"
#include "runtime/OlvParsers.h"
#include "support/TempTree.h"
#include "support/TestContext.h"

namespace {

using tv::test::TempTree;

struct Seen {
    std::string id;
    std::string parent_id;
    std::string title;
    CdsMediaClass media_class = 0;
    std::int32_t date = 0;
    std::uint32_t dlna_managed = 0;
    std::vector<CdsMediaClass> create_classes;
    std::string source_path;
    std::uint8_t flags = 0;
    std::int32_t child_count = 0;
};

struct Outcome {
    int error = 0;
    std::vector<Seen> objects;
};

class Enumerator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(tree_.ok());
        context_->folders = tree_.folders();
        fse_ = FSE_Create(nullptr, context_.get(), "\\", "content");
    }
    void TearDown() override { Free(fse_); }

    // Made without a chain: the test frees it the way the chain would.
    static void Free(FSE_Enumerator* fse)
    {
        auto* hooks = reinterpret_cast<tv::ChainHooks*>(fse);
        hooks->destroy(fse);
        ::operator delete(fse);
    }

    // From now on the enumerator lists as today's TVs expect.
    void UseTodaysListing()
    {
        Free(fse_);
        context_->options.modern_listing = true;
        fse_ = FSE_Create(nullptr, context_.get(), "\\", "content");
    }

    Outcome Run(const std::string& id, int kind, const char* filter = nullptr,
                const char* sort = nullptr)
    {
        Outcome out;
        MSA_BrowseRequest request;
        request.kind = kind;
        request.object_id = const_cast<char*>(id.c_str());
        request.filter = const_cast<char*>(filter);
        request.sort_criteria = const_cast<char*>(sort);
        FseQuery* query = FSE_OpenQuery(fse_, &request, &out.error);
        if (query == nullptr) return out;
        for (int guard = 0; guard < 1000; ++guard) {
            CdsObject* object = CdsObject_Allocate();
            if (FSE_HandleProcessObject(fse_, &request, query, object) == 0) {
                EXPECT_EQ(object->id, nullptr);
                CdsObject_Release(object);
                break;
            }
            Seen seen;
            seen.id = object->id;
            seen.parent_id = object->parent_id;
            seen.title = object->title;
            seen.media_class = object->media_class;
            seen.date = object->date;
            seen.dlna_managed = object->dlna_managed;
            seen.source_path = object->source_path != nullptr ? object->source_path : "";
            seen.flags = object->flags;
            seen.child_count = object->child_count;
            for (CdsClassEntry* e = object->create_classes; e != nullptr; e = e->next) {
                EXPECT_NE(e->include_derived, 0);
                seen.create_classes.push_back(e->media_class);
            }
            out.objects.push_back(seen);
            CdsObject_Release(object);
        }
        EXPECT_EQ(FSE_CloseQuery(fse_, query), 0);
        return out;
    }

    static std::map<std::string, Seen> ByTitle(const Outcome& outcome)
    {
        std::map<std::string, Seen> map;
        for (const Seen& s : outcome.objects) map[s.title] = s;
        return map;
    }

    // ObjectID of a shared folder.
    static std::string FolderId(const std::string& folder)
    {
        return "0\\" + tv::FileIoEscapeFolder(folder) + "\\";
    }

    TempTree tree_;
    tv::test::TestContext context_;
    FSE_Enumerator* fse_ = nullptr;
};

const std::vector<CdsMediaClass> kCreateClasses = {0xA000, 0xA400, 0xB000, 0x4000};

TEST_F(Enumerator, RootListsTheSharedFoldersInTableOrder)
{
    std::string music = tree_.Dir("Music");
    std::string video = tree_.Dir("Video");
    std::string gone = tree_.Path("Gone");

    ASSERT_TRUE(tree_.Share({}));
    EXPECT_TRUE(Run("0", 1).objects.empty());

    ASSERT_TRUE(tree_.Share({music}));
    Outcome one = Run("0", 1);
    ASSERT_EQ(one.objects.size(), 1u);
    EXPECT_EQ(one.objects[0].id, FolderId(music));
    EXPECT_EQ(one.objects[0].parent_id, "0");
    EXPECT_EQ(one.objects[0].title, "Music");
    EXPECT_EQ(one.objects[0].media_class, 0x5400u);
    EXPECT_EQ(one.objects[0].dlna_managed, 3u);
    EXPECT_EQ(one.objects[0].create_classes, kCreateClasses);

    // A shared folder that no longer exists is left out; the order is the table's.
    ASSERT_TRUE(tree_.Share({video, gone, music, "/"}));
    Outcome several = Run("0", 1);
    ASSERT_EQ(several.objects.size(), 3u);
    EXPECT_EQ(several.objects[0].title, "Video");
    EXPECT_EQ(several.objects[1].title, "Music");
    EXPECT_EQ(several.objects[2].title, "/");
    EXPECT_EQ(several.objects[2].id, "0\\%2F\\");

    // Only the upper-case escapes are undone, in the path as in the title: a folder whose
    // name holds "%2f" keeps it in both, and its identifier names it again.
    std::string odd = tree_.Dir("50%2f50");
    tree_.File("50%2f50/a.mp3");
    ASSERT_TRUE(tree_.Share({odd}));
    Outcome root = Run("0", 1);
    ASSERT_EQ(root.objects.size(), 1u);
    EXPECT_EQ(root.objects[0].title, "50%2f50");
    Outcome again = Run(root.objects[0].id, 0);
    ASSERT_EQ(again.objects.size(), 1u);
    EXPECT_EQ(again.objects[0].title, "50%2f50");
    Outcome inside = Run(root.objects[0].id, 1);
    ASSERT_EQ(inside.objects.size(), 1u);
    EXPECT_EQ(inside.objects[0].title, "a.mp3");
}

TEST_F(Enumerator, RootMetadataAndShortIdentifiers)
{
    ASSERT_TRUE(tree_.Share({tree_.Dir("Music")}));
    for (const char* id : {"0", "1", ""}) {
        Outcome out = Run(id, 0);
        ASSERT_EQ(out.objects.size(), 1u) << id;
        EXPECT_EQ(out.objects[0].id, "0");
        EXPECT_EQ(out.objects[0].parent_id, "-1");
        EXPECT_EQ(out.objects[0].title, "Root");
        EXPECT_EQ(out.objects[0].media_class, 0x5400u);
    }
    // Search yields nothing, on the root as on any folder.
    EXPECT_TRUE(Run("0", 2).objects.empty());
    EXPECT_EQ(Run("0", 2).error, 0);
}

TEST_F(Enumerator, FolderPublishesKnownExtensionsAndPartialFiles)
{
    std::string music = tree_.Dir("Music");
    tree_.File("Music/a.mp3");
    tree_.File("Music/b.JPG");
    tree_.File("Music/c.jpeg");
    tree_.File("Music/d.txt");
    tree_.File("Music/e.mp3.tmp");
    tree_.Dir("Music/Rock");
    ASSERT_TRUE(tree_.Share({music}));
    struct stat st {};
    ASSERT_EQ(::stat((music + "/a.mp3").c_str(), &st), 0);

    const std::string folder = FolderId(music);
    auto children = ByTitle(Run(folder, 1));
    ASSERT_EQ(children.size(), 4u);
    ASSERT_TRUE(children.count("a.mp3"));
    EXPECT_EQ(children["a.mp3"].id, folder + "a.mp3");
    EXPECT_EQ(children["a.mp3"].parent_id, folder);
    EXPECT_EQ(children["a.mp3"].media_class, 0xA000u);
    EXPECT_EQ(children["a.mp3"].dlna_managed, 4u);
    EXPECT_EQ(children["a.mp3"].date, static_cast<std::int32_t>(st.st_mtime));
    EXPECT_EQ(children["a.mp3"].source_path, "\\" + folder.substr(2) + "a.mp3");
    ASSERT_TRUE(children.count("b.JPG"));
    EXPECT_EQ(children["b.JPG"].media_class, 0xA400u);
    ASSERT_TRUE(children.count("e.mp3"));
    EXPECT_EQ(children["e.mp3"].id, folder + "e.mp3");
    EXPECT_EQ(children["e.mp3"].media_class, 0xA000u);
    EXPECT_EQ(children["e.mp3"].date, 0);
    ASSERT_TRUE(children.count("Rock"));
    EXPECT_EQ(children["Rock"].id, folder + "Rock\\");
    EXPECT_EQ(children["Rock"].parent_id, folder);
    EXPECT_EQ(children["Rock"].create_classes, kCreateClasses);

    // Metadata of each kind of object.
    Outcome self = Run(folder, 0);
    ASSERT_EQ(self.objects.size(), 1u);
    EXPECT_EQ(self.objects[0].id, folder);
    EXPECT_EQ(self.objects[0].title, "Music");
    Outcome without_slash = Run(folder.substr(0, folder.size() - 1), 0);
    ASSERT_EQ(without_slash.objects.size(), 1u);
    EXPECT_EQ(without_slash.objects[0].id, folder);
    std::string slashed = folder;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    EXPECT_EQ(Run(slashed, 0).objects.size(), 1u);

    Outcome file = Run(folder + "a.mp3", 0);
    ASSERT_EQ(file.objects.size(), 1u);
    EXPECT_EQ(file.objects[0].title, "a.mp3");
    EXPECT_EQ(file.objects[0].parent_id, folder);

    Outcome unpublished = Run(folder + "d.txt", 0);
    EXPECT_EQ(unpublished.error, 0);
    EXPECT_TRUE(unpublished.objects.empty());

    Outcome partial = Run(folder + "e.mp3", 0);
    ASSERT_EQ(partial.objects.size(), 1u);
    EXPECT_EQ(partial.objects[0].id, folder + "e.mp3");
    EXPECT_EQ(partial.objects[0].title, "e.mp3");
    EXPECT_EQ(partial.objects[0].media_class, 0xA000u);
    EXPECT_EQ(partial.objects[0].date, 0);

    Outcome sub = Run(folder + "Rock\\", 1);
    EXPECT_EQ(sub.error, 0);
    EXPECT_TRUE(sub.objects.empty());
}

TEST_F(Enumerator, ErrorCodes)
{
    std::string music = tree_.Dir("Music");
    tree_.File("Music/a.mp3");
    tree_.File("Music/e.mp3.tmp");
    ASSERT_TRUE(tree_.Share({music}));
    const std::string folder = FolderId(music);

    EXPECT_EQ(Run(folder + "missing.mp3", 0).error, 701);
    EXPECT_EQ(Run(folder + "missing\\", 1).error, 701);
    EXPECT_EQ(Run(folder + "a.mp3", 1).error, 710);
    EXPECT_EQ(Run(folder + "a.mp3", 2).error, 710);
    EXPECT_EQ(Run(folder + "e.mp3", 1).error, 710);
    Outcome search = Run(folder, 2);
    EXPECT_EQ(search.error, 0);
    EXPECT_TRUE(search.objects.empty());

    // Nothing is cached: a folder taken out of the table is gone for the next request.
    ASSERT_TRUE(tree_.Share({}));
    EXPECT_EQ(Run(folder, 0).error, 701);
    EXPECT_EQ(Run(folder + "a.mp3", 0).error, 701);
}

TEST_F(Enumerator, OddNamesListAndRoundTrip)
{
    std::string music = tree_.Dir("My Music");
    const std::vector<std::string> names = {"a b.mp3", "rock & roll.mp3", "100%.mp3",
                                            "#1.mp3",  "Ærø – 東京.mp3",  "back\\slash.mp3"};
    for (const std::string& name : names) tree_.File("My Music/" + name);
    tree_.Dir("My Music/Sub & Co");
    tree_.File("My Music/Sub & Co/x.mp3");
    ASSERT_TRUE(tree_.Share({music}));

    auto children = ByTitle(Run(FolderId(music), 1));
    ASSERT_EQ(children.size(), names.size() + 1);
    for (const std::string& name : names) {
        ASSERT_TRUE(children.count(name)) << name;
        const Seen& seen = children[name];
        // The identifier names the object again.
        Outcome again = Run(seen.id, 0);
        ASSERT_EQ(again.objects.size(), 1u) << name;
        EXPECT_EQ(again.objects[0].title, name);

        // Through a URL and back: escaped by the content source, decoded by the server.
        char* url_path = FSE_PathToUrlPath(fse_, seen.source_path.c_str());
        std::string url = "http://127.0.0.1:5/content/" + std::string(url_path);
        tv::Free(url_path);
        std::vector<char> escaped(static_cast<std::size_t>(OlvHttpEscapeLength(url.c_str())));
        OlvHttpEscape(escaped.data(), url.c_str());
        std::string request(escaped.data());
        request = request.substr(request.find("/content/") + 8);  // the path below "content"
        int length = OlvHttpUnescapeInPlace(request.data());
        char path[2048];
        int written = FSE_UrlPathToPath(fse_, request.data(), length, path, sizeof path);
        ASSERT_GT(written, 0);
        std::string internal = "\\" + std::string(path, static_cast<std::size_t>(written));
        EXPECT_EQ(internal, seen.source_path) << name;
        EXPECT_EQ(FileIo_GetType(context_.get(), internal.c_str()), 1) << name;
    }
    ASSERT_TRUE(children.count("Sub & Co"));
    Outcome sub = Run(children["Sub & Co"].id, 1);
    ASSERT_EQ(sub.objects.size(), 1u);
    EXPECT_EQ(sub.objects[0].parent_id, children["Sub & Co"].id);
}

TEST_F(Enumerator, NamesThatAreNotUtf8TextAreLeftOut)
{
    std::string music = tree_.Dir("Music");
    tree_.File("Music/good.mp3");
    tree_.File("Music/bad\xE9.mp3");  // Latin-1, not UTF-8
    tree_.File("Music/ctl\x01.mp3");  // no XML 1.0 character
    tree_.Dir("Music/bad\xFF");
    ASSERT_TRUE(tree_.Share({music}));

    Outcome out = Run(FolderId(music), 1);
    ASSERT_EQ(out.objects.size(), 1u);
    EXPECT_EQ(out.objects[0].title, "good.mp3");
    // Asked for directly, such an object yields nothing rather than broken text.
    Outcome direct = Run(FolderId(music) + "bad\xE9.mp3", 0);
    EXPECT_EQ(direct.error, 0);
    EXPECT_TRUE(direct.objects.empty());

    EXPECT_TRUE(tv::FseIsXmlSafeName("\xC3\xA6\xE6\x9D\xB1\xF0\x9F\x8E\xB5", 9));
    EXPECT_FALSE(tv::FseIsXmlSafeName("\xC0\xAF", 2));      // overlong "/"
    EXPECT_FALSE(tv::FseIsXmlSafeName("\xED\xA0\x80", 3));  // surrogate
    EXPECT_FALSE(tv::FseIsXmlSafeName("\xE6\x9D", 2));      // cut short
    EXPECT_FALSE(tv::FseIsXmlSafeName("\xEF\xBF\xBE", 3));  // U+FFFE
}

TEST_F(Enumerator, NothingOutsideTheSharedFoldersCanBeNamed)
{
    std::string music = tree_.Dir("Music");
    tree_.File("Music/a.mp3");
    tree_.Dir("Music/Sub");
    std::string secret_dir = tree_.Dir("Secret");
    tree_.File("Secret/s.mp3");
    ASSERT_TRUE(tree_.Share({music}));
    const std::string folder = FolderId(music);
    const std::string secret = FolderId(secret_dir);
    const std::string parent = FolderId(tree_.root());

    const std::vector<std::string> outside = {
        secret,  // not shared
        secret + "s.mp3",
        parent,  // the shared folder's parent
        parent + "Secret\\s.mp3",
        "0\\%2Fetc\\",
        "0\\%2Fetc%2Fpasswd",
        "0\\%2f" + tv::FileIoEscapeFolder(secret_dir).substr(3) + "\\",  // lower-case escape
        folder + "..\\",
        folder + "..\\Secret\\s.mp3",
        folder + "Sub\\..\\..\\Secret\\",
        folder + ".\\a.mp3",
        folder + "..%2FSecret%2Fs.mp3",
        folder + "Sub%2F..%2F..%2FSecret\\",
        folder + "..%2F..%2F..%2Fetc%2Fpasswd",
        "0/" + tv::FileIoEscapeFolder(music) + "/../Secret/s.mp3",
    };
    for (const std::string& id : outside) {
        for (int kind : {0, 1}) {
            Outcome out = Run(id, kind);
            EXPECT_EQ(out.error, 701) << id << " kind " << kind;
            EXPECT_TRUE(out.objects.empty()) << id;
        }
        std::string internal = "\\" + id.substr(std::min<std::size_t>(2, id.size()));
        std::replace(internal.begin(), internal.end(), '/', '\\');
        EXPECT_EQ(FileIo_GetType(context_.get(), internal.c_str()), 0) << id;
    }
    // A component that merely contains dots is an ordinary name.
    tree_.File("Music/..a.mp3");
    tree_.File("Music/b...mp3");
    EXPECT_EQ(Run(folder + "..a.mp3", 0).objects.size(), 1u);
    EXPECT_EQ(Run(folder + "b...mp3", 0).objects.size(), 1u);
}

TEST_F(Enumerator, UrlPathMapping)
{
    char out[64];
    const char* url = "/%2Fa%2FMusic/Rock/x.mp3";
    EXPECT_EQ(FSE_UrlPathToPath(fse_, url, static_cast<int>(std::strlen(url)), out, sizeof out),
              23);
    EXPECT_STREQ(out, "%2Fa%2FMusic\\Rock\\x.mp3");
    const char* doubled = "//%2Fa/x.mp3";
    FSE_UrlPathToPath(fse_, doubled, static_cast<int>(std::strlen(doubled)), out, sizeof out);
    EXPECT_STREQ(out, "%2Fa\\x.mp3");
    EXPECT_EQ(FSE_UrlPathToPath(fse_, url, static_cast<int>(std::strlen(url)), out, 5), -1);

    char* back = FSE_PathToUrlPath(fse_, "\\%2Fa%2FMusic\\Rock\\x.mp3");
    EXPECT_STREQ(back, "%2Fa%2FMusic/Rock/x.mp3");
    tv::Free(back);
}

}  // namespace

// A folder's listing is kept between Browse requests while the folder is unchanged: what
// changes in it shows at the next request, and passing objects without building them lands
// on the same objects as building each.
TEST_F(Enumerator, KeptListingFollowsChangesAndSkippingMatchesBuilding)
{
    std::string music = tree_.Dir("Music");
    for (const char* name : {"a.mp3", "b.mp3", "c.jpg", "d.txt", "e.avi"})
        tree_.File("Music/" + std::string(name));
    tree_.Dir("Music/Rock");
    ASSERT_TRUE(tree_.Share({music}));
    const std::string id = FolderId(music);
    auto titles = [&] {
        std::vector<std::string> out;
        for (const Seen& s : Run(id, 1).objects) out.push_back(s.title);
        return out;
    };
    auto settle = [] { ::usleep(300 * 1000); };  // past the time stamps' granularity

    settle();
    std::vector<std::string> first = titles();
    ASSERT_EQ(first.size(), 5u);  // four published files and the folder
    EXPECT_EQ(titles(), first);

    MSA_BrowseRequest request;
    request.kind = 1;
    request.object_id = const_cast<char*>(id.c_str());
    for (std::uint32_t skip = 0; skip <= 6; ++skip) {
        int error = 0;
        FseQuery* query = FSE_OpenQuery(fse_, &request, &error);
        ASSERT_NE(query, nullptr);
        EXPECT_EQ(FSE_SkipObjects(fse_, query, skip), std::min<std::uint32_t>(skip, 5)) << skip;
        CdsObject* object = CdsObject_Allocate();
        int produced = FSE_HandleProcessObject(fse_, &request, query, object);
        if (skip < 5) {
            ASSERT_EQ(produced, 1) << skip;
            EXPECT_EQ(object->title, first[skip]);
            EXPECT_EQ(FSE_SkipObjects(fse_, query, UINT32_MAX), 5 - skip - 1);
        } else {
            EXPECT_EQ(produced, 0);
        }
        EXPECT_EQ(FSE_CountObject(fse_, query), 0);
        CdsObject_Release(object);
        FSE_CloseQuery(fse_, query);
    }

    tree_.File("Music/f.mp3");
    std::vector<std::string> added = titles();
    EXPECT_EQ(added.size(), 6u);
    EXPECT_NE(std::find(added.begin(), added.end(), "f.mp3"), added.end());

    settle();
    EXPECT_EQ(titles(), added);
    ASSERT_EQ(::unlink(tree_.Path("Music/a.mp3").c_str()), 0);
    ASSERT_EQ(::rmdir(tree_.Path("Music/Rock").c_str()), 0);
    std::vector<std::string> removed = titles();
    EXPECT_EQ(removed.size(), 4u);
    EXPECT_EQ(std::find(removed.begin(), removed.end(), "a.mp3"), removed.end());
    EXPECT_EQ(std::find(removed.begin(), removed.end(), "Rock"), removed.end());
}

namespace {

std::vector<std::string> TitlesOf(const Outcome& outcome)
{
    std::vector<std::string> titles;
    for (const Seen& s : outcome.objects) titles.push_back(s.title);
    return titles;
}

}  // namespace

// Today's listing: only today's kinds, nothing hidden or of the system, no pipe or partial
// upload; containers first, then items, each by title in natural order; every object
// restricted and offering no class to create; a container counts what its own listing holds.
TEST_F(Enumerator, TodaysListingLeavesOutSortsAndCounts)
{
    std::string music = tree_.Dir("Music");
    for (const char* name :
         {"track 10.mp3", "track 2.mp3", "B film.MKV", "a song.flac", "d.txt", "x.mp3.tmp",
          ".hidden.mp3", "._track 2.mp3", "lost+found", "Zeta/one.jpeg", "Zeta/two.webp",
          "Zeta/.thumb.jpg", "alpha/x.ts", ".hiddendir/h.mp3", ".Trash-1000/t.mp3", "@eaDir/e.mp3",
          "lost+found2/l.mp3"})
        tree_.File("Music/" + std::string(name));
    ASSERT_EQ(::mkfifo(tree_.Path("Music/pipe.mp3").c_str(), 0644), 0);
    ASSERT_EQ(::unlink(tree_.Path("Music/lost+found").c_str()), 0);
    tree_.Dir("Music/lost+found");
    tree_.File("Music/lost+found/l.mp3");
    std::string other = tree_.Dir("Other");
    ASSERT_TRUE(tree_.Share({music, other}));
    UseTodaysListing();
    const std::string folder = FolderId(music);

    Outcome children = Run(folder, 1, "*");
    EXPECT_EQ(TitlesOf(children),
              (std::vector<std::string>{"alpha", "lost+found2", "Zeta", "a song.flac", "B film.MKV",
                                        "track 2.mp3", "track 10.mp3"}));
    for (const Seen& s : children.objects) {
        SCOPED_TRACE(s.title);
        EXPECT_EQ(s.flags, tv::kCdsFlagRestricted);
        EXPECT_TRUE(s.create_classes.empty());
    }
    auto by_title = ByTitle(children);
    EXPECT_EQ(by_title["Zeta"].child_count, 2);
    EXPECT_EQ(by_title["alpha"].child_count, 1);
    EXPECT_EQ(by_title["B film.MKV"].media_class, 0xB280u);   // videoItem.movie
    EXPECT_EQ(by_title["a song.flac"].media_class, 0xA200u);  // audioItem.musicTrack
    EXPECT_EQ(ByTitle(Run(folder + "Zeta\\", 1))["one.jpeg"].media_class, 0xA640u);
    // Counted only when the filter asks for it.
    EXPECT_EQ(ByTitle(Run(folder, 1, "dc:title"))["Zeta"].child_count, 0);

    Outcome self = Run(folder, 0, "@childCount");
    ASSERT_EQ(self.objects.size(), 1u);
    EXPECT_EQ(self.objects[0].child_count, 7);
    Outcome root = Run("0", 0, "*");
    ASSERT_EQ(root.objects.size(), 1u);
    EXPECT_EQ(root.objects[0].child_count, 2);
    EXPECT_EQ(root.objects[0].flags, tv::kCdsFlagRestricted);

    // What is left out cannot be named either.
    for (const char* name : {".hidden.mp3", ".hiddendir\\", ".hiddendir\\h.mp3", "@eaDir\\",
                             "lost+found\\l.mp3", "x.mp3", "pipe.mp3"}) {
        SCOPED_TRACE(name);
        Outcome left = Run(folder + name, 0);
        EXPECT_TRUE(left.objects.empty());
        EXPECT_EQ(left.error, 701);
    }
    EXPECT_EQ(Run(folder + ".hiddendir\\", 1).error, 701);
    EXPECT_EQ(Run(folder + "d.txt", 0).objects.size(), 0u);
}

// SortCriteria names what to sort by; what it leaves tied keeps today's order, so every page
// of a folder comes in one order. A property the listing cannot sort by is refused.
TEST_F(Enumerator, TodaysListingSortsAsAskedAndRefusesWhatItCannot)
{
    std::string music = tree_.Dir("Music");
    tree_.Dir("Music/Beta");
    tree_.Dir("Music/alpha");
    struct {
        const char* name;
        std::time_t mtime;
    } files[] = {{"c.mp3", 3000}, {"a.jpg", 2000}, {"b.mkv", 1000}, {"d.mp3", 2000}};
    for (const auto& f : files) {
        std::string path = tree_.File("Music/" + std::string(f.name));
        timespec times[2] = {{f.mtime, 0}, {f.mtime, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    ASSERT_TRUE(tree_.Share({music}));
    UseTodaysListing();
    const std::string id = FolderId(music);
    auto order = [&](const char* criteria) { return TitlesOf(Run(id, 1, nullptr, criteria)); };

    const std::vector<std::string> own = {"alpha", "Beta", "a.jpg", "b.mkv", "c.mp3", "d.mp3"};
    for (const char* same : {"", "+dc:title", " +dc:title , "}) EXPECT_EQ(order(same), own) << same;
    EXPECT_EQ(order("-dc:title"),
              (std::vector<std::string>{"Beta", "alpha", "d.mp3", "c.mp3", "b.mkv", "a.jpg"}));
    EXPECT_EQ(order("+dc:date"),
              (std::vector<std::string>{"alpha", "Beta", "b.mkv", "a.jpg", "d.mp3", "c.mp3"}));
    EXPECT_EQ(order("-dc:date,-dc:title"),  // folders have no date: the title decides
              (std::vector<std::string>{"Beta", "alpha", "c.mp3", "d.mp3", "a.jpg", "b.mkv"}));
    EXPECT_EQ(order("-upnp:class"),
              (std::vector<std::string>{"b.mkv", "a.jpg", "c.mp3", "d.mp3", "alpha", "Beta"}));
    EXPECT_EQ(order("-dc:date"), order("-dc:date"));  // kept, and the same

    for (const char* bad : {"+upnp:artist", "+dc:title,+res@size", "+dc:titles"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Run(id, 1, nullptr, bad).error, 709);
    }
    // Metadata has nothing to sort.
    EXPECT_EQ(Run(id, 0, nullptr, "+upnp:artist").objects.size(), 1u);

    // Skipping lands where building would, in the order asked for.
    MSA_BrowseRequest request;
    request.kind = 1;
    request.object_id = const_cast<char*>(id.c_str());
    request.sort_criteria = const_cast<char*>("-dc:title");
    int error = 0;
    FseQuery* query = FSE_OpenQuery(fse_, &request, &error);
    ASSERT_NE(query, nullptr);
    EXPECT_EQ(FSE_SkipObjects(fse_, query, 3), 3u);
    CdsObject* object = CdsObject_Allocate();
    ASSERT_EQ(FSE_HandleProcessObject(fse_, &request, query, object), 1);
    EXPECT_STREQ(object->title, "c.mp3");
    CdsObject_Release(object);
    FSE_CloseQuery(fse_, query);
}
