// The shared-folder list in its three forms: the caller's ordered list (the window's list
// control or the command line), the SharedFolderTable that the server reads (held by the
// program's SharedFolderSet), and the settings file TindravollerDLNA.dat in the documents folder.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tv {
constexpr int kSharedFolderCapacity = 200;
constexpr int kSharedFolderEntryWidth = 255;  // bytes per entry, NUL included
constexpr int kSharedFolderMaxPath = kSharedFolderEntryWidth - 1;
}  // namespace tv

struct SharedFolderTable {
    char folders[tv::kSharedFolderCapacity][tv::kSharedFolderEntryWidth];
    std::int32_t folder_count;
};

namespace tv {

// The shared folders of one program: the table the server reads, where its settings file is,
// and what its loads found. The program makes one (the command line, the window, the headless
// start) and hands it to the server, which reads it through its context: a window and the
// server it runs share one. Only the functions below touch its fields. Any thread.
struct SharedFolderSet {
    mutable std::mutex table_lock;
    SharedFolderTable table{};  // guarded by table_lock
    mutable std::mutex path_lock;
    // Set by SharedFolders_SetSettingsPath; guarded by path_lock, as is refused_file.
    std::string settings_path;
    std::string refused_file;  // a settings file that could not be read: never overwritten
    // Set by each load: the server looks at the folders left out again until they can be
    // shared.
    std::atomic<bool> some_left_out{false};
};

// Results of the list operations. Negative: nothing changed (list, table and file are as
// they were) and the message says why. Positive: done, with a remark for the user.
enum SharedFoldersResult : int {
    kSharedFoldersOk = 0,
    kSharedFoldersNotShared = 1,      // loaded, but some entries are not shared as listed
                                      // (left out, listed twice, or unreadable)
    kSharedFoldersBadFileKept = 2,    // saved; the unreadable old file was kept beside it
    kSharedFoldersAlreadyShared = 3,  // not added: an entry names that folder already
    kSharedFoldersFull = -1,          // more than 200 folders
    kSharedFoldersTooLong = -2,       // a path of 255 bytes or more
    kSharedFoldersBadFile = -3,       // the settings file is truncated or garbled
    kSharedFoldersIoError = -4,       // the system reported an error while reading or writing
    kSharedFoldersEmptyPath = -5,
    kSharedFoldersNoLocation = -6,  // no documents folder and no settings file given
    kSharedFoldersLocked = -7,      // another editor held the list longer than the lock wait
};

// Inserts `path` at its place in a list kept sorted without regard to ASCII case. A folder
// that an entry names already (by its text form) is not added again:
// kSharedFoldersAlreadyShared, with a message. Refuses an empty path, one of 255 bytes or
// more, and a 201st folder. Touches neither the table nor the file (call SharedFolders_Save).
int SharedFolders_Add(std::vector<std::string>& list, std::string_view path,
                      std::string* message) noexcept;

// Sorted insertion without checks, as the list control places every item.
void SharedFolders_InsertSorted(std::vector<std::string>& list, std::string path) noexcept;

// The set's settings file: SharedFolders_SetSettingsPath if called with a non-empty path, else
// the TINDRAVOLLER_SETTINGS environment variable, else documents folder +
// "/TindravollerDLNA.dat". Empty when there is no documents folder either.
void SharedFolders_SetSettingsPath(SharedFolderSet& folders, std::string_view path) noexcept;
std::string SharedFolders_SettingsPath(const SharedFolderSet& folders) noexcept;

// Copies of the set's table, taken under its lock: never a half-written entry or a count ahead
// of its entries. Any thread.
void SharedFolders_CopyTable(const SharedFolderSet& folders, SharedFolderTable* out) noexcept;
std::vector<std::string> SharedFolders_List(const SharedFolderSet& folders) noexcept;
bool SharedFolders_Contains(const SharedFolderSet& folders, std::string_view path) noexcept;
// True when `real`, an absolute path with its links resolved, is a shared folder of the set or
// lies below one. Any thread.
bool SharedFolders_Covers(const SharedFolderSet& folders, std::string_view real) noexcept;

// The form in which a folder given to be shared now (the command line, the window's picker)
// is kept: absolute, without "." or "..", links resolved. False, with the reason in *why,
// when `path` is not an absolute path to an existing folder.
bool SharedFolders_Canonical(std::string_view path, std::string* canonical,
                             std::string* why) noexcept;

// Whether the running user may read and enter `folder`; else *why names the user and the
// reason. A folder it cannot open would be listed empty without a word.
bool SharedFolders_Readable(std::string_view folder, std::string* why) noexcept;

// `path` with repeated and trailing slashes, "." and ".." taken out by its text alone.
std::string SharedFolders_TextForm(std::string_view path) noexcept;

// How an entry of the list is shared: its text form (SharedFolders_TextForm), when that is
// an absolute path to a folder with no link on its way. An entry is judged as written, never
// by where a link leads now: one whose path a link has taken over since it was shared is
// not shared. False, with the reason in *why, otherwise.
bool SharedFolders_SharedForm(std::string_view entry, std::string* folder,
                              std::string* why) noexcept;

// How long an editor waits for another one that holds the list.
constexpr std::chrono::milliseconds kSharedFoldersLockWait{10'000};

// Held around a load, edit and save so that edits made at the same time by other processes
// (the command line, a window) are not lost: an exclusive flock on "<settings file>.lock" of
// the set's settings file, never through a link, holding the holder's process id while it is
// held. Waits for another holder up to `wait`, then fails with kSharedFoldersLocked and a
// message naming it. A missing documents folder is created first.
class SharedFoldersLock {
public:
    explicit SharedFoldersLock(const SharedFolderSet& folders,
                               std::chrono::milliseconds wait = kSharedFoldersLockWait) noexcept;
    ~SharedFoldersLock();
    SharedFoldersLock(const SharedFoldersLock&) = delete;
    SharedFoldersLock& operator=(const SharedFoldersLock&) = delete;
    // kSharedFoldersOk when held; else a negative result, and message() says why.
    int result() const noexcept { return result_; }
    const std::string& message() const noexcept { return message_; }

private:
    int fd_ = -1;
    int result_ = kSharedFoldersOk;
    std::string message_;
};

// The file format (list of strings). Decode refuses truncated or garbled input (and trailing
// bytes); `message` describes the fault.
std::string SharedFolders_Encode(const std::vector<std::string>& list) noexcept;
int SharedFolders_Decode(const unsigned char* data, std::size_t size,
                         std::vector<std::string>* list, std::string* message) noexcept;

// Signature of the settings file, so that a list edited by another process is noticed.
struct SharedFoldersStamp {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_nsec = 0;  // nanoseconds since 1970
    bool operator==(const SharedFoldersStamp&) const = default;
};
SharedFoldersStamp SharedFolders_FileStamp(const SharedFolderSet& folders) noexcept;

// Any thread. Whether the set's last load left out folders that are in the list (one that is
// not there yet, like a disk mounted later), so that a server looks at them again.
bool SharedFolders_SomeLeftOut(const SharedFolderSet& folders) noexcept;

// Like SharedFolders_Load, but a damaged file yields the folders that could still be read
// (in list and table) with kSharedFoldersBadFile and its message; the file itself is kept as
// it is, and the next save keeps it aside as "<file>.bad" before writing the new list.
int SharedFolders_LoadReadable(SharedFolderSet& folders, std::vector<std::string>& list,
                               std::string* message) noexcept;

}  // namespace tv

// The documents folder, without a trailing separator: XDG_DOCUMENTS_DIR, else the user-dirs
// file, else $HOME/Documents. Empty when no home folder is known.
std::string SharedFolders_DocumentsPath() noexcept;

// Reads the set's settings file into its table (file order) and the list (sorted). A missing file
// is silent: list and table become empty. A file that cannot be read whole leaves list and
// table untouched, returns a negative code and the message (which names the file), and is
// never overwritten later: the next save keeps it as "<file>.bad". Anything but a regular
// file (a FIFO, a device, a folder) is refused without waiting on it, and no save replaces
// it. Every entry stays in the list as written, so that saving writes back what the user
// gave; the table holds the SharedFolders_SharedForm of those that can be shared, each
// folder once. Entries that cannot be shared (see there, 255 bytes or more, beyond the
// 200th), folders listed more than once and folders the running user cannot read are named
// by the message, each on a line of its own. Window thread, the command line, or the server
// following the file.
int SharedFolders_Load(tv::SharedFolderSet& folders, std::vector<std::string>& list,
                       std::string* message) noexcept;

// Rebuilds the set's table from the list (in list order, entries that can be shared in their
// shared form) and rewrites its file. When the file cannot be created the table stays as
// it was and kSharedFoldersIoError says why. A list that does not fit the table (more than
// 200, or a path of 255 bytes or more) is refused and nothing changes. The file is written
// beside its place and renamed over it, so a failed write never leaves less than the old file
// held. A missing documents folder is created.
int SharedFolders_Save(tv::SharedFolderSet& folders, const std::vector<std::string>& list,
                       std::string* message) noexcept;
