// The shared-folder list in its three forms: the caller's ordered list (the window's list
// control or the command line), the process-wide SharedFolderTable that the server reads,
// and the settings file TindravollerDLNA.dat in the documents folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tv
{
constexpr int kSharedFolderCapacity = 200;
constexpr int kSharedFolderEntryWidth = 255; // bytes per entry, NUL included
constexpr int kSharedFolderMaxPath = kSharedFolderEntryWidth - 1;
} // namespace tv

struct SharedFolderTable {
    char folders[tv::kSharedFolderCapacity][tv::kSharedFolderEntryWidth];
    std::int32_t folder_count;
};

namespace tv
{

// Results of the list operations. Negative: nothing changed (list, table and file are as
// they were) and the message says why. Positive: done, with a remark for the user.
enum SharedFoldersResult : int {
    kSharedFoldersOk = 0,
    kSharedFoldersNotShared = 1,   // saved or loaded, but some folders cannot be shared
    kSharedFoldersBadFileKept = 2, // saved; the unreadable old file was kept beside it
    kSharedFoldersFull = -1,       // more than 200 folders
    kSharedFoldersTooLong = -2,    // a path of 255 bytes or more
    kSharedFoldersBadFile = -3,    // the settings file is truncated or garbled
    kSharedFoldersIoError = -4,    // the system reported an error while reading or writing
    kSharedFoldersEmptyPath = -5,
    kSharedFoldersNoLocation = -6, // no documents folder and no settings file given
};

// Inserts `path` at its place in a list kept sorted without regard to ASCII case (after
// equal names: duplicates are kept). Refuses an empty path, one of 255 bytes or more, and a
// 201st folder. Touches neither the table nor the file (call SharedFolders_Save).
int SharedFolders_Add(std::vector<std::string>& list, std::string_view path,
                      std::string* message) noexcept;

// Sorted insertion without checks, as the list control places every item.
void SharedFolders_InsertSorted(std::vector<std::string>& list, std::string path) noexcept;

// The settings file: SharedFolders_SetSettingsPath if called with a non-empty path, else the
// TINDRAVOLLER_SETTINGS environment variable, else documents folder + "/TindravollerDLNA.dat".
// Empty when there is no documents folder either.
void SharedFolders_SetSettingsPath(std::string_view path) noexcept;
std::string SharedFolders_SettingsPath() noexcept;

// Copies of the table, taken under its lock: never a half-written entry or a count ahead of
// its entries. Any thread.
void SharedFolders_CopyTable(SharedFolderTable* out) noexcept;
std::vector<std::string> SharedFolders_List() noexcept;
bool SharedFolders_Contains(std::string_view path) noexcept;

// The file format (list of strings). Decode refuses truncated or garbled input (and trailing
// bytes); `message` describes the fault.
std::string SharedFolders_Encode(const std::vector<std::string>& list) noexcept;
int SharedFolders_Decode(const unsigned char* data, std::size_t size,
                         std::vector<std::string>* list, std::string* message) noexcept;

} // namespace tv

// The documents folder, without a trailing separator: XDG_DOCUMENTS_DIR, else the user-dirs
// file, else $HOME/Documents. Empty when no home folder is known.
std::string SharedFolders_DocumentsPath() noexcept;

// Reads the settings file into the table (file order) and the list (sorted). A missing file
// is silent: list and table become empty. A file that cannot be read whole leaves list and
// table untouched, returns a negative code and the message, and is never overwritten later:
// the next save keeps it as "<file>.bad". Paths that do not fit the table (255 bytes or more,
// beyond the 200th) stay in the list, so that saving keeps them, and are named in the message.
// Window thread (or the command line), once before the server starts.
int SharedFolders_Load(std::vector<std::string>& list, std::string* message) noexcept;

// Rebuilds the table from the list (in list order) and rewrites the file. When the file
// cannot be created this is silent and the table stays as it was. A list that does not fit
// the table (more than 200, or a path of 255 bytes or more) is refused and nothing changes.
// The file is written beside its place and renamed over it, so a failed write never leaves
// less than the old file held.
int SharedFolders_Save(const std::vector<std::string>& list, std::string* message) noexcept;
