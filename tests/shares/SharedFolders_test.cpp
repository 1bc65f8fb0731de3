#include "shares/SharedFolders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using List = std::vector<std::string>;

// A scratch folder holding the settings file, removed afterwards.
class SharedFoldersTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tv-folders-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
        file_ = dir_ + "/TindravollerDLNA.dat";
        tv::SharedFolders_SetSettingsPath(folders_, file_);
        std::string message;
        List empty;
        ASSERT_EQ(SharedFolders_Load(folders_, empty, &message), 0) << message;  // clears the table
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    void WriteFile(const std::string& bytes, const std::string& path = {})
    {
        FILE* f = std::fopen((path.empty() ? file_ : path).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
        std::fclose(f);
    }
    std::string ReadFile(const std::string& path = {})
    {
        std::string bytes;
        FILE* f = std::fopen((path.empty() ? file_ : path).c_str(), "rb");
        if (f == nullptr) return "<missing>";
        char block[4096];
        std::size_t n;
        while ((n = std::fread(block, 1, sizeof block, f)) > 0) bytes.append(block, n);
        std::fclose(f);
        return bytes;
    }

    // A real folder in the scratch folder (made when missing): only such folders are shared.
    std::string Folder(const std::string& name)
    {
        std::string path = dir_ + "/" + name;
        ::mkdir(path.c_str(), 0700);
        return path;
    }

    std::string dir_;
    std::string file_;
    tv::SharedFolderSet folders_;
};

const std::string kTwoFolders(
    "\x02\x00\x08"
    "C:\\Music"
    "\x08"
    "D:\\Video",
    20);

}  // namespace

TEST_F(SharedFoldersTest, TwentyByteExampleBothWays)
{
    EXPECT_EQ(tv::SharedFolders_Encode({"C:\\Music", "D:\\Video"}), kTwoFolders);

    // Read and written back whole, although neither entry is a folder that can be shared here.
    WriteFile(kTwoFolders);
    List list;
    std::string message;
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    EXPECT_EQ(list, (List{"C:\\Music", "D:\\Video"}));
    EXPECT_TRUE(tv::SharedFolders_List(folders_).empty());
    EXPECT_EQ(SharedFolders_Save(folders_, list, &message), 0) << message;
    EXPECT_EQ(ReadFile(), kTwoFolders);

    const std::string music = Folder("Music");
    WriteFile(tv::SharedFolders_Encode({Folder("Video"), music}));
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), 0) << message;
    EXPECT_EQ(message, "");
    SharedFolderTable table;
    tv::SharedFolders_CopyTable(folders_, &table);
    EXPECT_EQ(table.folder_count, 2);
    EXPECT_EQ(table.folders[1], music);  // file order
    EXPECT_TRUE(tv::SharedFolders_Contains(folders_, music));
    EXPECT_FALSE(tv::SharedFolders_Contains(folders_, music.substr(0, music.size() - 1)));
    EXPECT_TRUE(tv::SharedFolders_Covers(folders_, music));
    EXPECT_TRUE(tv::SharedFolders_Covers(folders_, music + "/a/b.mp3"));
    EXPECT_FALSE(tv::SharedFolders_Covers(folders_, music + "x/b.mp3"));
    EXPECT_FALSE(tv::SharedFolders_Covers(folders_, dir_));
}

// Entries of a hand-edited file are shared in canonical form, or not at all; none is lost or
// rewritten. An entry is read as written: one with a link on its way is not shared.
TEST_F(SharedFoldersTest, EntriesAreSharedInCanonicalFormAndKeptWhenNot)
{
    const std::string media = Folder("media");
    const std::string linked = dir_ + "/linked";
    ASSERT_EQ(::symlink(media.c_str(), linked.c_str()), 0);
    const List written{
        ".",         "../", media + "/../media/./", linked, dir_ + "/missing", "relative/x",
        media + "/", "/"};
    WriteFile(tv::SharedFolders_Encode(written));
    List list;
    std::string message;
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    // One folder, one ObjectID: listed twice, it is shared once, and one line says so.
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{media, "/"}));
    List sorted;
    for (const std::string& entry : written) tv::SharedFolders_InsertSorted(sorted, entry);
    EXPECT_EQ(list, sorted);
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 6) << message;
    EXPECT_NE(message.find("Listed 2 times, shared once: " + media + "\n"), std::string::npos)
        << message;
    EXPECT_NE(message.find("Not shared: . (not an absolute path)"), std::string::npos) << message;
    EXPECT_NE(message.find("Not shared: " + dir_ + "/missing ("), std::string::npos) << message;
    EXPECT_NE(message.find("Not shared: " + linked + " (a link on its way leads to " + media + ")"),
              std::string::npos)
        << message;

    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), tv::kSharedFoldersOk) << message;
    List again;
    EXPECT_EQ(SharedFolders_Load(folders_, again, &message), tv::kSharedFoldersNotShared);
    EXPECT_EQ(again, list);
    std::string canonical;
    EXPECT_FALSE(tv::SharedFolders_Canonical(media + "/../media/x", &canonical, &message));
    EXPECT_TRUE(tv::SharedFolders_Canonical("/", &canonical, nullptr));
    EXPECT_EQ(canonical, "/");
}

