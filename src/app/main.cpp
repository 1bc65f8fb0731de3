// tindravoller: the media server's program. With a display it opens the window; without one,
// or with --headless, it runs headless: the log goes to standard output and SIGINT or SIGTERM
// stops the server cleanly. --share, --unshare and --list edit the shared-folder list.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/ServerLog.h"
#include "app/DisplayProbe.h"
#include "app/ServerMain.h"
#include "app/SharedFolders.h"
#include "runtime/Event.h"
#ifdef TV_HAVE_WINDOW
#include "app/window/WindowMain.h"
#endif

namespace {

constexpr const char kUsage[] =
    "Usage: tindravoller [options]\n"
    "\n"
    "Publishes the media files of the shared folders to UPnP AV / DLNA players on the\n"
    "local network. With a display it opens its window; without one it runs headless.\n"
    "\n"
    "  --headless         run without a window: the log goes to standard output and\n"
    "                     SIGINT or SIGTERM stops the server (goodbye messages are sent)\n"
    "  --share DIR        add DIR to the shared folders and save the list\n"
    "  --unshare DIR      remove DIR from the shared folders and save the list\n"
    "  --list             print the shared folders, one a line\n"
    "  --settings FILE    keep the shared folders in FILE instead of\n"
    "                     <documents folder>/TindravollerDLNA.dat\n"
    "                     (the TINDRAVOLLER_SETTINGS environment variable does the same)\n"
    "  --version          print the program's version\n"
    "  --help             show this text\n"
    "\n"
    "--share, --unshare and --list end the program after they are done, unless\n"
    "--headless is given too. A shared folder is added or removed while the server runs:\n"
    "the next Browse sees it.\n";

struct Options {
    bool headless = false;
    bool list = false;
    std::vector<std::string> share;
    std::vector<std::string> unshare;
};

void PrintLine(void* /*window*/, const char* line) noexcept
{
    // One locked write per line keeps lines from different threads whole.
    flockfile(stdout);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
}

// Shared folders are absolute paths without "." or ".." parts; links are resolved so that the
// same folder is not shared twice under two names.
bool AbsoluteFolder(const std::string& path, std::string* out)
{
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        std::fprintf(stderr, "tindravoller: %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "tindravoller: %s: not a folder\n", path.c_str());
        return false;
    }
    *out = resolved;
    return true;
}

// Returns 0, or 1 after printing why the list could not be changed.
int EditFolders(const Options& options)
{
    std::vector<std::string> list;
    std::string message;
    int loaded = SharedFolders_Load(list, &message);
    if (loaded < 0) {
        std::fprintf(stderr, "tindravoller: %s\n", message.c_str());
        return 1;
    }
    bool changed = false;
    for (const std::string& dir : options.share) {
        std::string folder;
        if (!AbsoluteFolder(dir, &folder)) return 1;
        if (tv::SharedFolders_Add(list, folder, &message) < 0) {
            std::fprintf(stderr, "tindravoller: %s\n", message.c_str());
            return 1;
        }
        changed = true;
    }
    for (const std::string& dir : options.unshare) {
        auto found = list.end();
        for (auto it = list.begin(); it != list.end(); ++it)
            if (*it == dir) found = it;
        // A folder may also be named the way it was given to --share.
        char resolved[PATH_MAX];
        if (found == list.end() && realpath(dir.c_str(), resolved) != nullptr) {
            for (auto it = list.begin(); it != list.end(); ++it)
                if (*it == resolved) found = it;
        }
        if (found == list.end()) {
            std::fprintf(stderr, "tindravoller: %s is not shared\n", dir.c_str());
            return 1;
        }
        list.erase(found);
        changed = true;
    }
    if (changed) {
        int saved = SharedFolders_Save(list, &message);
        if (saved < 0 || !message.empty())
            std::fprintf(stderr, "tindravoller: %s\n", message.c_str());
        if (saved < 0) return 1;
    }
    if (options.list)
        for (const std::string& folder : list) std::printf("%s\n", folder.c_str());
    return 0;
}

int RunHeadless() noexcept
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
    std::thread server([&] { result = ServerMain(&stdout_target, &stop_event); });

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

int Usage(const char* complaint, const char* argument)
{
    std::fprintf(stderr, "tindravoller: %s '%s'\n\n%s", complaint, argument, kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool takes_value = arg == "--share" || arg == "--unshare" || arg == "--settings";
        if (takes_value && i + 1 >= argc) return Usage("missing value for", argv[i]);
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("tindravoller %s\n", TV_VERSION);
            return 0;
        } else if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--list") {
            options.list = true;
        } else if (arg == "--share") {
            options.share.emplace_back(argv[++i]);
        } else if (arg == "--unshare") {
            options.unshare.emplace_back(argv[++i]);
        } else if (arg == "--settings") {
            tv::SharedFolders_SetSettingsPath(argv[++i]);
        } else {
            return Usage("unknown option", argv[i]);
        }
    }

    bool edits = options.list || !options.share.empty() || !options.unshare.empty();
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
    return RunHeadless();
}
