// The shared-folder table and its settings file, kept in the program's SharedFolderSet. The
// window thread (or the command line) loads and saves; the chain thread reads the table
// through copies taken under its lock.
#include "shares/SharedFolders.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/OlvParsers.h"
#include "runtime/UniqueFd.h"

namespace {

constexpr const char* kSettingsFileName = "TindravollerDLNA.dat";
constexpr const char* kSettingsEnv = "TINDRAVOLLER_SETTINGS";
// Far beyond any real list (200 paths of 254 bytes); bigger files are not settings files.
constexpr std::size_t kMaxSettingsFileSize = 16u << 20;

void SetMessage(std::string* message, std::string text)
{
    if (message != nullptr) *message = std::move(text);
}

std::string ErrorText(int error)
{
    char buffer[256];
    // The GNU variant may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

bool LessIgnoringCase(std::string_view a, std::string_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(tv::ToLowerAscii(x)) <
               static_cast<unsigned char>(tv::ToLowerAscii(y));
    });
}

bool FitsTable(std::string_view path)
{
    return path.size() <= static_cast<std::size_t>(tv::kSharedFolderMaxPath);
}

int IndexOf(const SharedFolderTable& table, int count, std::string_view folder)
{
    for (int i = 0; i < count; ++i)
        if (folder == table.folders[i]) return i;
    return -1;
}

// The table a list gives (the entries that can be shared, in their shared form and list
// order, each folder once) and a line for each entry left out, each folder listed more than
// once and each folder the running user cannot read.
struct TablePlan {
    std::unique_ptr<SharedFolderTable> table = std::make_unique<SharedFolderTable>();
    std::string not_shared;
    bool left_out = false;  // some entry may become shareable later (a disk not mounted yet)
};

TablePlan PlanTable(const std::vector<std::string>& list)
{
    TablePlan plan;
    SharedFolderTable* table = plan.table.get();
    std::memset(table, 0, sizeof *table);
    int count = 0;
    std::vector<int> listed;  // entries naming each folder of the table
    for (const std::string& path : list) {
        std::string folder;
        std::string reason;
        int index = -1;
        if (!FitsTable(path)) {
            reason = "the path is 255 bytes or longer";
        } else if (!tv::SharedFolders_SharedForm(path, &folder, &reason)) {
        } else if ((index = IndexOf(*table, count, folder)) >= 0) {
            // Two objects with one ObjectID are no answer a player can use.
            ++listed[static_cast<std::size_t>(index)];
            continue;
        } else if (count == tv::kSharedFolderCapacity) {
            reason = "no more than 200 folders can be shared";
        } else {
            // No longer than the entry: the text form only takes out.
            std::memcpy(table->folders[count], folder.data(), folder.size());
            table->folders[count][folder.size()] = '\0';
            ++count;
            listed.push_back(1);
            std::string why;
            if (!tv::SharedFolders_Readable(folder, &why))
                plan.not_shared += "Shared but not readable: " + folder + " (" + why + ")\n";
            continue;
        }
        plan.not_shared += "Not shared: " + path + " (" + reason + ")\n";
        plan.left_out = true;
    }
    for (int i = 0; i < count; ++i) {
        const int times = listed[static_cast<std::size_t>(i)];
        if (times > 1)
            plan.not_shared += "Listed " + std::to_string(times) +
                               " times, shared once: " + table->folders[i] + "\n";
    }
    table->folder_count = count;
    return plan;
}

void PublishTable(tv::SharedFolderSet& folders, const SharedFolderTable& table)
{
    std::scoped_lock hold(folders.table_lock);
    std::memcpy(folders.table.folders, table.folders, sizeof table.folders);
    folders.table.folder_count = table.folder_count;
}

// ---- file format ----

