// The main window and its About box.
#include "app/window/TindravollerDLNAMFCDlg.h"

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QBoxLayout>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include "app/ServerMain.h"
#include "shares/SharedFolders.h"

// Q_INIT_RESOURCE must be used outside any namespace; a static library's resources are
// otherwise dropped by the linker.
static void InitTindravollerResources()
{
    Q_INIT_RESOURCE(tindravoller);
}

namespace {

constexpr const char kUsageText[] = "Usage: Just add a media directory (folder) to the list. ";
constexpr const char kAboutEntryText[] = "&About TindravollerDLNAMFC...";

// Dialog units follow the font, as on the platform the layout was drawn for: a horizontal
// unit is a quarter of the average character width, a vertical unit an eighth of its height.
struct DialogUnits {
    double x;
    double y;
};

DialogUnits BaseUnits(const QFont& font)
{
    QFontMetrics metrics(font);
    int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return DialogUnits{.x = static_cast<double>((letters / 26 + 1) / 2),
                       .y = static_cast<double>(metrics.height())};
}

int UnitsToPixels(int units, double base, int divisor)
{
    return static_cast<int>(std::lround(units * base / divisor));
}

QRect DialogRect(const DialogUnits& units, int x, int y, int width, int height)
{
    return QRect(UnitsToPixels(x, units.x, 4), UnitsToPixels(y, units.y, 8),
                 UnitsToPixels(width, units.x, 4), UnitsToPixels(height, units.y, 8));
}

QSize DialogSize(const DialogUnits& units, int width, int height)
{
    return QSize(UnitsToPixels(width, units.x, 4), UnitsToPixels(height, units.y, 8));
}

int DialogX(const DialogUnits& units, int x)
{
    return UnitsToPixels(x, units.x, 4);
}

int DialogY(const DialogUnits& units, int y)
{
    return UnitsToPixels(y, units.y, 8);
}

// A label's text must not be cut where this toolkit's font runs wider than the original's:
// the label grows, and the caller widens the window to the returned right edge.
int PlaceLabel(QLabel* label, QRect rect)
{
    QSize wanted = label->sizeHint();
    rect.setWidth(std::max(rect.width(), wanted.width()));
    rect.setHeight(std::max(rect.height(), wanted.height()));
    label->setGeometry(rect);
    return rect.x() + rect.width();
}

bool PickFolderWithDialog(QWidget* owner, void* /*user*/, QString* path) noexcept
{
    QFileDialog dialog(owner, QStringLiteral("Kies Media Folder"));
    if (!path->isEmpty()) dialog.setDirectory(*path);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    // Read-only: no button for making a new folder.
    dialog.setOption(QFileDialog::ReadOnly, true);
    if (dialog.exec() != QDialog::Accepted) return false;
    QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty()) return false;
    *path = chosen.first();
    return true;
}

void ShowMessageBox(QWidget* owner, void* /*user*/, const QString& text) noexcept
{
    QMessageBox box(QMessageBox::Warning,
                    owner != nullptr ? owner->windowTitle() : QStringLiteral("Tindravoller DLNA"),
                    text, QMessageBox::Ok, owner);
    box.exec();
}

void ShowAboutBox(QWidget* owner, void* /*user*/) noexcept
{
    CAboutDlg about(owner);
    about.exec();
}

int RunServerMain(const ServerLogTarget* window, tv::Event* stop_event,
                  tv::ServerStart* start) noexcept
{
    return ServerMain(window, stop_event, start);
}

QString PathText(const std::string& path)
{
    return QFile::decodeName(QByteArray(path.data(), static_cast<qsizetype>(path.size())));
}

}  // namespace

tv::WindowHooks tv::DefaultWindowHooks() noexcept
{
    return WindowHooks{
        .pick_folder = PickFolderWithDialog,
        .show_message = ShowMessageBox,
        .show_about = ShowAboutBox,
        .server_main = RunServerMain,
        .user = nullptr,
    };
}

