#include "mediaserver/FileIoAbstraction.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/TempTree.h"

namespace {

using tv::test::TempTree;

std::string Internal(const std::string& folder, const std::string& below = "")
{
    std::string path = "\\" + tv::FileIoEscapeFolder(folder);
    if (!below.empty()) path += "\\" + below;
    return path;
}

std::vector<std::string> List(const std::string& path, std::vector<std::int64_t>* sizes = nullptr)
{
    std::vector<std::string> names;
    char name[1024];
    std::int64_t size = -2;
    FileIo_DirEnum* dir = FileIo_OpenDirectory(path.c_str(), name, sizeof name, &size);
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
    std::string music = tree.Dir("Music");
    ASSERT_TRUE(tree.Share({music, "/"}));
    std::string real;
    ASSERT_TRUE(tv::FileIo_RealPath(Internal(music, "Rock\\a.mp3"), &real));
    EXPECT_EQ(real, music + "/Rock/a.mp3");
    ASSERT_TRUE(tv::FileIo_RealPath(Internal(music) + "\\", &real));
    EXPECT_EQ(real, music);
    ASSERT_TRUE(tv::FileIo_RealPath(Internal(music, "x%3Ay%5Cz"), &real));
    EXPECT_EQ(real, music + "/x:y\\z");
    ASSERT_TRUE(tv::FileIo_RealPath("\\%2F\\etc", &real));  // "/" itself is shared here
    EXPECT_EQ(real, "/etc");

    ASSERT_TRUE(tree.Share({music}));
    real = "unchanged";
    for (const std::string& path :
         {std::string("\\"), std::string(""), std::string("relative"), std::string("\\%2F\\etc"),
          std::string("\\\\x"), Internal(tree.root()), Internal(tree.root(), "Music"),
          Internal(music, ".."), Internal(music, "."), Internal(music, "Rock\\..\\..\\x"),
          Internal(music, "..%2F..%2Fetc%2Fpasswd"), Internal(music, "a%2F.%2Fb"),
          Internal(music, "ok\\..%2Fx")}) {
        EXPECT_FALSE(tv::FileIo_RealPath(path, &real)) << path;
    }
    EXPECT_EQ(real, "unchanged");
}

TEST(FileIo, TypesSizesAndTimes)
{
    TempTree tree;
    std::string music = tree.Dir("Music");
    tree.File("Music/a.mp3", "12345");
    tree.Dir("Music/Sub");
    const std::int64_t five_gib = 5LL * 1024 * 1024 * 1024;
    tree.Sparse("Music/big.avi", five_gib);
    ASSERT_EQ(::mkfifo(tree.Path("Music/pipe.mp3").c_str(), 0600), 0);
    std::string outside = tree.File("outside.mp3");
    ASSERT_TRUE(tree.Share({music}));

    EXPECT_EQ(FileIo_GetType("\\"), 2);
    EXPECT_EQ(FileIo_GetType(Internal(music).c_str()), 2);
    EXPECT_EQ(FileIo_GetType(Internal(music, "Sub\\").c_str()), 2);
    EXPECT_EQ(FileIo_GetType(Internal(music, "a.mp3").c_str()), 1);
    EXPECT_EQ(FileIo_GetType(Internal(music, "none.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(Internal(music, "pipe.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(Internal(tree.root(), "outside.mp3").c_str()), 0);
    EXPECT_EQ(FileIo_GetType(nullptr), 0);

    EXPECT_EQ(FileIo_GetSize(Internal(music, "a.mp3").c_str()), 5);
    EXPECT_EQ(FileIo_GetSize(Internal(music, "big.avi").c_str()), five_gib);
    EXPECT_EQ(FileIo_GetSize(Internal(music, "Sub").c_str()), -1);
    EXPECT_EQ(FileIo_GetSize(Internal(music, "none.mp3").c_str()), -1);

    struct stat st {};
    ASSERT_EQ(::stat((music + "/a.mp3").c_str(), &st), 0);
    EXPECT_EQ(FileIo_GetModifiedTime(Internal(music, "a.mp3").c_str()), st.st_mtime);
    EXPECT_EQ(FileIo_GetModifiedTime(Internal(music, "none.mp3").c_str()), -1);
}

TEST(FileIo, EnumeratesTheRootAndRealFolders)
{
    TempTree tree;
    std::string a = tree.Dir("A");
    std::string b = tree.Dir("B");
    ASSERT_TRUE(tree.Share({}));
    EXPECT_TRUE(List("\\").empty());
    ASSERT_TRUE(tree.Share({b, a}));
    EXPECT_EQ(List("\\"),
              (std::vector<std::string>{tv::FileIoEscapeFolder(b), tv::FileIoEscapeFolder(a)}));

    tree.File("A/one.mp3", "abc");
    tree.File("A/back\\slash.mp3", "");
    tree.Dir("A/Sub");
    std::vector<std::int64_t> sizes;
    std::vector<std::string> names = List(Internal(a), &sizes);
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
    EXPECT_EQ(List(Internal(a) + "\\").size(), 5u);

    EXPECT_TRUE(List(Internal(a, "one.mp3")).empty());  // not a folder
    EXPECT_TRUE(List(Internal(tree.root())).empty());   // not shared
    EXPECT_TRUE(List(Internal(a, "..")).empty());

    // Names that do not fit the caller's buffer are skipped, not cut.
    tree.File("B/" + std::string(40, 'n') + ".mp3");
    tree.File("B/s.mp3");
    char small[16];
    FileIo_DirEnum* dir = FileIo_OpenDirectory(Internal(b).c_str(), small, sizeof small, nullptr);
    ASSERT_NE(dir, nullptr);
    std::vector<std::string> seen;
    do {
        seen.push_back(small);
    } while (FileIo_NextEntry(dir, small, nullptr) != 0);
    FileIo_CloseDirectory(dir);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, (std::vector<std::string>{".", "..", "s.mp3"}));
}

// A shared folder, or a folder above it, swapped for a link after it was shared: nothing the
// link leads to is opened, even with links out allowed, and on a kernel without openat2 too,
// while links below the folder still lead where they may.
TEST(FileIo, ASharedFolderSwappedForALinkLeadsNowhere)
{
    TempTree tree;
    std::string nested = tree.Dir("parent/nested");
    tree.File("parent/nested/n.mp3", "n");
    ASSERT_EQ(::symlink("n.mp3", tree.Path("parent/nested/in.mp3").c_str()), 0);
    std::string outside = tree.Dir("outside");
    tree.File("outside/o.mp3", "o");
    ASSERT_TRUE(tree.Share({nested}));
    auto served = [&](const std::string& below) {
        return FileIo_GetType(Internal(nested, below).c_str());
    };
    for (bool avoid : {false, true}) {
        tv::FileIo_AvoidOpenat2(avoid);
        EXPECT_EQ(served("n.mp3"), 1) << avoid;
        EXPECT_EQ(served("in.mp3"), 1) << avoid;
        EXPECT_EQ(List(Internal(nested)).size(), 4u) << avoid;
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
        tv::FileIo_AvoidOpenat2(round % 2 == 1);
        tv::FileIo_SetFollowLinksOut(round % 4 >= 2);
        EXPECT_EQ(served("o.mp3"), 0) << round;
        EXPECT_EQ(served("n.mp3"), 0) << round;
        EXPECT_EQ(FileIo_GetType(Internal(nested).c_str()), 0) << round;
        EXPECT_TRUE(List(Internal(nested)).empty()) << round;
    }
    tv::FileIo_AvoidOpenat2(false);
    tv::FileIo_SetFollowLinksOut(false);
}

}  // namespace
