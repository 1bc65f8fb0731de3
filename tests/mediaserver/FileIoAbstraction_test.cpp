#include "mediaserver/FileIoAbstraction.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/ServerLog.h"
#include "support/TempTree.h"
#include "support/TestContext.h"

namespace {

using tv::test::TempTree;
using tv::test::TestContext;

std::string Internal(const std::string& folder, const std::string& below = "")
{
    std::string path = "\\" + tv::FileIoEscapeFolder(folder);
    if (!below.empty()) path += "\\" + below;
    return path;
}

std::vector<std::string> List(TestContext& context, const std::string& path,
                              std::vector<std::int64_t>* sizes = nullptr)
{
    std::vector<std::string> names;
    char name[1024];
    std::int64_t size = -2;
    FileIo_DirEnum* dir =
        FileIo_OpenDirectory(context.get(), path.c_str(), name, sizeof name, &size);
    if (dir == nullptr) return names;
    do {
        names.push_back(name);
        if (sizes != nullptr) sizes->push_back(size);
    } while (FileIo_NextEntry(dir, name, &size) != 0);
    FileIo_CloseDirectory(dir);
    return names;
}

TEST(FileIo, EscapingOfFoldersAndNames)
{
    EXPECT_EQ(tv::FileIoEscapeFolder("/home/ann/Music"), "%2Fhome%2Fann%2FMusic");
    EXPECT_EQ(tv::FileIoEscapeFolder("/a:b\\c%d"), "%2Fa%3Ab%5Cc%d");
    EXPECT_EQ(tv::FileIoEscapeName("a\\b/c:d"), "a%5Cb/c:d");
}

TEST(FileIo, RealPathsStayInsideTheSharedFolders)
{
    TempTree tree;
    TestContext context;
    context->folders = tree.folders();
    std::string music = tree.Dir("Music");
    ASSERT_TRUE(tree.Share({music, "/"}));
    std::string real;
    ASSERT_TRUE(tv::FileIo_RealPath(context.get(), Internal(music, "Rock\\a.mp3"), &real));
    EXPECT_EQ(real, music + "/Rock/a.mp3");
    ASSERT_TRUE(tv::FileIo_RealPath(context.get(), Internal(music) + "\\", &real));
    EXPECT_EQ(real, music);
    ASSERT_TRUE(tv::FileIo_RealPath(context.get(), Internal(music, "x%3Ay%5Cz"), &real));
    EXPECT_EQ(real, music + "/x:y\\z");
    ASSERT_TRUE(
        tv::FileIo_RealPath(context.get(), "\\%2F\\etc", &real));  // "/" itself is shared here
    EXPECT_EQ(real, "/etc");

    ASSERT_TRUE(tree.Share({music}));
    real = "unchanged";
    for (const std::string& path :
         {std::string("\\"), std::string(""), std::string("relative"), std::string("\\%2F\\etc"),
          std::string("\\\\x"), Internal(tree.root()), Internal(tree.root(), "Music"),
          Internal(music, ".."), Internal(music, "."), Internal(music, "Rock\\..\\..\\x"),
          Internal(music, "..%2F..%2Fetc%2Fpasswd"), Internal(music, "a%2F.%2Fb"),
          Internal(music, "ok\\..%2Fx")}) {
        EXPECT_FALSE(tv::FileIo_RealPath(context.get(), path, &real)) << path;
    }
    EXPECT_EQ(real, "unchanged");
}

TEST(FileIo, TypesSizesAndTimes)
{
    TempTree tree;
    TestContext context;
    context->folders = tree.folders();
    std::string music = tree.Dir("Music");
    tree.File("Music/a.mp3", "12345");
    tree.Dir("Music/Sub");
    const std::int64_t five_gib = 5LL * 1024 * 1024 * 1024;
    tree.Sparse("Music/big.avi", five_gib);
    ASSERT_EQ(::mkfifo(tree.Path("Music/pipe.mp3").c_str(), 0600), 0);
    std::string outside = tree.File("outside.mp3");
    ASSERT_TRUE(tree.Share({music}));

    EXPECT_EQ(FileIo_GetType(context.get(), "\\"), 2);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(music).c_str()), 2);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(music, "Sub\\").c_str()), 2);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(music, "a.mp3").c_str()), 1);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(music, "none.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(music, "pipe.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(context.get(), Internal(tree.root(), "outside.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(context.get(), nullptr), 0);

    EXPECT_EQ(FileIo_GetSize(context.get(), Internal(music, "a.mp3").c_str()), 5);
    EXPECT_EQ(FileIo_GetSize(context.get(), Internal(music, "big.avi").c_str()), five_gib);
    EXPECT_EQ(FileIo_GetSize(context.get(), Internal(music, "Sub").c_str()), -1);
    EXPECT_EQ(FileIo_GetSize(context.get(), Internal(music, "none.mp3").c_str()), -1);

    struct stat st {};
    ASSERT_EQ(::stat((music + "/a.mp3").c_str(), &st), 0);
    EXPECT_EQ(FileIo_GetModifiedTime(context.get(), Internal(music, "a.mp3").c_str()), st.st_mtime);
    EXPECT_EQ(FileIo_GetModifiedTime(context.get(), Internal(music, "none.mp3").c_str()), -1);
}

TEST(FileIo, EnumeratesTheRootAndRealFolders)
{
    TempTree tree;
    TestContext context;
    context->folders = tree.folders();
    std::string a = tree.Dir("A");
    std::string b = tree.Dir("B");
    ASSERT_TRUE(tree.Share({}));
    EXPECT_TRUE(List(context, "\\").empty());
    ASSERT_TRUE(tree.Share({b, a}));
    EXPECT_EQ(List(context, "\\"),
              (std::vector<std::string>{tv::FileIoEscapeFolder(b), tv::FileIoEscapeFolder(a)}));

    tree.File("A/one.mp3", "abc");
    tree.File("A/back\\slash.mp3", "");
    tree.Dir("A/Sub");
    std::vector<std::int64_t> sizes;
    std::vector<std::string> names = List(context, Internal(a), &sizes);
    ASSERT_EQ(names.size(), 5u);  // ".", ".." and the three entries
    auto at = [&](const std::string& name) {
        return std::find(names.begin(), names.end(), name) - names.begin();
    };
    ASSERT_LT(at("one.mp3"), 5);
    EXPECT_EQ(sizes[static_cast<std::size_t>(at("one.mp3"))], 3);
    EXPECT_LT(at("back%5Cslash.mp3"), 5);
    EXPECT_LT(at("Sub"), 5);
    EXPECT_LT(at(".."), 5);
    // With and without the trailing backslash.
    EXPECT_EQ(List(context, Internal(a) + "\\").size(), 5u);

    EXPECT_TRUE(List(context, Internal(a, "one.mp3")).empty());  // not a folder
    EXPECT_TRUE(List(context, Internal(tree.root())).empty());   // not shared
    EXPECT_TRUE(List(context, Internal(a, "..")).empty());

    // Names that do not fit the caller's buffer are skipped, not cut.
    tree.File("B/" + std::string(40, 'n') + ".mp3");
    tree.File("B/s.mp3");
    char small[16];
    FileIo_DirEnum* dir =
        FileIo_OpenDirectory(context.get(), Internal(b).c_str(), small, sizeof small, nullptr);
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> seen;
    do {
        seen.push_back(small);
    } while (FileIo_NextEntry(dir, small, nullptr) != 0);
    FileIo_CloseDirectory(dir);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "s.mp3"}));
}