QString tv::ServingText(const std::vector<std::string>& addresses, std::uint16_t http_port)
{
    QString listed;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0)
            listed += i + 1 == addresses.size() ? QStringLiteral(" and ") : QStringLiteral(", ");
        listed += QString::fromStdString(addresses[i]);
    }
    return QStringLiteral("Serving on %1, HTTP port %2").arg(listed).arg(http_port);
}

QIcon tv::TindravollerIcon() noexcept
{
    static const bool resources_ready = (InitTindravollerResources(), true);
    (void)resources_ready;
    return QIcon(QStringLiteral(":/tindravoller/tindravoller.png"));
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Tindravoller DLNA"));
    setWindowIcon(tv::TindravollerIcon());
    DialogUnits units = BaseUnits(font());
    QSize size = DialogSize(units, 170, 81);

    auto* icon = new QLabel(this);
    QRect icon_rect = DialogRect(units, 14, 14, 21, 20);
    int side = std::min(icon_rect.width(), icon_rect.height());
    icon->setPixmap(tv::TindravollerIcon().pixmap(side, side));
    icon->setGeometry(icon_rect);

    auto* version = new QLabel(QStringLiteral("Tindravoller DLNA , Version 1.2"), this);
    int right = PlaceLabel(version, DialogRect(units, 42, 14, 114, 8));
    auto* notice =
        new QLabel(QStringLiteral("Copyright (C) 2026 The Tindravoller developers"), this);
    right = std::max(right, PlaceLabel(notice, DialogRect(units, 42, 26, 114, 8)));
    int margin = DialogSize(units, 7, 7).width();
    size.setWidth(std::max(size.width(), right + margin));

    // OK keeps its place at the right edge.
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    QRect ok_rect = DialogRect(units, 113, 60, 50, 14);
    ok_rect.moveRight(size.width() - margin - 1);
    ok->setGeometry(ok_rect);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(size);
}

CTindravollerDLNAMFCDlg::CTindravollerDLNAMFCDlg(tv::SharedFolderSet* folders,
                                                 const tv::WindowHooks& hooks, QWidget* parent)
    : QDialog(parent),
      hooks_(hooks),
      shared_(folders),
      log_target_{.append = &CTindravollerDLNAMFCDlg::AppendLog, .window = this}
{
    // A window of its own with a taskbar entry, a minimize box and a border to resize it by.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QStringLiteral("Tindravoller DLNA 1.2"));
    setWindowIcon(tv::TindravollerIcon());

    usage_label_ = new QLabel(QString::fromUtf8(kUsageText), this);

    add_button_ = new QPushButton(QStringLiteral("Add Directory"), this);
    add_button_->setObjectName(QStringLiteral("add_directory_1002"));
    remove_button_ = new QPushButton(QStringLiteral("Remove Directory"), this);
    remove_button_->setObjectName(QStringLiteral("remove_directory_1003"));

    folder_list_ = new QListWidget(this);
    folder_list_->setObjectName(QStringLiteral("folder_list_1001"));
    folder_list_->setSelectionMode(QAbstractItemView::SingleSelection);

    logs_label_ = new QLabel(QStringLiteral("Logs"), this);

    log_view_ = new QPlainTextEdit(this);
    log_view_->setObjectName(QStringLiteral("log_view_1004"));
    log_view_->setReadOnly(true);
    log_view_->setLineWrapMode(QPlainTextEdit::NoWrap);
    log_view_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    log_view_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Every line would otherwise stay in the undo history for the whole run.
    log_view_->setUndoRedoEnabled(false);

    // Where players reach the server, to be copied into a player or a firewall rule.
    status_label_ = new QLabel(QStringLiteral("Starting the server..."), this);
    status_label_->setObjectName(QStringLiteral("status_line"));
    status_label_->setWordWrap(true);
    status_label_->setTextInteractionFlags(Qt::TextSelectableByMouse);

    about_action_ = new QAction(QString::fromUtf8(kAboutEntryText), this);
    connect(about_action_, &QAction::triggered, this, [this] { OnAbout(); });
    connect(add_button_, &QPushButton::clicked, this, [this] { OnAddDirectory(); });
    connect(remove_button_, &QPushButton::clicked, this, [this] { OnRemoveDirectory(); });

    LayOut();

    server_start_.folders = shared_;
    server_start_.serving = &CTindravollerDLNAMFCDlg::ShowServing;
    server_start_.user = this;
    last_folder_ = QDir::homePath();
    follow_timer_ = new QTimer(this);
    follow_timer_->setInterval(1000);
    connect(follow_timer_, &QTimer::timeout, this, [this] { FollowSettingsFile(); });
}

