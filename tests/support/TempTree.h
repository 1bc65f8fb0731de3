// A private folder tree under /tmp for file-system tests: folders, files with odd names, sparse
// files of any size. Removed with everything in it when the object goes. Also has a
// shared-folder set of its own, whose settings file is kept inside the tree, for a test's
// context to read (context->folders = tree.folders()).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "shares/SharedFolders.h"

namespace tv::test {

class TempTree {
public:
    TempTree()
    {
        char pattern[] = "/tmp/tv-tree-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        root_ = made != nullptr ? made : "";
        SharedFolders_SetSettingsPath(folders_, Path("TindravollerDLNA.dat"));
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    ~TempTree()
    {
        std::error_code ignored;
        // Read-only folders made by a test must not keep their contents from going.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root_, ignored))
            if (entry.is_directory(ignored)) ::chmod(entry.path().c_str(), 0700);
        std::filesystem::remove_all(root_, ignored);
    }

    bool ok() const { return !root_.empty(); }
    const std::string& root() const { return root_; }
    std::string Path(std::string_view relative) const
    {
        return root_ + "/" + std::string(relative);
    }

    // mkdir -p below the root; returns the absolute path.
    std::string Dir(std::string_view relative) const
    {
        std::string path = Path(relative);
        std::error_code ignored;
        std::filesystem::create_directories(path, ignored);
        return path;
    }

    // Writes the file (parents made as needed); returns its absolute path.
    std::string File(std::string_view relative, std::string_view content = "x") const
    {
        std::string path = Path(relative);
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            std::size_t done = 0;
            while (done < content.size()) {
                ssize_t n = ::write(fd, content.data() + done, content.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            ::close(fd);
        }
        return path;
    }

    // A file of `size` bytes that takes no disk space except `tail` written at its very end.
    std::string Sparse(std::string_view relative, std::int64_t size,
                       std::string_view tail = {}) const
    {
        std::string path = File(relative, {});
        int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            if (::ftruncate(fd, static_cast<off_t>(size)) == 0 && !tail.empty()) {
                ssize_t n =
                    ::pwrite(fd, tail.data(), tail.size(),
                             static_cast<off_t>(size - static_cast<std::int64_t>(tail.size())));
                (void)n;
            }
            ::close(fd);
        }
        return path;
    }

    // Makes `folders` the table of the tree's folder set (the settings file lives in the tree).
    bool Share(const std::vector<std::string>& folders)
    {
        std::string message;
        return SharedFolders_Save(folders_, folders, &message) >= 0;
    }
    SharedFolderSet* folders() { return &folders_; }

private:
    std::string root_;
    SharedFolderSet folders_;
};

}  // namespace tv::test