// A link below a shared folder leads where its target lies: into a folder shared now (the same
// or another) it is followed; out of them, straight or through another link, every operation
// refuses it and the context's log names it once, unless the context lets links lead out.
// With openat2 and on the way a kernel without it takes.
TEST(FileIo, ALinkThatLeadsOutIsRefusedUnlessLinksMayLeadOut)
{
    TempTree tree;
    std::string music = tree.Dir("Music");
    std::string other = tree.Dir("Other");
    std::string secret = tree.Dir("Secret");
    tree.File("Music/real.mp3", "real");
    tree.File("Other/o.mp3", "other");
    tree.File("Secret/s.mp3", "secret");
    for (auto [target, name] : {std::pair{std::string("real.mp3"), "Music/in.mp3"},
                                {other + "/o.mp3", "Music/other.mp3"},
                                {std::string("../Secret/s.mp3"), "Music/out.mp3"},
                                {std::string("out.mp3"), "Music/hop.mp3"},
                                {secret, "Music/outdir"}})
        ASSERT_EQ(::symlink(target.c_str(), tree.Path(name).c_str()), 0) << name;
    ASSERT_TRUE(tree.Share({music, other}));
    std::vector<std::string> lines;
    const ServerLogTarget keep{.append =
                                   [](void* window, const char* line) noexcept {
                                       static_cast<std::vector<std::string>*>(window)->emplace_back(
                                           line);
                                   },
                               .window = &lines};
    ServerLog_SetTarget(&keep);

    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        TestContext context;
        context->folders = tree.folders();
        context->file_io->no_openat2 = round % 2 == 1;
        const bool out = round >= 2;
        context->options.follow_links_out = out;
        lines.clear();
        auto type = [&](const std::string& below) {
            return FileIo_GetType(context.get(), Internal(music, below).c_str());
        };
        EXPECT_EQ(type("in.mp3"), 1);
        EXPECT_EQ(type("other.mp3"), 1);
        for (const char* name : {"out.mp3", "hop.mp3"}) {
            EXPECT_EQ(type(name), out ? 1 : 0) << name;
            EXPECT_EQ(FileIo_GetSize(context.get(), Internal(music, name).c_str()), out ? 6 : -1)
                << name;
        }
        EXPECT_EQ(type("outdir"), out ? 2 : 0);
        EXPECT_EQ(type("outdir\\s.mp3"), out ? 1 : 0);
        EXPECT_EQ(List(context, Internal(music, "outdir")).size(), out ? 3u : 0u);

        tv::FileIoOpened opened;
        errno = 0;
        int fd =
            tv::FileIo_OpenShared(context.get(), Internal(music, "out.mp3"), O_RDONLY, &opened);
        if (out) {
            EXPECT_GE(fd, 0);
            EXPECT_TRUE(opened.via_link);
            EXPECT_EQ(opened.resolved, secret + "/s.mp3");
            if (fd >= 0) ::close(fd);
        } else {
            EXPECT_EQ(fd, -1);
            EXPECT_EQ(errno, EACCES);
        }

        std::vector<std::string> names = List(context, Internal(music));
        std::sort(names.begin(), names.end());
        std::vector<std::string> listed{".", "..", "in.mp3", "other.mp3", "real.mp3"};
        if (out)
            listed = {".", "..", "hop.mp3", "in.mp3", "other.mp3", "out.mp3", "outdir", "real.mp3"};
        EXPECT_EQ(names, listed);

        // Each link named once however often it was refused; a context of its own names it again.
        std::sort(lines.begin(), lines.end());
        std::vector<std::string> named;
        if (!out) {
            for (const char* name : {"hop.mp3", "out.mp3", "outdir"})
                named.push_back("Link not followed, it leads out of the shared folders: " + music +
                                "/" + name);
        }
        EXPECT_EQ(lines, named);
    }
    ServerLog_SetTarget(nullptr);
}