// A shared folder, or a folder above it, swapped for a link by someone who may write its
// parent: the next load shares nothing the link leads to, and no save writes its target.
TEST_F(SharedFoldersTest, ASharedFolderTakenOverByALinkIsNotShared)
{
    const std::string a = Folder("A");
    Folder("parent");
    const std::string nested = Folder("parent/nested");
    const std::string outside = Folder("outside");
    std::string message;
    ASSERT_EQ(SharedFolders_Save(folders_, {a, nested}, &message), 0) << message;

    ASSERT_EQ(::rename(nested.c_str(), (nested + ".old").c_str()), 0);
    ASSERT_EQ(::symlink(outside.c_str(), nested.c_str()), 0);
    List list;
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{a}));
    EXPECT_EQ(message, "Not shared: " + nested + " (a link on its way leads to " + outside + ")\n");
    const std::string b = Folder("B");
    ASSERT_EQ(tv::SharedFolders_Add(list, b, &message), 0);
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0) << message;
    EXPECT_EQ(ReadFile(), tv::SharedFolders_Encode({a, b, nested}));
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{a, b}));

    // A folder above it, likewise; the folder itself back in place is shared again.
    ASSERT_EQ(::unlink(nested.c_str()), 0);
    ASSERT_EQ(::rename((nested + ".old").c_str(), nested.c_str()), 0);
    const std::string parent = dir_ + "/parent";
    ASSERT_EQ(::rename(parent.c_str(), (parent + ".old").c_str()), 0);
    ASSERT_EQ(::symlink((parent + ".old").c_str(), parent.c_str()), 0);
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{a, b}));
    ASSERT_EQ(::unlink(parent.c_str()), 0);
    ASSERT_EQ(::rename((parent + ".old").c_str(), parent.c_str()), 0);
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), 0) << message;
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{a, b, nested}));
}

TEST_F(SharedFoldersTest, MissingFileAndEmptyCount)
{
    List list{"left over"};
    std::string message;
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(message, "");
    EXPECT_EQ(ReadFile(), "<missing>");  // loading never creates the file

    WriteFile(std::string("\x00\x00", 2));
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(tv::SharedFolders_List(folders_).empty());

    // Saving an empty list writes the two-byte count.
    EXPECT_EQ(SharedFolders_Save(folders_, {}, &message), 0);
    EXPECT_EQ(ReadFile(), std::string("\x00\x00", 2));
}

TEST_F(SharedFoldersTest, LongForms)
{
    const std::string p300(300, 'a');
    EXPECT_EQ(tv::SharedFolders_Encode({p300}), std::string("\x01\x00\xFF\x2C\x01", 5) + p300);
    const std::string p65534(0xFFFE, 'b');
    EXPECT_EQ(tv::SharedFolders_Encode({p65534}),
              std::string("\x01\x00\xFF\xFF\xFF\xFE\xFF\x00\x00", 9) + p65534);
    const std::string p65533(0xFFFD, 'c');
    EXPECT_EQ(tv::SharedFolders_Encode({p65533}).substr(0, 5),
              std::string("\x01\x00\xFF\xFD\xFF", 5));

    List many(0xFFFF, "");
    std::string encoded = tv::SharedFolders_Encode(many);
    EXPECT_EQ(encoded.substr(0, 6), std::string("\xFF\xFF\xFF\xFF\x00\x00", 6));
    List decoded;
    std::string message;
    ASSERT_EQ(tv::SharedFolders_Decode(reinterpret_cast<const unsigned char*>(encoded.data()),
                                       encoded.size(), &decoded, &message),
              0)
        << message;
    EXPECT_EQ(decoded.size(), 0xFFFFu);

    // Non-minimal length forms are read too.
    const std::string odd(
        "\x02\x00\xFF\x02\x00"
        "ab"
        "\xFF\xFF\xFF\x01\x00\x00\x00"
        "c",
        15);
    ASSERT_EQ(tv::SharedFolders_Decode(reinterpret_cast<const unsigned char*>(odd.data()),
                                       odd.size(), &decoded, &message),
              0);
    EXPECT_EQ(decoded, (List{"ab", "c"}));
}