class Reader {
public:
    Reader(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}
    bool U8(std::uint32_t* v) { return Take(1, v); }
    bool U16(std::uint32_t* v) { return Take(2, v); }
    bool U32(std::uint32_t* v) { return Take(4, v); }
    std::size_t Left() const { return size_ - pos_; }
    std::size_t Pos() const { return pos_; }
    const unsigned char* Bytes(std::size_t n)
    {
        const unsigned char* p = data_ + pos_;
        pos_ += n;
        return p;
    }

private:
    bool Take(std::size_t n, std::uint32_t* v)
    {
        if (Left() < n) return false;
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < n; ++i) value |= std::uint32_t{data_[pos_ + i]} << (8 * i);
        pos_ += n;
        *v = value;
        return true;
    }
    const unsigned char* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

void PutLE(std::string& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void AppendUtf8(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// UTF-16LE to UTF-8; false for a lone surrogate or a NUL (which would cut the path).
bool Utf16ToUtf8(const unsigned char* bytes, std::size_t units, std::string* out)
{
    out->clear();
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t unit = bytes[2 * i] | (std::uint32_t{bytes[2 * i + 1]} << 8);
        if (unit == 0) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == units) return false;
            std::uint32_t low = bytes[2 * i + 2] | (std::uint32_t{bytes[2 * i + 3]} << 8);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            AppendUtf8(*out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        } else {
            AppendUtf8(*out, unit);
        }
    }
    return true;
}

int Garbled(std::string* message, const char* what, std::size_t offset)
{
    char text[160];
    std::snprintf(text, sizeof text, "The settings file is damaged (%s at byte %zu).", what,
                  offset);
    SetMessage(message, text);
    return tv::kSharedFoldersBadFile;
}

std::string DirectoryOf(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes, int* error)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Opens a file of settings for reading without waiting on it: a FIFO or a device put in its
// place would hold the caller (the server's chain thread among them) without end. Only a
// regular file is opened; *error is errno, or EINVAL for anything else.
tv::UniqueFd OpenRegularFile(const std::string& path, int* error)
{
    tv::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        *error = errno;
        return {};
    }
    if (!S_ISREG(info.st_mode)) {
        *error = EINVAL;
        return {};
    }
    return fd;
}

constexpr int kNotRegular = 2;

// Reads the whole file. 0 read, 1 could not be opened (silent), kNotRegular with the message
// when it is not a regular file, negative on errors.
int ReadFile(const std::string& path, std::string* bytes, int* open_error, std::string* message)
{
    tv::UniqueFd fd = OpenRegularFile(path, open_error);
    if (!fd) {
        if (*open_error != EINVAL) return 1;
        SetMessage(message, "The settings file " + path +
                                " is not a regular file; it is neither read nor replaced.");
        return kNotRegular;
    }
    bytes->clear();
    char block[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), block, sizeof block);
        if (n < 0) {
            int error = errno;
            if (error == EINTR) continue;
            SetMessage(message,
                       "Could not read the settings file " + path + ": " + ErrorText(error));
            return tv::kSharedFoldersIoError;
        }
        if (n == 0) break;
        if (bytes->size() + static_cast<std::size_t>(n) > kMaxSettingsFileSize) {
            SetMessage(message, "The settings file " + path + " is too large to be a folder list.");
            return tv::kSharedFoldersBadFile;
        }
        bytes->append(block, static_cast<std::size_t>(n));
    }
    return 0;
}