// A shared folder, or a folder above it, swapped for a link after it was shared: nothing the
// link leads to is opened, even with links out allowed, and on a kernel without openat2 too,
// while links below the folder still lead where they may.
TEST(FileIo, ASharedFolderSwappedForALinkLeadsNowhere)
{
    TempTree tree;
    TestContext context;
    context->folders = tree.folders();
    std::string nested = tree.Dir("parent/nested");
    tree.File("parent/nested/n.mp3", "n");
    ASSERT_EQ(::symlink("n.mp3", tree.Path("parent/nested/in.mp3").c_str()), 0);
    std::string outside = tree.Dir("outside");
    tree.File("outside/o.mp3", "o");
    ASSERT_TRUE(tree.Share({nested}));
    auto served = [&](const std::string& below) {
        return FileIo_GetType(context.get(), Internal(nested, below).c_str());
    };
    for (bool avoid : {false, true}) {
        context->file_io->no_openat2 = avoid;
        EXPECT_EQ(served("n.mp3"), 1) << avoid;
        EXPECT_EQ(served("in.mp3"), 1) << avoid;
        EXPECT_EQ(List(context, Internal(nested)).size(), 4u) << avoid;
    }

    const std::string parent = tree.Path("parent");
    ASSERT_EQ(::rename(nested.c_str(), (nested + ".old").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), nested.c_str()), 0);
    for (int round = 0; round < 8; ++round) {
        if (round == 4) {  // then a folder above it
            ASSERT_EQ(::unlink(nested.c_str()), 0);
            ASSERT_EQ(::rename((nested + ".old").c_str(), nested.c_str()), 0);
            ASSERT_EQ(::rename(parent.c_str(), (parent + ".old").c_str()), 0);
            ASSERT_EQ(::symlink((parent + ".old").c_str(), parent.c_str()), 0);
        }
        context->file_io->no_openat2 = round % 2 == 1;
        context->options.follow_links_out = round % 4 >= 2;
        EXPECT_EQ(served("o.mp3"), 0) << round;
        EXPECT_EQ(served("n.mp3"), 0) << round;
        EXPECT_EQ(FileIo_GetType(context.get(), Internal(nested).c_str()), 0) << round;
        EXPECT_TRUE(List(context, Internal(nested)).empty()) << round;
    }
}

}  // namespace