TEST_F(SharedFoldersTest, PathWidthLimits)
{
    const std::string p254 = Folder(std::string(tv::kSharedFolderMaxPath - dir_.size() - 1, 'x'));
    ASSERT_EQ(p254.size(), 254u);
    const std::string p255 = "/" + std::string(254, 'y');
    List list;
    std::string message;
    ASSERT_EQ(tv::SharedFolders_Add(list, p254, &message), 0);
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    SharedFolderTable table;
    tv::SharedFolders_CopyTable(folders_, &table);
    EXPECT_EQ(std::string(table.folders[0]), p254);  // stored whole
    const std::string saved = ReadFile();

    // Refused, never cut: list, table and file stay as they were.
    EXPECT_EQ(tv::SharedFolders_Add(list, p255, &message), tv::kSharedFoldersTooLong);
    EXPECT_NE(message.find("too long"), std::string::npos);
    EXPECT_EQ(list.size(), 1u);
    List forced = {p254, p255};
    EXPECT_EQ(SharedFolders_Save(folders_, forced, &message), tv::kSharedFoldersTooLong);
    EXPECT_EQ(ReadFile(), saved);
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{p254}));
    EXPECT_EQ(tv::SharedFolders_Add(list, "", &message), tv::kSharedFoldersEmptyPath);

    // A file that holds one is read: the list keeps it (so a save cannot drop it silently),
    // the table leaves it out and the message names it.
    const std::string a = Folder("a");
    const std::string b = Folder("b");
    WriteFile(tv::SharedFolders_Encode({b, p255, a}));
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    EXPECT_NE(message.find(p255), std::string::npos);
    EXPECT_EQ(list, (List{a, b, p255}));
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{b, a}));  // file order
}

TEST_F(SharedFoldersTest, TwoHundredFolders)
{
    List list;
    std::string message;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(tv::SharedFolders_Add(list, Folder("f" + std::to_string(i)), &message), 0);
    }
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    EXPECT_EQ(tv::SharedFolders_List(folders_).size(), 200u);
    const std::string saved = ReadFile();

    const std::string one_more = Folder("one-more");
    EXPECT_EQ(tv::SharedFolders_Add(list, one_more, &message), tv::kSharedFoldersFull);
    EXPECT_NE(message.find("200"), std::string::npos);
    EXPECT_EQ(list.size(), 200u);
    List forced = list;
    forced.push_back(one_more);
    EXPECT_EQ(SharedFolders_Save(folders_, forced, &message), tv::kSharedFoldersFull);
    EXPECT_EQ(ReadFile(), saved);

    // A file with more entries loads them all into the list; the table holds the first 200.
    WriteFile(tv::SharedFolders_Encode(forced));
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersNotShared);
    EXPECT_EQ(list.size(), 201u);
    EXPECT_EQ(tv::SharedFolders_List(folders_).size(), 200u);
}