// The places and sizes of the design, in dialog units of this window's font, are the
// smallest the window takes; the font follows the screen's DPI and the user's size, and so
// does every measure here. A larger window gives the log most of the room it gains.
void CTindravollerDLNAMFCDlg::LayOut() noexcept
{
    const DialogUnits units = BaseUnits(font());
    auto* column = new QVBoxLayout(this);
    column->setSpacing(0);
    column->setContentsMargins(DialogX(units, 7), DialogY(units, 3), DialogX(units, 7),
                               DialogY(units, 7));

    // The usage label begins two units further in than the controls below it.
    auto* usage = new QHBoxLayout();
    usage->addSpacing(DialogX(units, 2));
    usage->addWidget(usage_label_, 1);
    column->addLayout(usage);
    column->addSpacing(std::max(0, DialogY(units, 20 - 3 - 8)));

    // Both buttons as wide and high as the design's, or as their texts need.
    QSize button = DialogSize(units, 90, 17).expandedTo(add_button_->sizeHint());
    button = button.expandedTo(remove_button_->sizeHint());
    add_button_->setFixedSize(button);
    remove_button_->setFixedSize(button);
    auto* buttons = new QHBoxLayout();
    buttons->addWidget(add_button_);
    buttons->addStretch(1);
    buttons->addWidget(remove_button_);
    column->addLayout(buttons);
    column->addSpacing(DialogY(units, 41 - 20 - 17));

    folder_list_->setMinimumSize(DialogSize(units, 306, 120));
    column->addWidget(folder_list_, 1);
    column->addSpacing(DialogY(units, 164 - 161));
    column->addWidget(logs_label_);
    column->addSpacing(DialogY(units, 177 - 164 - 8));
    log_view_->setMinimumSize(DialogSize(units, 306, 72));
    column->addWidget(log_view_, 3);
    column->addSpacing(DialogY(units, 4));
    column->addWidget(status_label_);

    // The buttons' row must hold both buttons apart, whatever the font makes of them.
    const int row = 2 * button.width() + DialogX(units, 36);
    folder_list_->setMinimumWidth(std::max(folder_list_->minimumWidth(), row));
    log_view_->setMinimumWidth(std::max(log_view_->minimumWidth(), row));
    column->activate();
    resize(minimumSizeHint().expandedTo(DialogSize(units, 320, 256)));
    // Placed now, not at the first show: the window is measured before it is shown.
    column->update();
    column->activate();
}

CTindravollerDLNAMFCDlg::~CTindravollerDLNAMFCDlg()
{
    // The server thread holds this window as its log target.
    StopServer();
}

void CTindravollerDLNAMFCDlg::SetServerOptions(const tv::ServerOptions& options) noexcept
{
    server_start_.options = options;
}

void CTindravollerDLNAMFCDlg::OnInitDialog() noexcept
{
    closing_.store(false, std::memory_order_release);
    std::string shown;
    LoadFolders(&shown);
    ShowFolders(false);
    if (!shown.empty()) ShowMessage(shown);
    if (!server_thread_.joinable())
        server_thread_ = std::thread(&CTindravollerDLNAMFCDlg::RunServer, this);
    follow_timer_->start();
}

void CTindravollerDLNAMFCDlg::RunServer(CTindravollerDLNAMFCDlg* dialog) noexcept
{
    int result = dialog->hooks_.server_main(&dialog->log_target_, &dialog->stop_event_,
                                            &dialog->server_start_);
    if (result != 0 && !dialog->Closing())
        QMetaObject::invokeMethod(
            dialog, [dialog] { dialog->OnServerFailed(); }, Qt::QueuedConnection);
}