// Keeps an unreadable settings file beside its place under a name not yet taken.
bool KeepAside(const std::string& path, std::string* kept)
{
    for (int i = 0; i < 100; ++i) {
        std::string candidate = path + ".bad";
        if (i > 0) candidate += "." + std::to_string(i);
        if (::link(path.c_str(), candidate.c_str()) == 0) {
            *kept = candidate;
            return true;
        }
        if (errno == ENOENT) {  // the file is gone: nothing to keep
            kept->clear();
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

std::string HomeFolder()
{
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') return home;
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr) {
        return found->pw_dir;
    }
    return {};
}

// The name of the user this process runs as, else its number.
std::string UserName()
{
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(::geteuid());
}

// XDG_DOCUMENTS_DIR="$HOME/Documents" or an absolute path, from the user-dirs file.
std::string DocumentsFromUserDirs(const std::string& home)
{
    std::string file;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        file = std::string(config) + "/user-dirs.dirs";
    } else if (!home.empty()) {
        file = home + "/.config/user-dirs.dirs";
    } else {
        return {};
    }
    int error = 0;
    tv::UniqueFd fd = OpenRegularFile(file, &error);
    if (!fd) return {};
    std::unique_ptr<FILE, int (*)(FILE*)> stream(::fdopen(fd.get(), "r"), &std::fclose);
    if (!stream) return {};
    fd.release();
    char line[1024];
    std::string result;
    while (std::fgets(line, sizeof line, stream.get()) != nullptr) {
        std::string_view text(line);
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        constexpr std::string_view key = "XDG_DOCUMENTS_DIR=\"";
        if (text.substr(0, key.size()) != key) continue;
        text.remove_prefix(key.size());
        std::size_t end = text.find('"');
        if (end == std::string_view::npos) continue;
        text = text.substr(0, end);
        if (text.substr(0, 5) == "$HOME") {
            if (home.empty()) continue;
            result = home + std::string(text.substr(5));
        } else if (!text.empty() && text.front() == '/') {
            result = std::string(text);
        }
    }
    return result;
}

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// The settings file's path; *in_documents tells whether it is the default one in the
// documents folder.
std::string SettingsLocation(const tv::SharedFolderSet& folders, bool* in_documents)
{
    if (in_documents != nullptr) *in_documents = false;
    {
        std::scoped_lock hold(folders.path_lock);
        if (!folders.settings_path.empty()) return folders.settings_path;
    }
    const char* env = std::getenv(kSettingsEnv);
    if (env != nullptr && env[0] != '\0') return env;
    std::string documents = SharedFolders_DocumentsPath();
    if (documents.empty()) return {};
    if (in_documents != nullptr) *in_documents = true;
    if (documents.back() != '/') documents += '/';
    return documents + kSettingsFileName;
}

// The documents folder is created when missing, as the desktop's own tools do; a folder
// named explicitly for the settings is not.
void MakeDocumentsFolder(const tv::SharedFolderSet& folders)
{
    bool in_documents = false;
    std::string path = SettingsLocation(folders, &in_documents);
    if (!in_documents) return;
    std::string folder = DirectoryOf(path);
    for (std::size_t at = 1; at <= folder.size(); ++at) {
        if (at == folder.size() || folder[at] == '/') ::mkdir(folder.substr(0, at).c_str(), 0755);
    }
}

// An exclusive flock, waited for up to `wait`; false with errno (EWOULDBLOCK when another
// holds it all that time). flock itself has no time limit: the wait is a poll that grows
// from 1 ms to 50 ms, short beside the fsync of the holder's save.
bool LockWithin(int fd, std::chrono::milliseconds wait)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + wait;
    std::chrono::milliseconds pause{1};
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        const Clock::time_point now = Clock::now();
        if (now >= end) {
            errno = EWOULDBLOCK;
            return false;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(
            pause, std::chrono::ceil<std::chrono::milliseconds>(end - now)));
        pause = std::min(pause * 2, std::chrono::milliseconds{50});
    }
    return true;
}

// The process id the holder of the lock wrote into it; empty when there is none.
std::string HolderOf(int fd)
{
    char text[24] = {};
    ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    std::string holder;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9'; ++i) holder += text[i];
    return holder;
}

// Where a save writes: the file a symbolic link at the configured place points to.
std::string SaveTarget(const std::string& configured)
{
    struct stat info {};
    if (::lstat(configured.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char* real = ::realpath(configured.c_str(), nullptr);
        if (real != nullptr) {
            std::string target = real;
            std::free(real);
            return target;
        }
    }
    return configured;
}

}  // namespace

