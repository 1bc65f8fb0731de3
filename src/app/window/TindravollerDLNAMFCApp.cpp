// The windowed program: the application object and its entry function.
#include "app/window/TindravollerDLNAMFCApp.h"

#include <csignal>
#include <cstdio>

#include <QApplication>
#include <QIcon>
#include <QSocketNotifier>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "app/window/TindravollerDLNAMFCDlg.h"
#include "app/window/WindowMain.h"
#include "runtime/UniqueFd.h"

namespace {

sigset_t StopSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

int CTindravollerDLNAMFCApp::InitInstance(const tv::ServerOptions& options,
                                          tv::SharedFolderSet& folders) noexcept
{
    // What the sockets need from the process: a peer that goes away must not end it.
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        tv::DefaultWindowHooks().show_message(
            nullptr, nullptr, QStringLiteral("Windows sockets initialization failed."));
        return 1;
    }

    CTindravollerDLNAMFCDlg dialog(&folders);
    dialog.SetServerOptions(options);

    // SIGINT and SIGTERM close the window like its close button, so the server still says
    // goodbye. They were blocked in every thread before any thread started.
    sigset_t stop_signals = StopSignals();
    tv::UniqueFd signal_fd(signalfd(-1, &stop_signals, SFD_NONBLOCK | SFD_CLOEXEC));
    QSocketNotifier* notifier = nullptr;
    if (signal_fd.get() >= 0) {
        notifier = new QSocketNotifier(signal_fd.get(), QSocketNotifier::Read, &dialog);
        int fd = signal_fd.get();
        QObject::connect(notifier, &QSocketNotifier::activated, &dialog, [fd, &dialog] {
            signalfd_siginfo info;
            while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            }
            dialog.close();
        });
    }

    dialog.OnInitDialog();
    dialog.exec();
    delete notifier;
    if (!dialog.ServerFailed()) return 0;
    std::fprintf(stderr, "tindravoller: The media server could not be started: %s\n",
                 dialog.ServerFailure().c_str());
    return 1;
}

int TindravollerWindow_Main(int argc, char** argv, const tv::ServerOptions& options,
                            tv::SharedFolderSet& folders)
{
    // Before QApplication and the server start their threads, which inherit the mask.
    sigset_t stop_signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tindravoller DLNA"));
    QApplication::setApplicationVersion(QStringLiteral("1.2"));
    QGuiApplication::setDesktopFileName(QStringLiteral("tindravoller"));
    QApplication::setWindowIcon(tv::TindravollerIcon());

    CTindravollerDLNAMFCApp app;
    return app.InitInstance(options, folders);
}
