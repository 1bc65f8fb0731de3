// tindravoller: the media server's program. With a display it opens the window; without one,
// or with --headless, it runs headless: the log goes to standard output and SIGINT or SIGTERM
// stops the server cleanly. --share, --unshare and --list edit the shared-folder list.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/DisplayProbe.h"
#include "app/ProgramOptions.h"
#include "app/ServerMain.h"
#include "app/ServiceUser.h"
#include "runtime/Event.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerLog.h"
#include "shares/SharedFolders.h"
#ifdef TV_HAVE_WINDOW
#include "app/window/WindowMain.h"
#endif

namespace {

using Options = tv::ProgramOptions;

void PrintLine(void* /*window*/, const char* line) noexcept
{
    // One locked write per line keeps lines from different threads whole.
    flockfile(stdout);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

void PrintMessage(const std::string& message)
{
    std::string_view lines = message;
    while (!lines.empty()) {
        std::size_t end = lines.find('\n');
        std::string line(lines.substr(0, end));
        if (!line.empty()) std::fprintf(stderr, "tindravoller: %s\n", line.c_str());
        lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    }
}

// A damaged file blocks every edit; this says which file and the way out.
void PrintDamaged(const tv::SharedFolderSet& folders, const std::string& message)
{
    PrintMessage(message);
    std::string path = tv::SharedFolders_SettingsPath(folders);
    std::fprintf(
        stderr,
        "tindravoller: Nothing was changed. --list shows the folders that can still be read;"
        " --recover-settings keeps the damaged file as %s.bad and starts a new list with"
        " them.\n",
        path.c_str());
}

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
    return std::string(cwd) + "/" + path;
}

// A folder shared now is kept in canonical form: absolute, without "." or "..", links
// resolved, so that one folder is not shared twice under two names.
bool AbsoluteFolder(const std::string& path, std::string* out)
{
    std::string absolute = Absolute(path);
    std::string why;
    if (!tv::SharedFolders_Canonical(absolute, out, &why)) {
        std::fprintf(stderr, "tindravoller: %s: %s\n", path.c_str(), why.c_str());
        return false;
    }
    return true;
}

// Applies --share and --unshare to the list; false after printing why one cannot be done.
// *changed tells whether the list differs now.
bool ApplyEdits(const Options& options, std::vector<std::string>& list, bool* changed)
{
    std::string message;
    for (const std::string& dir : options.share) {
        std::string folder;
        if (!AbsoluteFolder(dir, &folder)) return false;
        // Shared, it would be listed empty without a word.
        std::string why;
        if (!tv::SharedFolders_Readable(folder, &why)) {
            std::fprintf(stderr, "tindravoller: %s cannot be shared: %s\n", dir.c_str(),
                         why.c_str());
            return false;
        }
        int added = tv::SharedFolders_Add(list, folder, &message);
        if (added < 0) {
            PrintMessage(message);
            return false;
        }
        if (added == tv::kSharedFoldersAlreadyShared)
            PrintMessage(message);
        else
            *changed = true;
    }
    for (const std::string& dir : options.unshare) {
        // Every entry that names the folder goes, or it would stay shared: by its text, its
        // text form (an entry may end in a slash), or the way it was given to --share.
        const std::string text = tv::SharedFolders_TextForm(Absolute(dir));
        std::string canonical;
        if (!tv::SharedFolders_Canonical(Absolute(dir), &canonical, nullptr)) canonical = text;
        auto names = [&](const std::string& entry) {
            const std::string form = tv::SharedFolders_TextForm(entry);
            return entry == dir || form == text || form == canonical;
        };
        auto gone = std::remove_if(list.begin(), list.end(), names);
        if (gone == list.end()) {
            std::fprintf(stderr, "tindravoller: %s is not shared\n", dir.c_str());
            return false;
        }
        list.erase(gone, list.end());
        *changed = true;
    }
    return true;
}

// --list alone reads without the lock: saves replace the file whole.
int ListFolders(tv::SharedFolderSet& folders)
{
    std::vector<std::string> list;
    std::string message;
    int loaded = tv::SharedFolders_LoadReadable(folders, list, &message);
    for (const std::string& folder : list) std::printf("%s\n", folder.c_str());
    std::fflush(stdout);
    if (loaded == tv::kSharedFoldersBadFile) {
        PrintDamaged(folders, message);
    } else {
        PrintMessage(message);
    }
    return loaded < 0 ? 1 : 0;
}

// Returns 0, or 1 after printing why the list could not be read, changed or saved.
int EditFolders(const Options& options, tv::SharedFolderSet& folders)
{
    if (!options.recover && options.share.empty() && options.unshare.empty())
        return ListFolders(folders);
    // Load, edit and save as one step against other editors.
    tv::SharedFoldersLock lock(folders);
    if (lock.result() < 0) {
        PrintMessage(lock.message() + "\nNothing was saved.");
        return 1;
    }
    std::vector<std::string> list;
    std::string message;
    int loaded = options.recover ? tv::SharedFolders_LoadReadable(folders, list, &message)
                                 : SharedFolders_Load(folders, list, &message);
    const bool damaged = loaded == tv::kSharedFoldersBadFile;
    if (damaged && !options.recover) {
        PrintDamaged(folders, message);
        return 1;
    }
    PrintMessage(message);
    if (loaded < 0 && !damaged) return 1;
    if (options.recover && !damaged)
        std::fprintf(stderr, "tindravoller: %s can be read whole; there is nothing to recover\n",
                     tv::SharedFolders_SettingsPath(folders).c_str());
    bool changed = false;
    if (!ApplyEdits(options, list, &changed)) return 1;
    if (damaged || changed) {
        int saved = SharedFolders_Save(folders, list, &message);
        PrintMessage(saved < 0 ? message + "\nNothing was saved." : message);
        if (saved < 0) return 1;
    }
    if (options.list)
        for (const std::string& folder : list) std::printf("%s\n", folder.c_str());
    return 0;
}

// A word for a shell: quoted when it holds anything a shell would read otherwise.
std::string ShellWord(const std::string& word)
{
    if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUV"
                                                "WXYZ0123456789/._-+=:,@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// What a headless start prints on standard output once its web server answers: where players
// reach it, the folder list it reads, and with nothing shared the command that shares a
// folder into that list. An address that comes later is printed when it comes.
struct ServingReport {
    const tv::SharedFolderSet* folders = nullptr;
    std::mutex lock;
    std::vector<std::string> printed;  // addresses
    bool told = false;
    std::string share_command;
};

void PrintServing(void* user, const std::vector<std::string>& addresses,
                  std::uint16_t http_port) noexcept
{
    auto* report = static_cast<ServingReport*>(user);
    std::scoped_lock hold(report->lock);
    for (const std::string& address : addresses) {
        if (std::find(report->printed.begin(), report->printed.end(), address) !=
            report->printed.end())
            continue;
        report->printed.push_back(address);
        std::string line = "Serving at http://" + address + ":" + std::to_string(http_port) + "/";
        PrintLine(nullptr, line.c_str());
    }
    if (report->told) return;
    report->told = true;
    std::string list = "Folder list: " + tv::SharedFolders_SettingsPath(*report->folders);
    PrintLine(nullptr, list.c_str());
    if (tv::SharedFolders_List(*report->folders).empty()) {
        std::string hint = "Nothing is shared: share a folder with " + report->share_command;
        PrintLine(nullptr, hint.c_str());
    }
}

// The command that shares a folder into the list this start reads.
std::string ShareCommand(const Options& options, const char* program)
{
    std::string command = ShellWord(program);
    if (options.system) {
        command = "sudo " + command + " --system";
        if (options.settings != tv::kSystemSettingsPath)
            command += " --settings " + ShellWord(options.settings);
    } else if (!options.settings.empty()) {
        command += " --settings " + ShellWord(options.settings);
    }
    return command + " --share DIR";
}

int RunHeadless(const Options& options, const char* program, tv::SharedFolderSet& folders) noexcept
{
    // Every thread started from here on inherits the blocked signals; only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> list;
    std::string message;
    if (SharedFolders_Load(folders, list, &message) != 0) PrintMessage(message);

    static const ServerLogTarget stdout_target{.append = PrintLine, .window = nullptr};
    ServingReport report;
    report.folders = &folders;
    report.share_command = ShareCommand(options, program);
    tv::ServerStart start;
    start.options = options.server;
    start.folders = &folders;
    start.serving = PrintServing;
    start.user = &report;
    tv::Event stop_event;
    int result = 0;
    std::thread server([&] {
        result = ServerMain(&stdout_target, &stop_event, &start);
        // A server that could not start ends the wait for a signal at once.
        if (result != 0) ::kill(::getpid(), SIGTERM);
    });

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    stop_event.Set();
    server.join();
    if (result != 0)
        std::fprintf(stderr, "tindravoller: The media server could not be started: %s\n",
                     start.failure.c_str());
    return result;
}

// A display the window can really open: the toolkit waits without end on one that stays
// silent and aborts the program on one that refuses it; headless is the better outcome then.
bool HasDisplay()
{
    std::string why;
    tv::DisplayAnswer answer = tv::ProbeDisplay(std::chrono::seconds(3), &why);
    if (answer == tv::DisplayAnswer::kSilent || answer == tv::DisplayAnswer::kRefused)
        std::fprintf(stderr, "tindravoller: %s; running headless\n", why.c_str());
    return answer == tv::DisplayAnswer::kAnswers;
}

#ifndef TV_HAVE_WINDOW
// The window is a program of its own, so that the headless server maps no toolkit library.
// It is looked for where it is installed, then beside this program (the build folder).
// Returns only when it is not there.
void ExecWindowProgram(char** argv)
{
#ifdef TV_WINDOW_PROGRAM
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return;
    std::string folder(self, static_cast<std::size_t>(length));
    folder.erase(folder.rfind('/') + 1);
    for (const char* relative : {TV_WINDOW_PROGRAM, "tindravoller-window"}) {
        std::string program = folder + relative;
        execv(program.c_str(), argv);
        if (errno != ENOENT)
            std::fprintf(stderr, "tindravoller: %s: %s\n", program.c_str(), std::strerror(errno));
    }
#else
    (void)argv;
#endif
}
#endif

int Usage(const std::string& complaint)
{
    std::fprintf(stderr, "tindravoller: %s\n\n%s", complaint.c_str(), tv::kProgramUsage);
    return 2;
}

// The system service's list is read, checked and written as the service's user, so that it
// stays that user's and a folder the service cannot read is refused: root takes that
// identity before it reads anything, anyone else is sent to sudo. The service's user itself,
// naming no list of its own, gets the service's list: nothing ever reads another list of
// that user's. -1 to go on, else the exit code.
int TakeServiceIdentity(int argc, char** argv, bool* as_system)
{
    auto names = [&](std::string_view option) { return tv::CommandLineNames(argc, argv, option); };
    if (names("help") || names("version")) return -1;
    if (!names("system")) {
        const char* env = std::getenv("TINDRAVOLLER_SETTINGS");
        *as_system = !names("settings") && !names("config") && (env == nullptr || *env == '\0') &&
                     tv::RunsAs(tv::kServiceUser);
        return -1;
    }
    std::string why;
    switch (tv::BecomeServiceUser(tv::kServiceUser, &why)) {
    case tv::ServiceIdentity::kIsServiceUser:
    case tv::ServiceIdentity::kBecameServiceUser:
        return -1;
    case tv::ServiceIdentity::kOtherUser:
        std::fprintf(stderr,
                     "tindravoller: --system works on the system service's list as its user %s:"
                     " run it with sudo (sudo %s --system ...) or as that user\n",
                     tv::kServiceUser, ShellWord(argv[0]).c_str());
        return 1;
    case tv::ServiceIdentity::kFailed:
        break;
    }
    std::fprintf(stderr, "tindravoller: --system: %s\n", why.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    bool as_system = false;
    if (int refused = TakeServiceIdentity(argc, argv, &as_system); refused >= 0) return refused;

    Options options;
    std::string error;
    switch (tv::ReadProgramOptions(argc, argv, &options, &error, as_system)) {
    case tv::OptionsRead::kOk:
        break;
    case tv::OptionsRead::kBadCommandLine:
        return Usage(error);
    case tv::OptionsRead::kBadFile:
        std::fprintf(stderr, "tindravoller: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(tv::kProgramUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tindravoller %s\n", TV_VERSION);
        return 0;
    }
    // The one folder set of this run: the edits, the window and the server share it.
    tv::SharedFolderSet folders;
    if (!options.settings.empty()) tv::SharedFolders_SetSettingsPath(folders, options.settings);

    for (const std::string& name : options.server.interfaces) {
        in_addr address{};
        if (if_nametoindex(name.substr(0, name.find(':')).c_str()) == 0 &&
            inet_pton(AF_INET, name.c_str(), &address) != 1)
            std::fprintf(stderr,
                         "tindravoller: no interface %s now; it is served once it appears\n",
                         name.c_str());
    }

    bool edits =
        options.list || options.recover || !options.share.empty() || !options.unshare.empty();
    if (edits) {
        int result = EditFolders(options, folders);
        if (result != 0 || !options.headless) return result;
    }
    if (!options.headless && HasDisplay()) {
#ifdef TV_HAVE_WINDOW
        return TindravollerWindow_Main(argc, argv, options.server, folders);
#else
        ExecWindowProgram(argv);
        std::fprintf(stderr, "tindravoller: the window is not installed; running headless\n");
#endif
    }
    return RunHeadless(options, argv[0], folders);
}
