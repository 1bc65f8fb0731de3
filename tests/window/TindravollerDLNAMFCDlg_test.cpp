// The main window on the offscreen platform: its controls, the log order and bound, the
// folder commands with their saves, and closing while the server runs.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "app/window/TindravollerDLNAMFCDlg.h"
#include "runtime/Event.h"
#include "shares/SharedFolders.h"

namespace {

// What the tests answer in place of the user.
struct FakeUser {
    std::vector<QString> picks;  // next folder picker answers; a null string cancels
    int pick_calls = 0;
    QStringList opened_in;  // where the picker opened, call by call
    QStringList messages;
    int about_calls = 0;
};

bool FakePick(QWidget* /*owner*/, void* user, QString* path) noexcept
{
    auto* fake = static_cast<FakeUser*>(user);
    ++fake->pick_calls;
    fake->opened_in << *path;
    if (fake->picks.empty()) return false;
    QString next = fake->picks.front();
    fake->picks.erase(fake->picks.begin());
    if (next.isNull()) return false;
    *path = next;
    return true;
}

void FakeMessage(QWidget* /*owner*/, void* user, const QString& text) noexcept
{
    static_cast<FakeUser*>(user)->messages << text;
}

void FakeAbout(QWidget* /*owner*/, void* user) noexcept
{
    ++static_cast<FakeUser*>(user)->about_calls;
}

// A server that logs once when up and once more after the stop, when the window must
// already drop its lines.
std::atomic<int> g_fake_started{0};
std::atomic<int> g_fake_ended{0};

int FakeServer(const ServerLogTarget* window, tv::Event* stop_event, tv::ServerStart*) noexcept
{
    ++g_fake_started;
    window->append(window->window, "fake server up");
    stop_event->Wait();
    window->append(window->window, "logged while stopping");
    ++g_fake_ended;
    return 0;
}

// A server whose port is taken: it says why and ends at once.
std::atomic<int> g_fake_port{-1};
int PortTakenServer(const ServerLogTarget*, tv::Event*, tv::ServerStart* start) noexcept
{
    g_fake_port = start->options.port;
    start->failure = "the HTTP port 8200 cannot be used (bind: Address already in use)";
    return 1;
}

tv::WindowHooks Hooks(FakeUser* user, tv::ServerMainFn server = FakeServer)
{
    return tv::WindowHooks{
        .pick_folder = FakePick,
        .show_message = FakeMessage,
        .show_about = FakeAbout,
        .server_main = server,
        .user = user,
    };
}

QByteArray ReadAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return QByteArray();
    return file.readAll();
}

bool WriteAll(const QString& path, const std::string& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
           static_cast<qint64>(bytes.size());
}

QByteArray Encoded(const std::vector<std::string>& list)
{
    std::string bytes = tv::SharedFolders_Encode(list);
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QStringList ListedFolders(const CTindravollerDLNAMFCDlg& dialog)
{
    QStringList items;
    for (int i = 0; i < dialog.FolderList()->count(); ++i)
        items << dialog.FolderList()->item(i)->text();
    return items;
}

// No text is cut by its label or by the window's edge.
void VerifyLabelsWhole(const QWidget& window)
{
    for (QLabel* label : window.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;
        QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
        QVERIFY2(label->geometry().right() < window.width(), qPrintable(label->text()));
    }
}

// Every control inside the window and no text cut, at the size the window opens with, made
// larger (the log gains most of the room) and made as small as it goes.
void VerifyWholeAndGrowing(CTindravollerDLNAMFCDlg& dialog)
{
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QList<QWidget*> controls{dialog.AddButton(), dialog.RemoveButton(), dialog.FolderList(),
                                   dialog.LogsLabel(), dialog.LogView(),      dialog.StatusLine()};
    auto whole = [&] {
        VerifyLabelsWhole(dialog);
        for (QPushButton* button : {dialog.AddButton(), dialog.RemoveButton()})
            QVERIFY2(button->width() >= button->sizeHint().width(), qPrintable(button->text()));
        for (QWidget* control : controls)
            QVERIFY2(dialog.rect().contains(control->geometry()),
                     qPrintable(control->objectName()));
        QVERIFY(dialog.AddButton()->geometry().right() < dialog.RemoveButton()->geometry().left());
        QVERIFY(dialog.FolderList()->geometry().bottom() < dialog.LogView()->geometry().top());
    };
    whole();
    const QSize log = dialog.LogView()->size();
    const int list_height = dialog.FolderList()->height();
    dialog.resize(dialog.width() + 200, dialog.height() + 300);
    QTRY_VERIFY(dialog.LogView()->height() >= log.height() + 200);
    QVERIFY(dialog.FolderList()->height() >= list_height);
    QCOMPARE(dialog.LogView()->width(), log.width() + 200);
    whole();
    dialog.resize(50, 50);
    QTRY_COMPARE(dialog.size(), dialog.minimumSize());
    whole();
}

void Deliver()
{
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

// Ends the process if a blocking step hangs; the harness then reports the failure.
class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit, const char* what)
        : thread_([this, limit, what] {
              if (!done_.WaitFor(limit)) {
                  std::fprintf(stderr, "watchdog: %s did not end in time\n", what);
                  std::abort();
              }
          })
    {
    }
    ~Watchdog()
    {
        done_.Set();
        thread_.join();
    }

private:
    tv::Event done_;
    std::thread thread_;
};