// A server that cannot start (its port is taken) leaves nothing for the window to do: it
// says why and ends the program with 1, as the headless program does.
void CTindravollerDLNAMFCDlg::OnServerFailed() noexcept
{
    if (Closing()) return;
    const std::string text = "The media server could not be started: " + server_start_.failure;
    status_label_->setText(QStringLiteral("Not serving: ") +
                           QString::fromStdString(server_start_.failure));
    LogLines(text);
    server_failed_ = true;
    ShowMessage(text);
    done(1);
}

void CTindravollerDLNAMFCDlg::OnAddDirectory() noexcept
{
    QString chosen = last_folder_;
    // Only a real file-system path can be shared.
    bool picked =
        hooks_.pick_folder(this, hooks_.user, &chosen) && chosen.startsWith(QLatin1Char('/'));
    std::string shown;
    {
        // Other editors wait until this edit is saved; the message boxes come after.
        tv::SharedFoldersLock lock(*shared_);
        Refresh(&shown);
        if (lock.result() < 0) {
            // Saved without the lock, another editor's change could be lost.
            shown += std::string(shown.empty() ? "" : "\n") + lock.message();
        } else if (picked) {
            last_folder_ = chosen;
            QByteArray path = QFile::encodeName(chosen);
            std::string folder;
            std::string why;
            std::string message;
            if (!tv::SharedFolders_Canonical(path.toStdString(), &folder, &why))
                shown += path.toStdString() + ": " + why;
            else if (!tv::SharedFolders_Readable(folder, &why))
                shown += folder + " cannot be shared: " + why;
            else if (tv::SharedFolders_Add(folders_, folder, &message) != tv::kSharedFoldersOk)
                shown += message;
        }
        if (lock.result() >= 0) SaveFolders(&shown);
    }
    ShowFolders(true);
    if (!shown.empty()) ShowMessage(shown);
}

void CTindravollerDLNAMFCDlg::OnRemoveDirectory() noexcept
{
    QList<QListWidgetItem*> selected = folder_list_->selectedItems();
    int row = selected.isEmpty() ? -1 : folder_list_->row(selected.first());
    std::string removed;
    if (row >= 0 && static_cast<std::size_t>(row) < folders_.size())
        removed = folders_[static_cast<std::size_t>(row)];
    std::string shown;
    {
        tv::SharedFoldersLock lock(*shared_);
        Refresh(&shown);
        // The item by its text: the list may have been reloaded since it was selected.
        auto found = std::find(folders_.begin(), folders_.end(), removed);
        if (lock.result() < 0)
            shown += std::string(shown.empty() ? "" : "\n") + lock.message();
        else if (row >= 0 && found != folders_.end())
            folders_.erase(found);
        if (lock.result() >= 0) SaveFolders(&shown);
    }
    ShowFolders(false);
    if (!shown.empty()) ShowMessage(shown);
}

void CTindravollerDLNAMFCDlg::OnAbout() noexcept
{
    hooks_.show_about(this, hooks_.user);
}

void CTindravollerDLNAMFCDlg::FollowSettingsFile() noexcept
{
    std::string shown;  // in the log already
    if (Refresh(&shown)) ShowFolders(true);
}

bool CTindravollerDLNAMFCDlg::Refresh(std::string* shown) noexcept
{
    tv::SharedFoldersStamp stamp = tv::SharedFolders_FileStamp(*shared_);
    if (stamp == file_stamp_) return false;
    // A file that vanished leaves the list as it is; the next save writes it again.
    file_stamp_ = stamp;
    if (!stamp.exists) return false;
    LoadFolders(shown);
    return true;
}

