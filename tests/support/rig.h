// The real Form1 with a pty in its port list and the simulated boot loader on the line;
// message boxes are recorded and closed by clicking OK, as a user would. The command line and
// the program itself, run the same way.
#pragma once

#include "bootloader.h"
#include "commandline.h"
#include "form1.h"
#include "packageloader.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDeadlineTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

inline const QString kSuccess = "Upgrade Successfully", kError = "Plese Check Connection!";

// Acts on the first window of type W shown within `ms` (a box, a menu, a file dialog), once;
// from the event loop, so that it may run inside the modal loop that shows it.
template <typename W> void onceShown(std::function<void(W*)> act, int ms = 20000)
{
    auto* poll = new QTimer;
    auto until = std::make_shared<QDeadlineTimer>(ms);
    QObject::connect(poll, &QTimer::timeout, [poll, until, act] {
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* found = qobject_cast<W*>(widget); found && found->isVisible()) {
                poll->deleteLater();
                poll->stop();
                act(found);
                return;
            }
        if (until->hasExpired()) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(10);
}

// A file dialog shown within `ms` is given `path` and accepted.
inline void saveAs(const QString& path)
{
    onceShown<QFileDialog>([path](QFileDialog* dialog) {
        // Typed where a person types it, and accepted at once: the dialog's own late filling
        // of its name field (once its folder has loaded) has no chance to come between.
        if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            name->setText(path);
        else
            dialog->selectFile(path);
        QMetaObject::invokeMethod(dialog, "accept", Qt::DirectConnection);
    });
}

constexpr int N = 372;      // blocks in the embedded package
inline QByteArray package() // read at run time: the resource is registered by then
{
    const auto p = qx::package::embeddedPackage();
    return QByteArray(reinterpret_cast<const char*>(p.data()), qsizetype(p.size()));
}
// What goes on the wire in a whole transfer, composed from the package's layout.
inline QByteArray wholeStream(bool withMenu)
{
    return (withMenu ? "1" : "") + package().mid(4 + 1029 * N, 133) + package().mid(2, 1029 * N) +
           '\x04' + QByteArray("\x01\x00\xFF", 3) + QByteArray(130, '\0');
}

// Runs the event loop until `done` holds or `ms` pass. Unlike QTest::qWaitFor it does not
// sleep between rounds, so a transfer runs at the pace it has under exec().
template <typename Pred> bool waitFor(Pred done, int ms = 30000)
{
    QTimer wake; // the loop wakes even when nothing else happens
    wake.start(5);
    for (QDeadlineTimer end(ms); !done() && !end.hasExpired();)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

// The lines of a service record after its header, each split into its fields (RFC 4180).
inline QList<QStringList> recordsIn(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    QList<QStringList> lines;
    for (const QByteArray& line : file.readAll().split('\n').mid(1)) {
        QStringList fields{QString()};
        bool quoted = false;
        const QString text = QString::fromUtf8(line.chopped(line.endsWith('\r')));
        for (qsizetype i = 0; i < text.size(); ++i) {
            if (text[i] == '"' && quoted && text.mid(i + 1, 1) == "\"")
                fields.last() += text[i++];
            else if (text[i] == '"')
                quoted = !quoted;
            else if (text[i] == ',' && !quoted)
                fields << QString();
            else
                fields.last() += text[i];
        }
        if (!line.isEmpty())
            lines << fields;
    }
    return lines;
}
enum RecordField
{
    kDuration = 1,
    kAction = 6,
    kFirmwareFile = 7,
    kSha = 9,
    kOutcome = 11,
    kReason = 12,
    kVersion = 13,
    kBefore = 15,
    kAfter = 16,
    kUnitSerial = 17,
    kSlot = 18,
    kProfile = 19,
    kTrace = 20,
};

inline QString box(const QString& title, QMessageBox::Icon icon, const QString& text)
{
    return QString("%1|%2|%3").arg(title).arg(icon).arg(text);
}

// Records each message box as it opens (`seen` as box() gives it, its text, and the details
// behind "Show Details..."), and clicks its `answer` closeAfterMs later (never if < 0).
struct Boxes : QObject
{
    explicit Boxes(QMessageBox::StandardButton answer = QMessageBox::Ok) : answer(answer)
    {
        qApp->installEventFilter(this);
    }
    QMessageBox::StandardButton answer;
    QStringList seen, texts, details;
    int closeAfterMs = 0;
    std::function<void()> onShow; // as each box opens

    bool eventFilter(QObject* object, QEvent* event) override
    {
        auto* box = event->type() == QEvent::Show ? qobject_cast<QMessageBox*>(object) : nullptr;
        if (box) {
            seen << ::box(box->windowTitle(), box->icon(), box->text());
            texts << box->text();
            details << box->detailedText();
            if (onShow)
                onShow();
        }
        if (box && closeAfterMs >= 0)
            QTimer::singleShot(closeAfterMs, box, [this, box] {
                QTest::mouseClick(box->button(answer), Qt::LeftButton);
            });
        return false;
    }
};

// The port, then which of Connect, Disconnect, Frame1, Combo1, Update, Get Version and
// Command6 are enabled, then whether the progress display is shown.
inline QString state(const Form1& form)
{
    QString s = form.comm().portOpen() ? "open " : "closed ";
    for (const char* name :
         {"Command4", "Command5", "Frame1", "Combo1", "Command1", "Command2", "Command6"})
        s += form.findChild<QWidget*>(name)->isEnabled() ? '1' : '0';
    return s + (form.findChild<QWidget*>("prgPercent")->isHidden() ? "" : " progress");
}
inline const QString kConnected = "open 0100111", kDisconnected = "closed 1011001";

// The machine's serial devices as a test makes them: pseudo-terminals, and USB adapters plugged
// in and pulled out as /dev/ttyUSB<k> links, listed as the system's device map would list them.
struct Machine
{
    explicit Machine(const QStringList& paths = {}) : paths(std::make_shared<QStringList>(paths)) {}
    qx::serial::DeviceSource devices() const
    {
        return [listed = paths] {
            QList<qx::serial::SerialDevice> devices;
            for (const QString& path : *listed)
                devices.append({path, "pseudo-terminal", "test"});
            return qx::serial::buildDeviceMap(devices);
        };
    }
    static QString usb(int k) { return QString("/dev/ttyUSB%1").arg(k); }
    // /dev/ttyUSB<k> appears, a link to `device`'s pty, and the map lists it as COM(33 + k).
    void plug(const BootLoader& device, int k)
    {
        QVERIFY2(!QFile::exists(usb(k)) && QFile::link(device.slavePath, usb(k)),
                 qPrintable(usb(k)));
        paths->append(usb(k));
    }
    void unplug(int k)
    {
        paths->removeAll(usb(k));
        QFile::remove(usb(k));
    }
    ~Machine()
    {
        for (const QString& path : *paths)
            if (path.startsWith("/dev/ttyUSB"))
                QFile::remove(path);
    }
    std::shared_ptr<QStringList> paths; // the devices the machine has now
};

struct Rig
{
    // The port list holds the simulator's pty, or the devices at `paths` if given.
    // `recordTo` names a shared record.
    explicit Rig(std::span<const std::uint8_t> package = {}, std::optional<QStringList> paths = {},
                 const std::optional<qx::service::Database>& recordTo = {})
        : machine(paths.value_or(QStringList{sim.slavePath}))
    {
        qx::service::Setup setup{.devices = machine.devices(),
                                 .package = package,
                                 .recordFolder = recordDir.path(),
                                 .recordTo = recordTo};
#ifdef QX_PROGRAM
        setup.deliveryProgram = QX_PROGRAM; // not this test's own file
#endif
        form = std::make_unique<Form1>(setup);
        form->show();
    }
    template <typename W = QWidget> W* w(const char* name) const
    {
        return form->findChild<W*>(name);
    }
    void click(const char* name) const
    {
        QTest::mouseClick(w<QAbstractButton>(name), Qt::LeftButton);
    }
    bool connectPort() const
    {
        click("Command4");
        return form->comm().portOpen();
    }
    // Nothing runs: no transfer or query, no timer armed, no box open.
    bool idle() const
    {
        const auto& s = form->session();
        return s.idle() && !QApplication::activeModalWidget();
    }
    // Update, then wait for its one outcome and the idle window after it.
    bool update(int ms = 30000)
    {
        const auto before = boxes.seen.size();
        click("Command1");
        return waitFor([&] { return boxes.seen.size() > before && idle(); }, ms);
    }

    // The service record's lines so far, each split into its fields.
    QList<QStringList> records(const QString& file = "service-record.csv") const
    {
        return recordsIn(recordDir.filePath(file));
    }
    void plug(const BootLoader& device, int k)
    {
        machine.plug(device, k);
    }
    void unplug(int k)
    {
        machine.unplug(k);
    }

    QTemporaryDir recordDir;
    BootLoader sim;
    Machine machine;
    Boxes boxes;
    std::unique_ptr<Form1> form;
};

// The command line in this process, its lines and exit status; unless a device map is given,
// the pty paths are not in the one it is given.
struct CommandLineRun
{
    explicit CommandLineRun(std::span<const std::uint8_t> package = {},
                            qx::serial::DeviceSource devices = {},
                            int settleMs = qx::service::kSettleMs)
        : commandLine({.devices = devices ? devices : [] { return QList<qx::serial::MapEntry>(); },
                       .package = package,
                       .recordFolder = recordDir.path(),
                       .settleMs = settleMs,
                       .out = [this](const QString& line) { out << line; },
                       .err = [this](const QString& line) { err << line; }})
    {
        QObject::connect(&commandLine, &qx::ui::CommandLine::finished,
                         [this](int status) { this->status = status; });
    }
    bool start(const QStringList& arguments) // false: it ended at once, with `status`
    {
        // As the program does: a usage error is the parser's, and the rest the command line's.
        const auto parsed = qx::ui::parseArguments(arguments);
        if (const auto* problem = std::get_if<QString>(&parsed)) {
            err << qx::ui::usageLine(*problem);
            status = qx::ui::kExitUsage;
            return false;
        }
        const auto now = commandLine.start(std::get<qx::ui::Arguments>(parsed));
        status = now.value_or(-1);
        return !now;
    }
    int run(const QStringList& arguments, int ms = 30000)
    {
        if (start(arguments))
            waitFor([&] { return status >= 0; }, ms);
        return status;
    }
    QList<QStringList> records() const
    {
        return recordsIn(recordDir.filePath("service-record.csv"));
    }
    QTemporaryDir recordDir;
    QStringList out, err;
    int status = -1;
    qx::ui::CommandLine commandLine;
};

// The program itself, its output and exit status; its service record in a folder of its own.
struct Program : QProcess
{
    Program()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_STATE_HOME", home.path());
        setProcessEnvironment(environment);
    }
    QTemporaryDir home; // $XDG_STATE_HOME
    QStringList lines() { return QString::fromLocal8Bit(readAllStandardOutput()).split('\n'); }
    bool ended(int ms)
    {
        return waitFor([&] { return state() == NotRunning; }, ms);
    }
    QList<QStringList> records() const
    {
        return recordsIn(home.filePath("qx-lp4r-updater/service-record.csv"));
    }
};
