// tindravoller: the media server's program. With a display it opens the window; without one,
// or with --headless, it runs headless: the log goes to standard output and SIGINT or SIGTERM
// stops the server cleanly. --share, --unshare and --list edit the shared-folder list.
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstddef>
#include <sys/stat.h>

#include "runtime/ServerLog.h"
#include "app/ServerMain.h"
#include "app/SharedFolders.h"
#include "runtime/Event.h"
#include "runtime/OlvParsers.h"
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
    "  --interface NAME   serve only on this network interface (a name such as eth0), or\n"
    "                     only on this one IPv4 address of the machine; repeat it for\n"
    "                     more. Without it every interface is served. 127.0.0.1 is\n"
    "                     always served, for players on this machine. The server is\n"
    "                     neither announced nor answers on the others.\n"
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
    std::vector<std::string> interfaces;
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

bool CanConnect(const std::string& path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::size_t offset = abstract ? 1 : 0;
    if (path.empty() || path.size() + offset >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path + offset, path.data(), path.size());
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
    close(fd);
    return connected;
}

// A display the window can really open: the toolkit aborts the program on one it cannot
// reach, and a headless server is the better outcome then. Remote X displays are trusted.
bool HasDisplay()
{
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
        std::string socket_path = wayland;
        const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
        if (socket_path[0] != '/' && runtime_dir != nullptr)
            socket_path = std::string(runtime_dir) + "/" + socket_path;
        if (CanConnect(socket_path, false)) return true;
    }
    const char* x11 = std::getenv("DISPLAY");
    if (x11 == nullptr || *x11 == '\0') return false;
    std::string display = x11;
    if (display.rfind("unix:", 0) == 0) display.erase(0, 4);
    if (display[0] != ':') return true;
    std::string number = display.substr(1, display.find('.') - 1);
    std::string socket_path = "/tmp/.X11-unix/X" + number;
    return CanConnect(socket_path, false) || CanConnect(socket_path, true);
}

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
        bool takes_value = arg == "--share" || arg == "--unshare" || arg == "--settings" ||
                           arg == "--interface";
        if (takes_value && i + 1 >= argc) return Usage("missing value for", argv[i]);
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
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
        } else if (arg == "--interface") {
            options.interfaces.emplace_back(argv[++i]);
        } else {
            return Usage("unknown option", argv[i]);
        }
    }

    for (const std::string& name : options.interfaces) {
        in_addr address{};
        if (if_nametoindex(name.substr(0, name.find(':')).c_str()) == 0 &&
            inet_pton(AF_INET, name.c_str(), &address) != 1)
            std::fprintf(stderr, "tindravoller: no interface %s now; it is served once it appears\n",
                         name.c_str());
    }
    tv::SetServedInterfaces(options.interfaces);

    bool edits = options.list || !options.share.empty() || !options.unshare.empty();
    if (edits) {
        int result = EditFolders(options);
        if (result != 0 || !options.headless) return result;
    }
#ifdef TV_HAVE_WINDOW
    if (!options.headless && HasDisplay()) return TindravollerWindow_Main(argc, argv);
#endif
    if (!options.headless && HasDisplay())
        std::fprintf(stderr, "tindravoller: built without a window; running headless\n");
    return RunHeadless();
}