void CTindravollerDLNAMFCDlg::LoadFolders(std::string* shown) noexcept
{
    tv::SharedFoldersStamp stamp = tv::SharedFolders_FileStamp(*shared_);
    std::string message;
    int loaded = SharedFolders_Load(*shared_, folders_, &message);
    file_stamp_ = stamp;
    if (loaded == tv::kSharedFoldersBadFile)
        message += " It was not loaded; the next save keeps it as " +
                   tv::SharedFolders_SettingsPath(*shared_) + ".bad.";
    LogLines(message);
    if (loaded < 0) *shown += message;
}

void CTindravollerDLNAMFCDlg::SaveFolders(std::string* shown) noexcept
{
    std::string message;
    int saved = SharedFolders_Save(*shared_, folders_, &message);
    file_stamp_ = tv::SharedFolders_FileStamp(*shared_);
    if (saved < 0) LogLines("The shared folders were not saved: " + message);
    if (!message.empty()) {
        if (!shown->empty()) *shown += "\n";
        *shown += message;
    }
}

void CTindravollerDLNAMFCDlg::ShowFolders(bool keep_selection) noexcept
{
    QList<QListWidgetItem*> selected = folder_list_->selectedItems();
    QString kept = keep_selection && !selected.isEmpty() ? selected.first()->text() : QString();
    folder_list_->clear();
    for (const std::string& folder : folders_) folder_list_->addItem(PathText(folder));
    if (kept.isNull()) return;
    QList<QListWidgetItem*> same = folder_list_->findItems(kept, Qt::MatchExactly);
    if (!same.isEmpty()) folder_list_->setCurrentItem(same.first());
}

void CTindravollerDLNAMFCDlg::LogLines(const std::string& text) noexcept
{
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start)
            OnPostedLogLine(
                QString::fromUtf8(text.data() + start, static_cast<qsizetype>(end - start)));
        start = end + 1;
    }
}

void CTindravollerDLNAMFCDlg::ShowMessage(const std::string& text) noexcept
{
    hooks_.show_message(this, hooks_.user,
                        QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
}

void CTindravollerDLNAMFCDlg::AppendLog(void* window, const char* line) noexcept
{
    auto* dialog = static_cast<CTindravollerDLNAMFCDlg*>(window);
    if (dialog == nullptr || line == nullptr || dialog->Closing()) return;
    QString text = QString::fromUtf8(line);
    // Posted, never sent: the window may be waiting for this very thread to end.
    QMetaObject::invokeMethod(
        dialog, [dialog, text] { dialog->OnPostedLogLine(text); }, Qt::QueuedConnection);
}

void CTindravollerDLNAMFCDlg::ShowServing(void* window, const std::vector<std::string>& addresses,
                                          std::uint16_t http_port) noexcept
{
    auto* dialog = static_cast<CTindravollerDLNAMFCDlg*>(window);
    if (dialog == nullptr || dialog->Closing()) return;
    QString text = tv::ServingText(addresses, http_port);
    QMetaObject::invokeMethod(
        dialog,
        [dialog, text] {
            if (!dialog->Closing()) dialog->status_label_->setText(text);
        },
        Qt::QueuedConnection);
}

void CTindravollerDLNAMFCDlg::OnPostedLogLine(const QString& line) noexcept
{
    if (Closing()) return;
    QTextDocument* document = log_view_->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(line + QLatin1Char('\n'));
    // The view holds the newest lines; the oldest are at the bottom. The block after the
    // last line end is empty and stays.
    if (document->blockCount() > tv::kLogViewMaxLines + 1) {
        QTextBlock first_dropped = document->findBlockByNumber(tv::kLogViewMaxLines);
        QTextCursor tail(document);
        tail.setPosition(first_dropped.position());
        tail.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
        tail.removeSelectedText();
    }
}

void CTindravollerDLNAMFCDlg::StopServer() noexcept
{
    closing_.store(true, std::memory_order_release);
    stop_event_.Set();
    if (server_thread_.joinable()) server_thread_.join();
}

void CTindravollerDLNAMFCDlg::done(int result)
{
    StopServer();
    QDialog::done(result);
}

void CTindravollerDLNAMFCDlg::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addAction(about_action_);
    menu.exec(event->globalPos());
}