TEST_F(SharedFoldersTest, Utf16Strings)
{
    // "/mü" then U+1F3B5 as a surrogate pair, then a plain string.
    const std::string wide(
        "\x02\x00"
        "\xFF\xFE\xFF\x05"
        "/\x00m\x00\xFC\x00\x3C\xD8\xB5\xDF"
        "\x02/x",
        19);
    WriteFile(wide);
    List list;
    std::string message;
    ASSERT_GE(SharedFolders_Load(folders_, list, &message), 0) << message;
    EXPECT_EQ(list, (List{"/m\xC3\xBC\xF0\x9F\x8E\xB5", "/x"}));

    // A lone surrogate or a NUL would make a broken path: refused.
    for (const std::string& bad : {std::string("\x01\x00\xFF\xFE\xFF\x01\x00\xD8", 8),
                                   std::string("\x01\x00\xFF\xFE\xFF\x01\x00\x00", 8),
                                   std::string("\x01\x00\xFF\xFE\xFF\xFF\xFE\xFF\x00", 9),
                                   std::string("\x01\x00\x03"
                                               "a\0b",
                                               6)}) {
        WriteFile(bad);
        EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersBadFile);
    }
}

TEST_F(SharedFoldersTest, SortedWithoutRegardToCaseAfterAnEdit)
{
    List list;
    std::string message;
    ASSERT_EQ(tv::SharedFolders_Add(list, "D:\\Video", &message), 0);
    ASSERT_EQ(tv::SharedFolders_Add(list, "C:\\Music", &message), 0);
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    EXPECT_EQ(ReadFile(), kTwoFolders);

    // Loaded: the table keeps file order, the list sorts; the next save writes list order.
    const std::string a = Folder("a"), b = Folder("b"), B = Folder("B"), C = Folder("C");
    WriteFile(tv::SharedFolders_Encode({b, C, a, B}));
    ASSERT_EQ(SharedFolders_Load(folders_, list, &message), 0);
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{b, C, a, B}));
    EXPECT_EQ(list, (List{a, b, B, C}));
    // A folder listed already is not added again, whichever way it is written.
    EXPECT_EQ(tv::SharedFolders_Add(list, a, &message), tv::kSharedFoldersAlreadyShared);
    EXPECT_EQ(message, a + " is already shared.");
    EXPECT_EQ(tv::SharedFolders_Add(list, b + "/./", &message), tv::kSharedFoldersAlreadyShared);
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    const List expected{a, b, B, C};
    EXPECT_EQ(tv::SharedFolders_List(folders_), expected);
    EXPECT_EQ(ReadFile(), tv::SharedFolders_Encode(expected));

    // Removing the last folder leaves an empty table.
    ASSERT_EQ(SharedFolders_Save(folders_, {}, &message), 0);
    EXPECT_TRUE(tv::SharedFolders_List(folders_).empty());
}

TEST_F(SharedFoldersTest, UnwritableLocationIsReportedAndKeepsTheTable)
{
    const List list{Folder("keep")};
    std::string message;
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    const std::string missing = dir_ + "/no/such/folder/TindravollerDLNA.dat";
    tv::SharedFolders_SetSettingsPath(folders_, missing);
    EXPECT_EQ(SharedFolders_Save(folders_, {Folder("other")}, &message), tv::kSharedFoldersIoError);
    EXPECT_EQ(message,
              "Could not write the settings file " + missing + ": No such file or directory");
    EXPECT_EQ(tv::SharedFolders_List(folders_), list);
}

TEST_F(SharedFoldersTest, DamagedFileIsRefusedAndNeverOverwritten)
{
    List list{Folder("x")};
    std::string message;
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0);
    const std::string music = Folder("music");
    const std::string good = tv::SharedFolders_Encode({music, Folder("video")});

    // Every truncation, and bytes after the list. What could still be read is offered too.
    for (std::size_t cut = 0; cut < good.size(); ++cut) {
        WriteFile(good.substr(0, cut));
        List loaded{"/window"};
        const List table = tv::SharedFolders_List(folders_);
        EXPECT_EQ(SharedFolders_Load(folders_, loaded, &message), tv::kSharedFoldersBadFile) << cut;
        EXPECT_NE(message.find(file_), std::string::npos) << message;
        EXPECT_EQ(loaded, (List{"/window"}));
        EXPECT_EQ(tv::SharedFolders_List(folders_), table);
        List readable{"/window"};
        EXPECT_EQ(tv::SharedFolders_LoadReadable(folders_, readable, &message),
                  tv::kSharedFoldersBadFile);
        EXPECT_EQ(readable, cut < 3 + music.size() ? List{} : List{music}) << cut;
    }
    EXPECT_EQ(tv::SharedFolders_List(folders_), (List{music}));
    WriteFile(good + "!");
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersBadFile);
    WriteFile(std::string("\x05\x00\x01", 3));  // more entries than bytes
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersBadFile);
    EXPECT_EQ(ReadFile(), std::string("\x05\x00\x01", 3));

    // The next save keeps the damaged file aside instead of replacing it.
    EXPECT_EQ(SharedFolders_Save(folders_, {"/new"}, &message), tv::kSharedFoldersBadFileKept);
    EXPECT_NE(message.find(".bad"), std::string::npos);
    EXPECT_EQ(ReadFile(file_ + ".bad"), std::string("\x05\x00\x01", 3));
    EXPECT_EQ(ReadFile(), tv::SharedFolders_Encode({"/new"}));
    EXPECT_EQ(SharedFolders_Save(folders_, {"/newer"}, &message), 0);  // only once
}

