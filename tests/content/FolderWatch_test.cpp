// The folder watch on real folders: inotify within its limit, and the change time of a folder
// it cannot watch, looked at when the folder is seen again.
#include "content/FolderWatch.h"

#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "runtime/OlvChain.h"
#include "support/TempTree.h"

namespace {

using tv::test::TempTree;

struct Heard {
    std::vector<tv::FolderChange> changes;
    int calls = 0;
};

void Collect(void* user, const std::vector<tv::FolderChange>& changes) noexcept
{
    auto* heard = static_cast<Heard*>(user);
    ++heard->calls;
    heard->changes.insert(heard->changes.end(), changes.begin(), changes.end());
}

// Runs the watch's hooks as the chain would, until something is heard or the time is up.
bool Pump(FolderWatch* watch, const Heard& heard, int limit_ms = 5000)
{
    auto* hooks = reinterpret_cast<tv::ChainHooks*>(watch);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (heard.calls == 0 && std::chrono::steady_clock::now() < end) {
        fd_set read_set;
        FD_ZERO(&read_set);
        int block_ms = 100;
        hooks->pre_select(watch, &read_set, nullptr, nullptr, &block_ms);
        timeval wait{0, block_ms * 1000};
        int ready = ::select(FD_SETSIZE, &read_set, nullptr, nullptr, &wait);
        hooks->post_select(watch, ready, &read_set, nullptr, nullptr);
    }
    return heard.calls != 0;
}

void See(FolderWatch* watch, const std::string& real, const std::string& path)
{
    int fd = ::open(real.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << real;
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    FolderWatch_Seen(watch, path, fd, st);
    ::close(fd);
}

TEST(FolderWatch, WatchesWithinItsLimitAndJudgesTheRestByChangeTime)
{
    TempTree tree;
    ASSERT_TRUE(tree.ok());
    std::string a = tree.Dir("A");
    std::string b = tree.Dir("B");
    Heard heard;
    FolderWatch* watch = FolderWatch_Create(nullptr, Collect, &heard, 1);
    See(watch, a, "\\%2FA\\");
    See(watch, a, "\\%2FShared%2FA\\");  // the same folder reached another way
    See(watch, b, "\\%2FB\\");
    EXPECT_EQ(FolderWatch_WatchedCount(watch), 1);
    EXPECT_EQ(FolderWatch_StampedCount(watch), 1);

    // Hidden names do not change a listing; a new file does, in every container showing it.
    tree.File("A/.partial");
    tree.File("A/new.mp3");
    ASSERT_TRUE(Pump(watch, heard));
    struct stat st {};
    ASSERT_EQ(::stat(a.c_str(), &st), 0);
    const auto device = static_cast<std::uint64_t>(st.st_dev);
    const auto inode = static_cast<std::uint64_t>(st.st_ino);
    EXPECT_EQ(heard.changes,
              (std::vector<tv::FolderChange>{{"0\\%2FA\\", device, inode},
                                             {"0\\%2FShared%2FA\\", device, inode}}));

    // The folder beyond the limit: nothing is heard until it is seen again, changed.
    heard = {};
    ::usleep(20 * 1000);  // past the file system's time stamp granularity
    tree.File("B/new.mp3");
    EXPECT_FALSE(Pump(watch, heard, 300));
    See(watch, b, "\\%2FB\\");
    ASSERT_EQ(heard.calls, 1);
    ASSERT_EQ(heard.changes.size(), 1u);
    EXPECT_EQ(heard.changes[0].container_id, "0\\%2FB\\");
    See(watch, b, "\\%2FB\\");
    EXPECT_EQ(heard.calls, 1);  // unchanged since

    auto* hooks = reinterpret_cast<tv::ChainHooks*>(watch);
    hooks->destroy(watch);
    ::operator delete(watch);
}

}  // namespace