namespace tv {

void SharedFolders_InsertSorted(std::vector<std::string>& list, std::string path) noexcept
{
    auto place = std::upper_bound(
        list.begin(), list.end(), path,
        [](const std::string& a, const std::string& b) { return LessIgnoringCase(a, b); });
    list.insert(place, std::move(path));
}

int SharedFolders_Add(std::vector<std::string>& list, std::string_view path,
                      std::string* message) noexcept
{
    if (path.empty()) {
        SetMessage(message, "No folder was given.");
        return kSharedFoldersEmptyPath;
    }
    if (path.find('\0') != std::string_view::npos || !FitsTable(path)) {
        SetMessage(message, "The folder path is too long to be shared (at most 254 bytes): " +
                                std::string(path));
        return kSharedFoldersTooLong;
    }
    const std::string folder = SharedFolders_TextForm(path);
    for (const std::string& entry : list) {
        if (SharedFolders_TextForm(entry) == folder) {
            SetMessage(message, std::string(path) + " is already shared.");
            return kSharedFoldersAlreadyShared;
        }
    }
    if (list.size() >= static_cast<std::size_t>(kSharedFolderCapacity)) {
        SetMessage(message, "No more than 200 folders can be shared; remove one first.");
        return kSharedFoldersFull;
    }
    SharedFolders_InsertSorted(list, std::string(path));
    SetMessage(message, {});
    return kSharedFoldersOk;
}

void SharedFolders_SetSettingsPath(SharedFolderSet& folders, std::string_view path) noexcept
{
    std::scoped_lock hold(folders.path_lock);
    folders.settings_path = std::string(path);
}

std::string SharedFolders_SettingsPath(const SharedFolderSet& folders) noexcept
{
    return SettingsLocation(folders, nullptr);
}

void SharedFolders_CopyTable(const SharedFolderSet& folders, SharedFolderTable* out) noexcept
{
    std::scoped_lock hold(folders.table_lock);
    std::memcpy(out, &folders.table, sizeof folders.table);
}

std::vector<std::string> SharedFolders_List(const SharedFolderSet& folders) noexcept
{
    std::scoped_lock hold(folders.table_lock);
    const SharedFolderTable& table = folders.table;
    std::vector<std::string> list;
    list.reserve(static_cast<std::size_t>(table.folder_count));
    for (int i = 0; i < table.folder_count; ++i) list.emplace_back(table.folders[i]);
    return list;
}

bool SharedFolders_Contains(const SharedFolderSet& folders, std::string_view path) noexcept
{
    std::scoped_lock hold(folders.table_lock);
    const SharedFolderTable& table = folders.table;
    for (int i = 0; i < table.folder_count; ++i) {
        if (path == table.folders[i]) return true;
    }
    return false;
}

bool SharedFolders_Covers(const SharedFolderSet& folders, std::string_view real) noexcept
{
    std::scoped_lock hold(folders.table_lock);
    const SharedFolderTable& table = folders.table;
    for (int i = 0; i < table.folder_count; ++i) {
        std::string_view folder = table.folders[i];
        if (folder == "/") return true;
        if (real.starts_with(folder) &&
            (real.size() == folder.size() || real[folder.size()] == '/'))
            return true;
    }
    return false;
}

bool SharedFolders_Canonical(std::string_view path, std::string* canonical,
                             std::string* why) noexcept
{
    std::string reason;
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string_view::npos) {
        reason = "not an absolute path";
    } else {
        char* real = ::realpath(std::string(path).c_str(), nullptr);
        struct stat info {};
        if (real == nullptr) {
            reason = ErrorText(errno);
        } else if (::stat(real, &info) != 0 || !S_ISDIR(info.st_mode)) {
            reason = "not a folder";
        } else {
            *canonical = real;
        }
        std::free(real);
    }
    if (why != nullptr) *why = reason;
    return reason.empty();
}

bool SharedFolders_Readable(std::string_view folder, std::string* why) noexcept
{
    if (::faccessat(AT_FDCWD, std::string(folder).c_str(), R_OK | X_OK, AT_EACCESS) == 0)
        return true;
    int error = errno;
    if (why != nullptr)
        *why = "user " + UserName() + " cannot read and enter it: " + ErrorText(error);
    return false;
}