TEST_F(SharedFoldersTest, ReadErrorIsReported)
{
    const List x{Folder("x")};
    ASSERT_EQ(SharedFolders_Save(folders_, x, nullptr), 0);
    const std::string folder = dir_ + "/folder.dat";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    tv::SharedFolders_SetSettingsPath(folders_, folder);
    List list{"/window"};
    std::string message;
    EXPECT_EQ(SharedFolders_Load(folders_, list, &message), tv::kSharedFoldersIoError);
    EXPECT_NE(message.find(folder), std::string::npos);
    EXPECT_EQ(list, (List{"/window"}));
    EXPECT_EQ(tv::SharedFolders_List(folders_), x);
}

// A FIFO in the settings file's place would hold the server's chain thread in open: it is
// refused at once, like any other file that is not a regular one, and never replaced.
TEST_F(SharedFoldersTest, ASettingsFileThatIsNotARegularFileIsRefusedAtOnce)
{
    const List x{Folder("x")};
    ASSERT_EQ(SharedFolders_Save(folders_, x, nullptr), 0);
    ASSERT_EQ(::unlink(file_.c_str()), 0);
    ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
    List list{"/window"};
    std::string message;
    auto load = std::async(std::launch::async, [&] {
        return tv::SharedFolders_LoadReadable(folders_, list, &message);
    });
    if (load.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ::close(::open(file_.c_str(), O_WRONLY | O_NONBLOCK));  // lets the open go
        FAIL() << "the load waits on the FIFO";
    }
    EXPECT_EQ(load.get(), tv::kSharedFoldersIoError);
    EXPECT_EQ(message, "The settings file " + file_ +
                           " is not a regular file; it is neither read nor replaced.");
    EXPECT_EQ(list, (List{"/window"}));
    EXPECT_EQ(tv::SharedFolders_List(folders_), x);

    EXPECT_EQ(SharedFolders_Save(folders_, {Folder("y")}, &message), tv::kSharedFoldersIoError);
    EXPECT_NE(message.find("not a regular file"), std::string::npos) << message;
    struct stat info {};
    EXPECT_EQ(::lstat(file_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(ReadFile(file_ + ".bad"), "<missing>");
    EXPECT_EQ(tv::SharedFolders_List(folders_), x);
}

// The lock file is never opened through a link (which would create the link's target), and a
// wait for it ends, naming the holder.
TEST_F(SharedFoldersTest, TheLockIsNeverTakenThroughALinkAndNamesItsHolder)
{
    const std::string lock_path = file_ + ".lock";
    const std::string target = dir_ + "/target";
    ASSERT_EQ(::symlink(target.c_str(), lock_path.c_str()), 0);
    {
        tv::SharedFoldersLock lock(folders_);
        EXPECT_EQ(lock.result(), tv::kSharedFoldersIoError);
        EXPECT_NE(lock.message().find("is a symbolic link"), std::string::npos) << lock.message();
    }
    EXPECT_EQ(ReadFile(target), "<missing>");
    ASSERT_EQ(::unlink(lock_path.c_str()), 0);

    auto held = std::make_unique<tv::SharedFoldersLock>(folders_);
    ASSERT_EQ(held->result(), 0) << held->message();
    const std::string pid = std::to_string(::getpid());
    EXPECT_EQ(ReadFile(lock_path), pid + "\n");
    {
        tv::SharedFoldersLock waiting(folders_, std::chrono::milliseconds(100));
        EXPECT_EQ(waiting.result(), tv::kSharedFoldersLocked);
        EXPECT_EQ(waiting.message(), "The settings file " + file_ + " is being edited by process " +
                                         pid + ": its lock " + lock_path +
                                         " was not free within 0.1 s.");
    }
    held.reset();
    EXPECT_EQ(ReadFile(lock_path), "");
    tv::SharedFoldersLock next(folders_, std::chrono::milliseconds(100));
    EXPECT_EQ(next.result(), 0) << next.message();
}

TEST_F(SharedFoldersTest, SettingsPathChoices)
{
    tv::SharedFolders_SetSettingsPath(folders_, "");
    ::setenv("TINDRAVOLLER_SETTINGS", "/tmp/elsewhere.dat", 1);
    EXPECT_EQ(tv::SharedFolders_SettingsPath(folders_), "/tmp/elsewhere.dat");
    ::unsetenv("TINDRAVOLLER_SETTINGS");

    const char* old_home = std::getenv("HOME");
    std::string saved_home = old_home != nullptr ? old_home : "";
    ::setenv("HOME", dir_.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (dir_ + "/cfg").c_str(), 1);
    ::unsetenv("XDG_DOCUMENTS_DIR");
    EXPECT_EQ(SharedFolders_DocumentsPath(), dir_ + "/Documents");
    ASSERT_EQ(::mkdir((dir_ + "/cfg").c_str(), 0700), 0);
    WriteFile("# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Docs/\"\n", dir_ + "/cfg/user-dirs.dirs");
    EXPECT_EQ(SharedFolders_DocumentsPath(), dir_ + "/Docs");
    EXPECT_EQ(tv::SharedFolders_SettingsPath(folders_), dir_ + "/Docs/TindravollerDLNA.dat");
    ::setenv("XDG_DOCUMENTS_DIR", "/srv/docs", 1);
    EXPECT_EQ(SharedFolders_DocumentsPath(), "/srv/docs");
    ::unsetenv("XDG_DOCUMENTS_DIR");
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", saved_home.c_str(), 1);
    tv::SharedFolders_SetSettingsPath(folders_, file_);
}

// The chain thread copies the table while the window thread saves: every copy is one of the
// saved lists, whole.
TEST_F(SharedFoldersTest, ReadersNeverSeeAHalfWrittenTable)
{
    const List a{Folder("one"), Folder("two"), Folder("three")};
    List b;
    for (int i = 0; i < 200; ++i)
        b.push_back(
            Folder(std::string(197, static_cast<char>('a' + i % 26)) + std::to_string(100 + i)));
    ASSERT_EQ(SharedFolders_Save(folders_, a, nullptr), 0);

    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        SharedFolderTable table;
        while (!stop.load()) {
            tv::SharedFolders_CopyTable(folders_, &table);
            List seen;
            for (int i = 0; i < table.folder_count; ++i) seen.emplace_back(table.folders[i]);
            if (seen != a && seen != b) bad.fetch_add(1);
        }
    });
    for (int round = 0; round < 100; ++round) {
        ASSERT_EQ(SharedFolders_Save(folders_, round % 2 ? a : b, nullptr), 0);
    }
    stop.store(true);
    reader.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(SharedFoldersTest, SaveReplacesTheFileBehindALinkAndLeavesNoScratchFiles)
{
    const std::string real = dir_ + "/real.dat";
    const std::string link = dir_ + "/link.dat";
    WriteFile(kTwoFolders, real);
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    tv::SharedFolders_SetSettingsPath(folders_, link);
    List list;
    std::string message;
    ASSERT_GE(SharedFolders_Load(folders_, list, &message), 0);
    ASSERT_EQ(tv::SharedFolders_Add(list, "/z", &message), 0);
    ASSERT_EQ(SharedFolders_Save(folders_, list, &message), 0) << message;
    struct stat info {};
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(ReadFile(real), tv::SharedFolders_Encode({"/z", "C:\\Music", "D:\\Video"}));
    std::string listing;
    FILE* ls = ::popen(("ls -A '" + dir_ + "'").c_str(), "r");
    ASSERT_NE(ls, nullptr);
    char name[256];
    while (std::fgets(name, sizeof name, ls) != nullptr) listing += name;
    ::pclose(ls);
    EXPECT_EQ(listing, "link.dat\nreal.dat\n");
}
