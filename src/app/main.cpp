// tindravoller: runs the media server; headless, the log goes to standard output and
// SIGINT or SIGTERM stops the server cleanly.
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <pthread.h>

#include "app/ServerLog.h"
#include "app/ServerMain.h"
#include "runtime/Event.h"

namespace {

constexpr const char kUsage[] =
    "Usage: tindravoller [--headless] [--help]\n"
    "\n"
    "Publishes the media files of the shared folders to UPnP AV / DLNA players on the\n"
    "local network.\n"
    "\n"
    "  --headless   run without a window; the log goes to standard output and\n"
    "               SIGINT or SIGTERM stops the server\n"
    "  --help       show this text\n";

void PrintLine(void* /*window*/, const char* line) noexcept
{
    // One write per line keeps lines from different threads whole.
    std::size_t length = std::strlen(line);
    flockfile(stdout);
    std::fwrite(line, 1, length, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    funlockfile(stdout);
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

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--headless") != 0) {
            std::fprintf(stderr, "tindravoller: unknown option '%s'\n\n%s", argv[i], kUsage);
            return 2;
        }
    }
    return RunHeadless();
}