std::string SharedFolders_TextForm(std::string_view path) noexcept
{
    std::vector<std::string_view> parts;
    const bool absolute = !path.empty() && path.front() == '/';
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view part = path.substr(0, slash);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == ".." && !parts.empty() && parts.back() != "..") {
            parts.pop_back();
        } else if (part != ".." || !absolute) {
            parts.push_back(part);  // ".." above the root is the root
        }
    }
    std::string out;
    for (std::string_view part : parts) {
        if (absolute || !out.empty()) out += '/';
        out += part;
    }
    if (out.empty()) out = absolute ? "/" : ".";
    return out;
}

bool SharedFolders_SharedForm(std::string_view entry, std::string* folder,
                              std::string* why) noexcept
{
    std::string real;
    if (!SharedFolders_Canonical(entry, &real, why)) return false;
    std::string text = SharedFolders_TextForm(entry);
    // The kernel's reading of the text is its plain reading only when no link is on the way.
    if (real != text) {
        if (why != nullptr) *why = "a link on its way leads to " + real;
        return false;
    }
    *folder = std::move(text);
    return true;
}

bool SharedFolders_SomeLeftOut(const SharedFolderSet& folders) noexcept
{
    return folders.some_left_out.load();
}

SharedFoldersStamp SharedFolders_FileStamp(const SharedFolderSet& folders) noexcept
{
    SharedFoldersStamp stamp;
    std::string path = SharedFolders_SettingsPath(folders);
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0) return stamp;
    stamp.exists = true;
    stamp.device = static_cast<std::uint64_t>(info.st_dev);
    stamp.inode = static_cast<std::uint64_t>(info.st_ino);
    stamp.size = static_cast<std::int64_t>(info.st_size);
    stamp.mtime_nsec = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1'000'000'000 +
                       static_cast<std::int64_t>(info.st_mtim.tv_nsec);
    return stamp;
}

SharedFoldersLock::SharedFoldersLock(const SharedFolderSet& folders,
                                     std::chrono::milliseconds wait) noexcept
{
    const std::string path = SharedFolders_SettingsPath(folders);
    if (path.empty()) {
        result_ = kSharedFoldersNoLocation;
        message_ = "No documents folder was found for the settings file.";
        return;
    }
    MakeDocumentsFolder(folders);
    // Beside the file the save replaces, so that two names of one file share one lock.
    const std::string lock_path = SaveTarget(path) + ".lock";
    // Never through a link (it would create the file it points to) nor on a FIFO.
    UniqueFd fd(
        ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) {
        int error = errno;
        result_ = kSharedFoldersIoError;
        message_ = "Could not write the settings file " + path + ": " + ErrorText(error);
        if (error == ELOOP) message_ += " (the lock file " + lock_path + " is a symbolic link)";
        return;
    }
    if (!S_ISREG(info.st_mode)) {
        result_ = kSharedFoldersIoError;
        message_ = "The lock file " + lock_path + " is not a regular file.";
        return;
    }
    if (!LockWithin(fd.get(), wait)) {
        int error = errno;
        if (error != EWOULDBLOCK) {
            result_ = kSharedFoldersIoError;
            message_ = "Could not write the settings file " + path + ": " + ErrorText(error);
            return;
        }
        std::string holder = HolderOf(fd.get());
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3g", static_cast<double>(wait.count()) / 1000);
        result_ = kSharedFoldersLocked;
        message_ = "The settings file " + path + " is being edited by " +
                   (holder.empty() ? "another process" : "process " + holder) + ": its lock " +
                   lock_path + " was not free within " + seconds + " s.";
        return;
    }
    // Tells a waiter, and a user reading the file, who holds the list.
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd.get(), 0) == 0) {
        ssize_t written = ::pwrite(fd.get(), pid.data(), pid.size(), 0);
        (void)written;
    }
    fd_ = fd.release();
}