// The server's HTTP port: the one TCP port listening in this private namespace.
int ListeningPort()
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly)) return -1;
    const QList<QByteArray> lines = table.readAll().split('\n');
    for (const QByteArray& line : lines) {
        QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields.at(3) != "0A") continue;
        bool ok = false;
        int port = fields.at(1).split(':').value(1).toInt(&ok, 16);
        if (ok && port >= 50000 && port <= 64999) return port;
    }
    return -1;
}

int Connect(int port, int receive_buffer = 0)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendText(int fd, const QByteArray& text)
{
    qsizetype done = 0;
    while (done < text.size()) {
        ssize_t n = ::send(fd, text.constData() + done,
                           static_cast<std::size_t>(text.size() - done), MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Reads until the peer closes, `limit` bytes arrived, or nothing came for two seconds.
QByteArray Receive(int fd, qsizetype limit)
{
    QByteArray data;
    char block[4096];
    while (data.size() < limit) {
        pollfd ready{.fd = fd, .events = POLLIN, .revents = 0};
        if (::poll(&ready, 1, 2000) <= 0) break;
        ssize_t n = ::recv(fd, block, sizeof block, 0);
        if (n <= 0) break;
        data.append(block, n);
    }
    return data;
}

}  // namespace

class WindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir* dir_ = nullptr;
    QString settings_;
    tv::SharedFolderSet folders_;  // the program's, handed to each window

    // A folder in the scratch folder, made when missing: only real folders are shared.
    QString Folder(const QString& name) const
    {
        QString path = dir_->path() + QLatin1Char('/') + name;
        QDir().mkpath(path);
        return path;
    }
    std::string FolderBytes(const char* name) const
    {
        return QFile::encodeName(Folder(name)).toStdString();
    }

private slots:
    void init()
    {
        dir_ = new QTemporaryDir();
        QVERIFY(dir_->isValid());
        settings_ = dir_->path() + QStringLiteral("/TindravollerDLNA.dat");
        tv::SharedFolders_SetSettingsPath(folders_, QFile::encodeName(settings_).toStdString());
        g_fake_started = 0;
        g_fake_ended = 0;
    }

    void cleanup()
    {
        delete dir_;
        dir_ = nullptr;
    }

    void ControlsAndTexts()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Tindravoller DLNA 1.2"));
        QCOMPARE(dialog.UsageLabel()->text(),
                 QStringLiteral("Usage: Just add a media directory (folder) to the list. "));
        QCOMPARE(dialog.AddButton()->text(), QStringLiteral("Add Directory"));
        QCOMPARE(dialog.RemoveButton()->text(), QStringLiteral("Remove Directory"));
        QCOMPARE(dialog.LogsLabel()->text(), QStringLiteral("Logs"));
        QCOMPARE(dialog.AboutAction()->text(), QStringLiteral("&About TindravollerDLNAMFC..."));
        QCOMPARE(dialog.FolderList()->selectionMode(), QAbstractItemView::SingleSelection);
        QVERIFY(dialog.LogView()->isReadOnly());
        QCOMPARE(dialog.LogView()->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(dialog.LogView()->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(dialog.LogView()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QVERIFY(!dialog.windowIcon().isNull());
        QVERIFY(dialog.windowFlags() & Qt::WindowMinimizeButtonHint);

        // The layout's order: buttons on one row, the list below them, the log at the bottom,
        // list and log equally wide, the two buttons equally sized.
        QRect add = dialog.AddButton()->geometry();
        QRect remove = dialog.RemoveButton()->geometry();
        QRect list = dialog.FolderList()->geometry();
        QRect log = dialog.LogView()->geometry();
        QCOMPARE(add.top(), remove.top());
        QCOMPARE(add.size(), remove.size());
        QVERIFY(add.right() < remove.left());
        QVERIFY(add.bottom() < list.top());
        QVERIFY(list.bottom() < dialog.LogsLabel()->geometry().top());
        QVERIFY(dialog.LogsLabel()->geometry().bottom() <= log.top());
        QCOMPARE(list.left(), log.left());
        QCOMPARE(list.width(), log.width());
        QCOMPARE(remove.right(), list.right());
        QVERIFY(log.bottom() < dialog.StatusLine()->geometry().top());
        QVERIFY(dialog.StatusLine()->geometry().bottom() < dialog.height());
        QVERIFY(list.right() < dialog.width());
        VerifyLabelsWhole(dialog);

        // The About entry runs the About box; closing is not involved.
        dialog.AboutAction()->trigger();
        QCOMPARE(user.about_calls, 1);
    }

    void AboutBox()
    {
        CAboutDlg about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About Tindravoller DLNA"));
        QStringList texts;
        for (QLabel* label : about.findChildren<QLabel*>()) texts << label->text();
        QVERIFY(texts.contains(QStringLiteral("Tindravoller DLNA , Version 1.2")));
        QList<QPushButton*> buttons = about.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 1);
        QCOMPARE(buttons.first()->text(), QStringLiteral("OK"));
        QVERIFY(texts.size() >= 2);  // the version line and the notice, beside the icon
        VerifyLabelsWhole(about);
        QVERIFY(buttons.first()->geometry().right() < about.width());
        about.show();
        QVERIFY(about.isVisible());
        buttons.first()->click();
        QVERIFY(!about.isVisible());
        QCOMPARE(about.result(), int(QDialog::Accepted));
    }

    void NewestLineOnTopAndCopied()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        char line[8];
        std::strcpy(line, "A");
        CTindravollerDLNAMFCDlg::AppendLog(&dialog, line);
        // The window must have taken its own copy before the line is shown.
        std::strcpy(line, "B");
        CTindravollerDLNAMFCDlg::AppendLog(&dialog, line);
        std::strcpy(line, "X");
        Deliver();
        QCOMPARE(dialog.LogView()->toPlainText(), QStringLiteral("B\nA\n"));

        // From another thread: posted, in order, and never waiting for the window.
        std::thread logger([&dialog] {
            CTindravollerDLNAMFCDlg::AppendLog(&dialog, "C");
            CTindravollerDLNAMFCDlg::AppendLog(&dialog, "D");
        });
        logger.join();
        QCOMPARE(dialog.LogView()->toPlainText(), QStringLiteral("B\nA\n"));
        Deliver();
        QCOMPARE(dialog.LogView()->toPlainText(), QStringLiteral("D\nC\nB\nA\n"));
    }

    void LogViewKeepsNewestLines()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        const int total = tv::kLogViewMaxLines + 25;
        char line[32];
        for (int i = 1; i <= total; ++i) {
            std::snprintf(line, sizeof line, "line %d", i);
            CTindravollerDLNAMFCDlg::AppendLog(&dialog, line);
        }
        Deliver();
        QStringList lines = dialog.LogView()->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), tv::kLogViewMaxLines + 1);
        QCOMPARE(lines.first(), QStringLiteral("line %1").arg(total));
        QCOMPARE(lines.at(tv::kLogViewMaxLines - 1), QStringLiteral("line 26"));
        QCOMPARE(lines.last(), QString());
    }

    void LoadShowsSortedListThenServerStarts()
    {
        std::vector<std::string> stored{FolderBytes("video"), FolderBytes("Audio"),
                                        FolderBytes("books")};
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode(stored)));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        QCOMPARE(ListedFolders(dialog),
                 QStringList({Folder("Audio"), Folder("books"), Folder("video")}));
        QVERIFY(user.messages.isEmpty());
        QVERIFY(dialog.ServerThreadRunning());
        QTRY_VERIFY(dialog.LogView()->toPlainText().contains(QStringLiteral("fake server up")));
        // The server reads the table in file order until the first save.
        QCOMPARE(tv::SharedFolders_List(folders_), stored);
    }

    void LoadErrorIsShownAndServerStartsAnyway()
    {
        // A count of 5 with one short string: truncated.
        QVERIFY(WriteAll(settings_, std::string("\x05\x00\x03"
                                                "ab",
                                                5)));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        QCOMPARE(user.messages.size(), 1);
        QVERIFY(!user.messages.first().isEmpty());
        QCOMPARE(dialog.FolderList()->count(), 0);
        QVERIFY(dialog.ServerThreadRunning());
        QTRY_COMPARE(g_fake_started.load(), 1);
    }

    void AddCancelledRewritesTheSameFile()
    {
        std::vector<std::string> stored{FolderBytes("a"), FolderBytes("b")};
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode(stored)));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        QVERIFY(QFile::remove(settings_));

        user.picks.push_back(QString());  // cancel
        dialog.OnAddDirectory();
        QCOMPARE(user.pick_calls, 1);
        QCOMPARE(ListedFolders(dialog), QStringList({Folder("a"), Folder("b")}));
        QCOMPARE(ReadAll(settings_), Encoded(stored));

        // A choice without a file-system path adds nothing either, and still saves.
        QVERIFY(QFile::remove(settings_));
        user.picks.push_back(QStringLiteral("recent:///"));
        dialog.OnAddDirectory();
        QCOMPARE(dialog.FolderList()->count(), 2);
        QCOMPARE(ReadAll(settings_), Encoded(stored));
        QVERIFY(user.messages.isEmpty());
    }

    void AddPlacesSortedAndRefusesAFolderListedAlready()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        QCOMPARE(dialog.FolderList()->count(), 0);

        user.picks = {Folder("D"), Folder("C")};
        dialog.OnAddDirectory();
        dialog.OnAddDirectory();
        QCOMPARE(ListedFolders(dialog), QStringList({Folder("C"), Folder("D")}));
        // The picker opens in the home folder, then where the last folder was chosen.
        QCOMPARE(user.opened_in, QStringList({QDir::homePath(), Folder("D")}));
        QCOMPARE(ReadAll(settings_), Encoded({FolderBytes("C"), FolderBytes("D")}));

        // Case does not order. The selection stays with its item when a row is inserted
        // above it.
        dialog.FolderList()->setCurrentRow(1);  // D
        user.picks = {Folder("c")};
        dialog.OnAddDirectory();
        QCOMPARE(dialog.FolderList()->count(), 3);
        QCOMPARE(ListedFolders(dialog).mid(0, 2).join(QLatin1Char('|')).toLower(),
                 (Folder("c") + QLatin1Char('|') + Folder("c")).toLower());
        QList<QListWidgetItem*> selected = dialog.FolderList()->selectedItems();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.first()->text(), Folder("D"));
        QVERIFY(user.messages.isEmpty());

        // A folder listed already, under its own name or another way there, is refused with
        // a message: one folder, one ObjectID.
        QVERIFY(QFile::link(Folder("D"), dir_->path() + QStringLiteral("/to-D")));
        user.picks = {Folder("D"), dir_->path() + QStringLiteral("/to-D")};
        dialog.OnAddDirectory();
        dialog.OnAddDirectory();
        QCOMPARE(user.messages.size(), 2);
        QVERIFY(user.messages.first().contains(QStringLiteral("already shared")));
        QCOMPARE(dialog.Folders().size(), std::size_t{3});
        QCOMPARE(ReadAll(settings_), Encoded(dialog.Folders()));
        QCOMPARE(tv::SharedFolders_List(folders_), dialog.Folders());
    }

    void PathOf255BytesIsRefused()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();

        QString base = dir_->path() + QLatin1Char('/');
        QString longest = Folder(QString(tv::kSharedFolderMaxPath - base.size(), QLatin1Char('x')));
        QString too_long =
            Folder(QString(tv::kSharedFolderMaxPath + 1 - base.size(), QLatin1Char('y')));
        QCOMPARE(QFile::encodeName(too_long).size(), 255);

        user.picks = {too_long};
        dialog.OnAddDirectory();
        QCOMPARE(user.messages.size(), 1);
        QVERIFY(user.messages.first().contains(QStringLiteral("254")));
        QCOMPARE(dialog.FolderList()->count(), 0);
        QCOMPARE(ReadAll(settings_), Encoded({}));

        user.picks = {longest};
        dialog.OnAddDirectory();
        QCOMPARE(user.messages.size(), 1);
        QCOMPARE(ListedFolders(dialog), QStringList({longest}));
        QCOMPARE(tv::SharedFolders_List(folders_),
                 std::vector<std::string>({QFile::encodeName(longest).toStdString()}));
    }

    void FolderBeyondTheTableIsRefused()
    {
        std::vector<std::string> stored;
        for (int i = 0; i < tv::kSharedFolderCapacity; ++i)
            stored.push_back(FolderBytes(("folder" + std::to_string(1000 + i)).c_str()));
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode(stored)));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        QCOMPARE(dialog.FolderList()->count(), tv::kSharedFolderCapacity);
        user.picks = {Folder("another")};
        dialog.OnAddDirectory();
        QCOMPARE(user.messages.size(), 1);
        QCOMPARE(dialog.FolderList()->count(), tv::kSharedFolderCapacity);
        QCOMPARE(ReadAll(settings_), Encoded(stored));
    }

    void RemoveTakesOnlyTheSelectedItem()
    {
        std::vector<std::string> stored{FolderBytes("a"), FolderBytes("b")};
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode(stored)));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();

        // Nothing selected: nothing removed, the file rewritten all the same.
        dialog.FolderList()->clearSelection();
        QVERIFY(QFile::remove(settings_));
        dialog.OnRemoveDirectory();
        QCOMPARE(ListedFolders(dialog), QStringList({Folder("a"), Folder("b")}));
        QCOMPARE(ReadAll(settings_), Encoded(stored));

        dialog.FolderList()->setCurrentRow(1);
        dialog.OnRemoveDirectory();
        QCOMPARE(ListedFolders(dialog), QStringList({Folder("a")}));
        QCOMPARE(ReadAll(settings_), Encoded({FolderBytes("a")}));
        // No other item became selected; a second press removes nothing.
        dialog.OnRemoveDirectory();
        QCOMPARE(dialog.FolderList()->count(), 1);

        dialog.FolderList()->setCurrentRow(0);
        dialog.OnRemoveDirectory();
        QCOMPARE(dialog.FolderList()->count(), 0);
        QCOMPARE(ReadAll(settings_), QByteArray("\x00\x00", 2));
        QVERIFY(tv::SharedFolders_List(folders_).empty());
        QVERIFY(user.messages.isEmpty());
    }

    void SaveErrorIsShownAndWindowStays()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        dialog.show();
        // A folder where the file should be: it cannot be replaced.
        QVERIFY(QDir().mkpath(settings_ + QStringLiteral("/inside")));
        user.picks = {Folder("music")};
        dialog.OnAddDirectory();
        QCOMPARE(user.messages.size(), 1);
        QVERIFY(user.messages.last().contains(settings_));
        QVERIFY(dialog.LogView()->toPlainText().contains(QStringLiteral("not saved")));
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.Closing());
        QCOMPARE(ListedFolders(dialog), QStringList({Folder("music")}));
    }

    // Another process (the command line) shares a folder while the window is open: the list
    // shows it, and the window's next save keeps it.
    void FolderSharedElsewhereAppearsAndIsKept()
    {
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode({FolderBytes("a")})));
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        const QString written = settings_ + QStringLiteral(".new");
        QVERIFY(WriteAll(written, tv::SharedFolders_Encode({FolderBytes("a"), FolderBytes("b")})));
        QVERIFY(std::rename(QFile::encodeName(written).constData(),
                            QFile::encodeName(settings_).constData()) == 0);
        QTRY_COMPARE(ListedFolders(dialog), QStringList({Folder("a"), Folder("b")}));

        user.picks = {Folder("c")};
        dialog.OnAddDirectory();
        QCOMPARE(ReadAll(settings_),
                 Encoded({FolderBytes("a"), FolderBytes("b"), FolderBytes("c")}));
        QVERIFY(user.messages.isEmpty());
    }

    void CloseJoinsServerAndDropsLaterLines()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        dialog.show();
        QTRY_COMPARE(g_fake_started.load(), 1);
        Deliver();
        QCOMPARE(dialog.LogView()->toPlainText(), QStringLiteral("fake server up\n"));

        // Posted before the close, shown only after it began: dropped too.
        CTindravollerDLNAMFCDlg::AppendLog(&dialog, "posted before close");
        {
            Watchdog watchdog(std::chrono::seconds(20), "closing the window");
            dialog.close();
        }
        QVERIFY(dialog.Closing());
        QVERIFY(!dialog.isVisible());
        QVERIFY(!dialog.ServerThreadRunning());
        QCOMPARE(g_fake_ended.load(), 1);
        CTindravollerDLNAMFCDlg::AppendLog(&dialog, "after close");
        Deliver();
        QCOMPARE(dialog.LogView()->toPlainText(), QStringLiteral("fake server up\n"));
    }

    void EscapeStopsTheServerToo()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        dialog.show();
        {
            Watchdog watchdog(std::chrono::seconds(20), "rejecting the window");
            dialog.reject();
        }
        QVERIFY(!dialog.ServerThreadRunning());
        QCOMPARE(g_fake_ended.load(), 1);
    }

    // The window follows its font (the screen's DPI and the user's size): at 1.5 times the
    // size nothing is cut or pushed out; it can be made larger, and the log takes the room.
    void LayoutFollowsTheFontAndTheLogGrowsWithTheWindow()
    {
        const QFont standard = QApplication::font();
        int smallest_width = 0;
        for (double scale : {1.0, 1.5}) {
            QFont font = standard;
            font.setPointSizeF(standard.pointSizeF() * scale);
            QApplication::setFont(font);
            FakeUser user;
            CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
            QApplication::setFont(standard);
            VerifyWholeAndGrowing(dialog);
            if (scale == 1.0)
                smallest_width = dialog.minimumWidth();
            else
                QVERIFY(dialog.minimumWidth() > smallest_width * 1.3);
        }
    }

    void StatusLineSaysWhereTheServerIsReached()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user));
        dialog.OnInitDialog();
        std::thread server_side([&dialog] {
            CTindravollerDLNAMFCDlg::ShowServing(&dialog, {"10.9.9.1", "127.0.0.1"}, 8200);
        });
        server_side.join();
        QTRY_COMPARE(dialog.StatusLine()->text(),
                     QStringLiteral("Serving on 10.9.9.1 and 127.0.0.1, HTTP port 8200"));
        // An address that comes later.
        CTindravollerDLNAMFCDlg::ShowServing(&dialog, {"10.9.9.1", "10.9.9.7", "127.0.0.1"}, 8200);
        QTRY_COMPARE(dialog.StatusLine()->text(),
                     QStringLiteral("Serving on 10.9.9.1, 10.9.9.7 and 127.0.0.1, HTTP port 8200"));
        VerifyLabelsWhole(dialog);
    }

    // A port that is taken stops the start: the window says why, closes, and the program
    // ends with 1 like the headless one.
    void AServerThatCannotStartClosesTheWindowWithTheReason()
    {
        FakeUser user;
        CTindravollerDLNAMFCDlg dialog(&folders_, Hooks(&user, PortTakenServer));
        tv::ServerOptions options;
        options.port = 8200;
        dialog.SetServerOptions(options);
        dialog.OnInitDialog();
        dialog.show();
        QTRY_VERIFY(dialog.ServerFailed());
        QCOMPARE(g_fake_port.load(), 8200);
        QCOMPARE(user.messages,
                 QStringList({QStringLiteral("The media server could not be started: the HTTP "
                                             "port 8200 cannot be used (bind: Address already "
                                             "in use)")}));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.result(), 1);
        QVERIFY(!dialog.ServerThreadRunning());
    }

    void CloseWhileClientsAreBusy()
    {
        const char* netns = std::getenv("TV_NETNS");
        if (netns == nullptr || std::strcmp(netns, "1") != 0)
            QSKIP("the server announces itself by multicast: run under scripts/netns.sh");
        QVERIFY(QDir().mkpath(Folder("media")));
        QFile big(Folder("media") + QStringLiteral("/big.mp3"));
        QVERIFY(big.open(QIODevice::WriteOnly));
        QVERIFY(big.resize(qint64{256} * 1024 * 1024));  // sparse
        big.close();
        QVERIFY(WriteAll(settings_, tv::SharedFolders_Encode({FolderBytes("media")})));

        FakeUser user;
        tv::WindowHooks hooks = Hooks(&user);
        hooks.server_main = tv::DefaultWindowHooks().server_main;
        CTindravollerDLNAMFCDlg dialog(&folders_, hooks);
        dialog.OnInitDialog();
        dialog.show();
        QTRY_VERIFY_WITH_TIMEOUT(
            dialog.LogView()->toPlainText().contains(QStringLiteral("Started Media Server")),
            10000);
        int port = -1;
        QTRY_VERIFY_WITH_TIMEOUT((port = ListeningPort()) > 0, 10000);

        // A request that never ends its header.
        int partial = Connect(port);
        QVERIFY(partial >= 0);
        QVERIFY(SendText(partial, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));

        // Browse the shared folder for the file's URL, then start the stream and stop reading.
        QByteArray escaped = QFile::encodeName(Folder("media"))
                                 .replace("%", "%25")
                                 .replace(":", "%3A")
                                 .replace("\\", "%5C")
                                 .replace("/", "%2F");
        QByteArray body =
            "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
            "<u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
            "<ObjectID>0\\" +
            escaped +
            "\\</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
            "<Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
            "<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>";
        int browse = Connect(port);
        QVERIFY(browse >= 0);
        QVERIFY(
            SendText(browse,
                     "POST /ContentDirectory/control HTTP/1.0\r\nHost: 127.0.0.1\r\n"
                     "Content-Type: text/xml; charset=\"utf-8\"\r\n"
                     "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n"
                     "Content-Length: " +
                         QByteArray::number(body.size()) + "\r\n\r\n" + body));
        QByteArray answer = Receive(browse, 1 << 20);
        ::close(browse);
        int stream = -1;
        qsizetype at = answer.indexOf("/content/");
        if (at < 0) {
            qWarning("no media URL in the Browse answer; closing with the partial request only");
        } else {
            qsizetype end = at;
            while (end < answer.size() && answer.at(end) != '<' && answer.at(end) != '&' &&
                   answer.at(end) != '"')
                ++end;
            QByteArray path = answer.mid(at, end - at);
            stream = Connect(port, 4096);
            QVERIFY(stream >= 0);
            QVERIFY(SendText(stream, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
            QByteArray head = Receive(stream, 1024);
            QVERIFY2(head.startsWith("HTTP/1.1 200"), head.left(200).constData());
            QTest::qWait(500);  // the send queue fills while nobody reads
        }
        {
            Watchdog watchdog(std::chrono::seconds(30), "stopping the server with busy clients");
            dialog.close();
        }
        QVERIFY(!dialog.ServerThreadRunning());
        ::close(partial);
        if (stream >= 0) ::close(stream);
    }
};

QTEST_MAIN(WindowTest)
#include "TindravollerDLNAMFCDlg_test.moc"
