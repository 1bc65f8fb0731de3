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
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/DisplayProbe.h"
#include "app/ProgramOptions.h"
#include "app/ServerMain.h"
#include "app/SharedFolders.h"
#include "mediaserver/FileIoAbstraction.h"
#include "net/LocalAddresses.h"
#include "runtime/Event.h"
#include "runtime/OlvParsers.h"
#include "runtime/ServerLog.h"
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
void PrintDamaged(const std::string& message)
{
    PrintMessage(message);
    std::string path = tv::SharedFolders_SettingsPath();
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
bool ApplyEdits(const Options& options, std::vector<std::string>& list)
{
    std::string message;
    for (const std::string& dir : options.share) {
        std::string folder;
        if (!AbsoluteFolder(dir, &folder)) return false;
        if (tv::SharedFolders_Add(list, folder, &message) < 0) {
            PrintMessage(message);
            return false;
        }
    }
    for (const std::string& dir : options.unshare) {
        auto found = std::find(list.begin(), list.end(), dir);
        // Also by its text form (an entry may end in a slash), or the way it was given to
        // --share.
        const std::string text = tv::SharedFolders_TextForm(Absolute(dir));
        auto same_text = [&](const std::string& entry) {
            return tv::SharedFolders_TextForm(entry) == text;
        };
        if (found == list.end()) found = std::find_if(list.begin(), list.end(), same_text);
        std::string canonical;
        if (found == list.end() && AbsoluteFolder(dir, &canonical))
            found = std::find(list.begin(), list.end(), canonical);
        if (found == list.end()) {
            std::fprintf(stderr, "tindravoller: %s is not shared\n", dir.c_str());
            return false;
        }
        list.erase(found);
    }
    return true;
}

// --list alone reads without the lock: saves replace the file whole.
int ListFolders()
{
    std::vector<std::string> list;
    std::string message;
    int loaded = tv::SharedFolders_LoadReadable(list, &message);
    for (const std::string& folder : list) std::printf("%s\n", folder.c_str());
    std::fflush(stdout);
    if (loaded == tv::kSharedFoldersBadFile) {
        PrintDamaged(message);
    } else {
        PrintMessage(message);
    }
    return loaded < 0 ? 1 : 0;
}

// Returns 0, or 1 after printing why the list could not be read, changed or saved.
int EditFolders(const Options& options)
{
    if (!options.recover && options.share.empty() && options.unshare.empty()) return ListFolders();
    // Load, edit and save as one step against other editors.
    tv::SharedFoldersLock lock;
    if (lock.result() < 0) {
        PrintMessage(lock.message() + "\nNothing was saved.");
        return 1;
    }
    std::vector<std::string> list;
    std::string message;
    int loaded = options.recover ? tv::SharedFolders_LoadReadable(list, &message)
                                 : SharedFolders_Load(list, &message);
    const bool damaged = loaded == tv::kSharedFoldersBadFile;
    if (damaged && !options.recover) {
        PrintDamaged(message);
        return 1;
    }
    PrintMessage(message);
    if (loaded < 0 && !damaged) return 1;
    if (options.recover && !damaged)
        std::fprintf(stderr, "tindravoller: %s can be read whole; there is nothing to recover\n",
                     tv::SharedFolders_SettingsPath().c_str());
    if (!ApplyEdits(options, list)) return 1;
    if (damaged || !options.share.empty() || !options.unshare.empty()) {
        int saved = SharedFolders_Save(list, &message);
        PrintMessage(saved < 0 ? message + "\nNothing was saved." : message);
        if (saved < 0) return 1;
    }
    if (options.list)
        for (const std::string& folder : list) std::printf("%s\n", folder.c_str());
    return 0;
}

int RunHeadless(const tv::ServerOptions& options) noexcept
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
    if (SharedFolders_Load(list, &message) != 0 && !message.empty())
        std::fprintf(stderr, "tindravoller: %s\n", message.c_str());

    static const ServerLogTarget stdout_target{.append = PrintLine, .window = nullptr};
    tv::Event stop_event;
    int result = 0;
    std::thread server([&] { result = ServerMain(&stdout_target, &stop_event, &options); });

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);
    stop_event.Set();
    server.join();
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

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    std::string error;
    switch (tv::ReadProgramOptions(argc, argv, &options, &error)) {
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
    if (!options.settings.empty()) tv::SharedFolders_SetSettingsPath(options.settings);
    tv::FileIo_SetFollowLinksOut(options.server.follow_links_out);

    for (const std::string& name : options.server.interfaces) {
        in_addr address{};
        if (if_nametoindex(name.substr(0, name.find(':')).c_str()) == 0 &&
            inet_pton(AF_INET, name.c_str(), &address) != 1)
            std::fprintf(stderr,
                         "tindravoller: no interface %s now; it is served once it appears\n",
                         name.c_str());
    }
    tv::SetServedInterfaces(options.server.interfaces);

    bool edits =
        options.list || options.recover || !options.share.empty() || !options.unshare.empty();
    if (edits) {
        int result = EditFolders(options);
        if (result != 0 || !options.headless) return result;
    }
    if (!options.headless && HasDisplay()) {
#ifdef TV_HAVE_WINDOW
        return TindravollerWindow_Main(argc, argv);
#else
        ExecWindowProgram(argv);
        std::fprintf(stderr, "tindravoller: the window is not installed; running headless\n");
#endif
    }
    return RunHeadless(options.server);
}