SharedFoldersLock::~SharedFoldersLock()
{
    if (fd_ < 0) return;
    // Whoever finds a process id in the file finds its holder.
    int emptied = ::ftruncate(fd_, 0);
    (void)emptied;
    ::close(fd_);  // ends the lock
}

std::string SharedFolders_Encode(const std::vector<std::string>& list) noexcept
{
    std::string out;
    const std::size_t count = list.size();
    if (count < 0xFFFF) {
        PutLE(out, static_cast<std::uint32_t>(count), 2);
    } else {
        PutLE(out, 0xFFFF, 2);
        PutLE(out, static_cast<std::uint32_t>(count), 4);
    }
    for (const std::string& text : list) {
        const std::size_t length = text.size();
        if (length <= 254) {
            PutLE(out, static_cast<std::uint32_t>(length), 1);
        } else if (length <= 0xFFFD) {
            PutLE(out, 0xFF, 1);
            PutLE(out, static_cast<std::uint32_t>(length), 2);
        } else {
            PutLE(out, 0xFF, 1);
            PutLE(out, 0xFFFF, 2);
            PutLE(out, static_cast<std::uint32_t>(length), 4);
        }
        out += text;
    }
    return out;
}

}  // namespace tv

namespace {

// Decodes into *result, which holds the strings read before the fault when the input is
// damaged.
int DecodeList(const unsigned char* data, std::size_t size, std::vector<std::string>* result,
               std::string* message)
{
    Reader in(data, size);
    std::uint32_t count = 0;
    if (!in.U16(&count)) return Garbled(message, "no count", in.Pos());
    if (count == 0xFFFF && !in.U32(&count)) return Garbled(message, "no count", in.Pos());
    // Every string takes at least its length byte.
    if (count > in.Left()) return Garbled(message, "more entries than bytes", in.Pos());

    result->clear();
    result->reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        bool wide = false;
        std::uint64_t length = 0;
        for (;;) {
            std::uint32_t value = 0;
            if (!in.U8(&value)) return Garbled(message, "missing length", in.Pos());
            if (value < 0xFF) {
                length = value;
                break;
            }
            if (!in.U16(&value)) return Garbled(message, "missing length", in.Pos());
            if (value == 0xFFFE) {
                if (wide) return Garbled(message, "repeated wide-text mark", in.Pos());
                wide = true;
                continue;
            }
            if (value == 0xFFFF && !in.U32(&value)) {
                return Garbled(message, "missing length", in.Pos());
            }
            length = value;
            break;
        }
        const std::uint64_t bytes = wide ? 2 * length : length;
        if (bytes > in.Left()) return Garbled(message, "text cut short", in.Pos());
        const std::size_t start = in.Pos();
        const unsigned char* text = in.Bytes(static_cast<std::size_t>(bytes));
        std::string path;
        if (wide) {
            if (!Utf16ToUtf8(text, static_cast<std::size_t>(length), &path)) {
                return Garbled(message, "invalid wide text", start);
            }
        } else {
            path.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(bytes));
            if (path.find('\0') != std::string::npos) {
                return Garbled(message, "NUL inside a path", start);
            }
        }
        result->push_back(std::move(path));
    }
    if (in.Left() != 0) return Garbled(message, "unexpected bytes after the list", in.Pos());
    SetMessage(message, {});
    return tv::kSharedFoldersOk;
}

}  // namespace

namespace tv {

int SharedFolders_Decode(const unsigned char* data, std::size_t size,
                         std::vector<std::string>* list, std::string* message) noexcept
{
    std::vector<std::string> result;
    int decoded = DecodeList(data, size, &result, message);
    if (decoded == kSharedFoldersOk) *list = std::move(result);
    return decoded;
}

}  // namespace tv

