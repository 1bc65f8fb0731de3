// The main window: the shared-folder list with its two buttons and the server's log,
// newest line first. Opening it starts the server; closing it stops the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <QDialog>
#include <QString>

#include "app/ServerMain.h"
#include "runtime/Event.h"
#include "runtime/ServerLog.h"
#include "runtime/ServerOptions.h"
#include "shares/SharedFolders.h"

class QAction;
class QIcon;
class QContextMenuEvent;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace tv {
// Returns true and the chosen folder's path when the user picked one; *path holds the folder
// to open the picker in when called.
using PickFolderFn = bool (*)(QWidget* owner, void* user, QString* path) noexcept;
using ShowMessageFn = void (*)(QWidget* owner, void* user, const QString& text) noexcept;
using ShowAboutFn = void (*)(QWidget* owner, void* user) noexcept;
using ServerMainFn = int (*)(const ServerLogTarget* window, tv::Event* stop_event,
                             ServerStart* start) noexcept;

// What the window asks of the user and what it runs; tests put their own in, so that no
// modal dialog ever waits for a hand that is not there.
struct WindowHooks {
    PickFolderFn pick_folder;
    ShowMessageFn show_message;
    ShowAboutFn show_about;
    ServerMainFn server_main;
    void* user;
};

// The folder picker, the message box, the About box and ServerMain.
WindowHooks DefaultWindowHooks() noexcept;

// The application icon, for every window of the program.
QIcon TindravollerIcon() noexcept;

// The view keeps this many of the newest lines.
constexpr int kLogViewMaxLines = 10000;

// The status line's text for a server reached at `addresses` on `http_port`.
QString ServingText(const std::vector<std::string>& addresses, std::uint16_t http_port);
}  // namespace tv

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

class CTindravollerDLNAMFCDlg : public QDialog {
public:
    // Edits `folders` and has its server read them; they must outlive the window.
    explicit CTindravollerDLNAMFCDlg(tv::SharedFolderSet* folders,
                                     const tv::WindowHooks& hooks = tv::DefaultWindowHooks(),
                                     QWidget* parent = nullptr);
    ~CTindravollerDLNAMFCDlg() override;

    // How the server serves (the port, the interfaces). Before OnInitDialog.
    void SetServerOptions(const tv::ServerOptions& options) noexcept;
    // Loads the folder list and starts the server thread. Once, before the window shows.
    void OnInitDialog() noexcept;
    void OnAddDirectory() noexcept;
    void OnRemoveDirectory() noexcept;
    void OnAbout() noexcept;
    // Reloads the list when the settings file changed since the window last read or wrote
    // it (another process edited it). Runs every second; the edits run it first.
    void FollowSettingsFile() noexcept;

    // The log target's append: any thread, copies the line and posts it, never waits.
    static void AppendLog(void* window, const char* line) noexcept;
    // Where the server is reached, for the status line: any thread, posted like a log line.
    static void ShowServing(void* window, const std::vector<std::string>& addresses,
                            std::uint16_t http_port) noexcept;
    const ServerLogTarget* LogTarget() const noexcept { return &log_target_; }

    // Marks the window closing, stops the server and waits for its thread. Every way of
    // closing the window comes through here; a second call does nothing.
    void StopServer() noexcept;
    bool ServerThreadRunning() const noexcept { return server_thread_.joinable(); }
    bool Closing() const noexcept { return closing_.load(std::memory_order_acquire); }
    // The server could not start (its port was taken): the window said why and closed.
    bool ServerFailed() const noexcept { return server_failed_; }
    const std::string& ServerFailure() const noexcept { return server_start_.failure; }

    const std::vector<std::string>& Folders() const noexcept { return folders_; }
    QListWidget* FolderList() const noexcept { return folder_list_; }
    QPlainTextEdit* LogView() const noexcept { return log_view_; }
    QPushButton* AddButton() const noexcept { return add_button_; }
    QPushButton* RemoveButton() const noexcept { return remove_button_; }
    QLabel* UsageLabel() const noexcept { return usage_label_; }
    QLabel* LogsLabel() const noexcept { return logs_label_; }
    QLabel* StatusLine() const noexcept { return status_label_; }
    QAction* AboutAction() const noexcept { return about_action_; }

    void done(int result) override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    static void RunServer(CTindravollerDLNAMFCDlg* dialog) noexcept;
    void OnPostedLogLine(const QString& line) noexcept;
    void OnServerFailed() noexcept;
    void LayOut() noexcept;
    // Loads the file into the list; what cannot be shared goes to the log, a file that
    // cannot be read also to *shown.
    void LoadFolders(std::string* shown) noexcept;
    // LoadFolders when the file changed since the window last read or wrote it: true then.
    bool Refresh(std::string* shown) noexcept;
    void SaveFolders(std::string* shown) noexcept;
    void ShowFolders(bool keep_selection) noexcept;
    void ShowMessage(const std::string& text) noexcept;
    void LogLines(const std::string& text) noexcept;

    tv::WindowHooks hooks_;
    tv::SharedFolderSet* shared_ = nullptr;  // the program's, shared with the server
    ServerLogTarget log_target_;
    std::atomic<bool> closing_{false};
    tv::Event stop_event_;
    tv::ServerStart server_start_;  // its failure is written by the server thread
    bool server_failed_ = false;
    std::thread server_thread_;
    std::vector<std::string> folders_;
    tv::SharedFoldersStamp file_stamp_;  // the settings file as last read or written here
    QString last_folder_;                // where the folder picker opens
    QTimer* follow_timer_ = nullptr;

    QLabel* usage_label_ = nullptr;
    QPushButton* add_button_ = nullptr;
    QPushButton* remove_button_ = nullptr;
    QListWidget* folder_list_ = nullptr;
    QLabel* logs_label_ = nullptr;
    QPlainTextEdit* log_view_ = nullptr;
    QLabel* status_label_ = nullptr;
    QAction* about_action_ = nullptr;
};