std::string SharedFolders_DocumentsPath() noexcept
{
    const char* direct = std::getenv("XDG_DOCUMENTS_DIR");
    if (direct != nullptr && direct[0] == '/') return WithoutTrailingSlash(direct);
    std::string home = HomeFolder();
    std::string documents = DocumentsFromUserDirs(home);
    if (!documents.empty()) return WithoutTrailingSlash(documents);
    if (home.empty()) return {};
    return WithoutTrailingSlash(home) + "/Documents";
}

namespace {

// The table in file order, the list sorted, every entry as written: a load never rewrites
// one, so no save writes a path the user did not give.
int TakeEntries(tv::SharedFolderSet& folders, const std::vector<std::string>& entries,
                std::vector<std::string>& list, std::string* message)
{
    TablePlan plan = PlanTable(entries);
    PublishTable(folders, *plan.table);
    folders.some_left_out.store(plan.left_out);
    list.clear();
    for (const std::string& entry : entries) tv::SharedFolders_InsertSorted(list, entry);
    SetMessage(message, plan.not_shared);
    return plan.not_shared.empty() ? tv::kSharedFoldersOk : tv::kSharedFoldersNotShared;
}

int LoadFile(tv::SharedFolderSet& folders, std::vector<std::string>& list, std::string* message,
             bool keep_readable)
{
    SetMessage(message, {});
    const std::string path = tv::SharedFolders_SettingsPath(folders);
    if (path.empty()) {
        SetMessage(message, "No documents folder was found for the settings file.");
        return tv::kSharedFoldersNoLocation;
    }
    std::string bytes;
    int open_error = 0;
    int read = ReadFile(path, &bytes, &open_error, message);
    // Nothing to keep aside, and no save replaces it.
    if (read == kNotRegular) return tv::kSharedFoldersIoError;
    if (read == 1) {
        // Nothing to read yet: the list starts empty. A file that exists but cannot be
        // opened is still protected from being replaced by an empty list.
        if (open_error != ENOENT && open_error != ENOTDIR) {
            std::scoped_lock hold(folders.path_lock);
            folders.refused_file = path;
        }
        return TakeEntries(folders, {}, list, message);
    }
    std::vector<std::string> entries;
    int decoded = read;
    if (read == 0) {
        decoded = DecodeList(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                             &entries, message);
        if (decoded < 0 && message != nullptr) *message += " File: " + path + ".";
    }
    {
        std::scoped_lock hold(folders.path_lock);
        if (decoded < 0)
            folders.refused_file = path;
        else if (folders.refused_file == path)
            folders.refused_file.clear();
    }
    if (decoded < 0 && !(keep_readable && decoded == tv::kSharedFoldersBadFile)) return decoded;
    std::string damage = decoded < 0 && message != nullptr ? *message : std::string();
    int taken = TakeEntries(folders, entries, list, message);
    if (decoded < 0) {
        if (message != nullptr) *message = damage + (message->empty() ? "" : "\n" + *message);
        return decoded;
    }
    return taken;
}

}  // namespace

int SharedFolders_Load(tv::SharedFolderSet& folders, std::vector<std::string>& list,
                       std::string* message) noexcept
{
    return LoadFile(folders, list, message, false);
}

int tv::SharedFolders_LoadReadable(SharedFolderSet& folders, std::vector<std::string>& list,
                                   std::string* message) noexcept
{
    return LoadFile(folders, list, message, true);
}

namespace {

// A list the table cannot hold is refused whole; kSharedFoldersOk when it fits.
int CheckList(const std::vector<std::string>& list, std::string* message)
{
    if (list.size() > static_cast<std::size_t>(tv::kSharedFolderCapacity)) {
        SetMessage(message, "No more than 200 folders can be shared; the list was not saved.");
        return tv::kSharedFoldersFull;
    }
    for (const std::string& path : list) {
        if (!FitsTable(path) || path.find('\0') != std::string::npos) {
            SetMessage(message, "The folder path is too long to be shared (at most 254 bytes): " +
                                    path + "\nRemove it; the list was not saved.");
            return tv::kSharedFoldersTooLong;
        }
    }
    return tv::kSharedFoldersOk;
}

// Writes the bytes to the temporary file and closes it, on the disk; on failure removes it.
bool WriteTemporary(tv::UniqueFd fd, const std::string& temp_name, const std::string& bytes,
                    const std::string& path, std::string* message)
{
    int error = 0;
    bool written = WriteAll(fd.get(), bytes, &error);
    if (written && ::fsync(fd.get()) != 0) {
        error = errno;
        written = false;
    }
    if (written && ::close(fd.release()) != 0) {
        error = errno;
        written = false;
    }
    if (!written) {
        ::unlink(temp_name.c_str());
        SetMessage(message, "Could not write the settings file " + path + ": " + ErrorText(error));
    }
    return written;
}

// A settings file that could not be read is kept aside before the new one takes its place.
// The save's result so far, or an error when it cannot be kept (the temporary file is gone).
int KeepRefusedFile(tv::SharedFolderSet& folders, const std::string& configured,
                    const std::string& path, const std::string& temp_name, std::string* message)
{
    std::scoped_lock hold(folders.path_lock);
    const std::string& refused = folders.refused_file;
    if (refused.empty() || (refused != configured && refused != path)) return tv::kSharedFoldersOk;
    std::string kept;
    if (!KeepAside(path, &kept)) {
        int keep_error = errno;
        ::unlink(temp_name.c_str());
        SetMessage(message, "The settings file " + path +
                                " could not be read earlier and could not be kept aside (" +
                                ErrorText(keep_error) + "); it was not overwritten.");
        return tv::kSharedFoldersIoError;
    }
    int result = tv::kSharedFoldersOk;
    if (!kept.empty()) {
        SetMessage(message, "The unreadable settings file was kept as " + kept + ".");
        result = tv::kSharedFoldersBadFileKept;
    }
    folders.refused_file.clear();
    return result;
}

}  // namespace

int SharedFolders_Save(tv::SharedFolderSet& folders, const std::vector<std::string>& list,
                       std::string* message) noexcept
{
    SetMessage(message, {});
    int refused = CheckList(list, message);
    if (refused != tv::kSharedFoldersOk) return refused;
    std::string path = tv::SharedFolders_SettingsPath(folders);
    if (path.empty()) {
        SetMessage(message, "No documents folder was found for the settings file.");
        return tv::kSharedFoldersNoLocation;
    }
    const std::string configured = path;
    // Replace what a symbolic link points at, not the link.
    path = SaveTarget(configured);
    struct stat info {};
    mode_t mode = 0644;
    if (::stat(path.c_str(), &info) == 0) {
        if (!S_ISREG(info.st_mode)) {
            SetMessage(message, "The settings file " + path +
                                    " is not a regular file; it is neither read nor replaced.");
            return tv::kSharedFoldersIoError;
        }
        mode = info.st_mode & 07777;
    }

    MakeDocumentsFolder(folders);
    std::string temp_name = path + ".XXXXXX";
    tv::UniqueFd fd(::mkostemp(temp_name.data(), O_CLOEXEC));
    if (!fd) {
        // The table stays as it was; the caller tells the user.
        SetMessage(message, "Could not write the settings file " + path + ": " + ErrorText(errno));
        return tv::kSharedFoldersIoError;
    }
    ::fchmod(fd.get(), mode);

    PublishTable(folders, *PlanTable(list).table);

    if (!WriteTemporary(std::move(fd), temp_name, tv::SharedFolders_Encode(list), path, message))
        return tv::kSharedFoldersIoError;
    int result = KeepRefusedFile(folders, configured, path, temp_name, message);
    if (result < 0) return result;
    if (::rename(temp_name.c_str(), path.c_str()) != 0) {
        int rename_error = errno;
        ::unlink(temp_name.c_str());
        SetMessage(message,
                   "Could not write the settings file " + path + ": " + ErrorText(rename_error));
        return tv::kSharedFoldersIoError;
    }
    // Make the new name durable too.
    tv::UniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
    return result;
}
