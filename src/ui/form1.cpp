// The main window's handlers. Each follows the device's protocol step by step; the protocol's
// decisions (what a state sends, whether a reply is accepted) live in src/transfer.
#include "form1.h"

#include "packageloader.h"
#include "settings.h"

#include "clock.h"
#include "diagnosticsdialog.h"
#include "texts.h"
#include "transfer.h"
#include "ui_form1.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QFont>
#include <QMessageBox>
#include <QScreen>
#include <QThread>

#include <chrono>

using namespace qx;
using serial::CommError;
using serial::CommPort;
namespace t = qx::transfer;
namespace texts = qx::ui::texts;
using qx::ui::pick;

namespace {

// Windows fonts the design names, and what stands in for them on Linux.
void installFontFallbacks()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    QFont::insertSubstitutions(
        QString::fromUtf8("宋体"),
        {"SimSun", "Noto Serif CJK SC", "AR PL UMing CN", "WenQuanYi Zen Hei", "Noto Sans CJK SC"});
    QFont::insertSubstitutions("Arial", {"Liberation Sans", "Arimo", "DejaVu Sans"});
}

} // namespace

Form1::Form1(qx::service::Setup setup_, QWidget* parent)
    : QWidget(parent), engine(std::move(setup_)), ui(std::make_unique<Ui::Form1>())
{
    Q_INIT_RESOURCE(ui); // the icon lives in a static library
    installFontFallbacks();
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(size());
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    timeSeparator = qx::ui::timeSeparator(QLocale());

    connect(&Time, &QTimer::timeout, this, &Form1::timeTick);
    // The adapter is gone and the port closed: only Connect makes sense now. The session then
    // ends what was running, once; a box already open finds the port closed when it returns.
    connect(&MSComm1, &CommPort::linkLost, this, &Form1::showLineGone);
    connect(&station, &qx::service::Station::event, this, &Form1::heard);
    if (qx::service::SharedRecord* shared = engine.shared())
        connect(shared, &qx::service::SharedRecord::said, this,
                [](const QString& said) { qWarning("%s", qPrintable(said)); });
    machinePorts.start(); // before the list follows it: start-up reads the first map itself
    connect(&machinePorts, &qx::service::MachinePorts::rescanned, this, &Form1::refreshPorts);
    Time.start(1);

    formLoad(setup.languageFlag);
    // The setting lives in the window's context menu: the design's controls stay as they are.
    auto* keepTraces = new QAction(pick(texts::kTraceEveryJob, languageFlag), this);
    keepTraces->setObjectName(QStringLiteral("keepTraces"));
    keepTraces->setCheckable(true);
    connect(keepTraces, &QAction::toggled, this, [this, keepTraces](bool on) {
        if (const auto* setting = qx::service::settingOfControl(keepTraces->objectName())) {
            qx::service::StationPolicy policy = station.policy();
            qx::service::setByBox(*setting, policy, on);
            station.setPolicy(policy);
        }
    });
    addAction(keepTraces);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

Form1::~Form1() = default; // the served port closes the line

// What the station tells of the held line: progress, the answer so far, the outcome.
void Form1::heard(const qx::service::StationEvent& event)
{
    using E = qx::service::StationEvent;
    switch (event.kind) {
    case E::Advanced:
        return onAdvanced();
    case E::VersionRead:
        return ui->Label1->setText(event.said);
    case E::JobEnded:
        return onFinished(*event.outcome);
    case E::RecordProblem:
        return qWarning("%s", qPrintable(event.said));
    default: // the window's own line neither comes and goes nor waits for a serial
        return;
    }
}

// ---- Start-up and shutdown -------------------------------------------------------------

void Form1::formLoad(quint8 language)
{
    languageFlag = language;
    setWindowTitle(texts::titleOf(texts::kTitle, languageFlag, package::embeddedIsTestPayload()));
    // The design's window picture is never drawn here: a QWidget has none to remove.
    ui->Frame1->setTitle(pick(texts::kFrame1, languageFlag));
    ui->Command1->setText(pick(texts::kCommand1, languageFlag));
    ui->Command2->setText(pick(texts::kCommand2, languageFlag));
    ui->Frame2->setTitle(pick(texts::kFrame2, languageFlag));
    ui->Label1->setText(pick(texts::kLabel1, languageFlag));
    ui->Command4->setText(pick(texts::kCommand4, languageFlag));
    ui->Command5->setText(pick(texts::kCommand5, languageFlag));

    deviceMap = machinePorts.map();
    portList = serial::enumComPorts(serial::mapValues(deviceMap));
    if (portList.first().isEmpty()) {
        // No serial port yet: the rest of the window keeps its design-time state, and the rest
        // of start-up runs when the first port appears.
        ui->Label1->setText(pick(texts::kNoPort, languageFlag));
        return;
    }
    finishStartUp();
}

void Form1::finishStartUp()
{
    startedUp = true;
    fillPortList(0);
    ui->MSBar->setPanelText(4, QString::fromLatin1(texts::kVersion));
    ui->lblPercent->setVisible(false);
    ui->prgPercent->setVisible(false);
    loadPackage();
    setConnectedEnabling(false);
}

void Form1::fillPortList(int selected)
{
    {
        const QSignalBlocker quiet(ui->Combo1);
        ui->Combo1->clear();
        for (qsizetype i = 0; i < portList.size(); ++i) {
            ui->Combo1->addItem(portList[i]);
            if (const QString tip = serial::portToolTip(deviceMap, portList[i]); !tip.isEmpty())
                ui->Combo1->setItemData(int(i), qx::ui::plainToolTip(tip), Qt::ToolTipRole);
        }
        ui->Combo1->setCurrentIndex(selected);
    }
    combo1Click(); // as a click on the entry would
}

void Form1::refreshPorts()
{
    // Never under the technician: not while connected, mid-transfer or while a box is open.
    portsStale =
        MSComm1.portOpen() || transfer.transferRunning() || QApplication::activeModalWidget();
    if (portsStale)
        return;
    const auto map = machinePorts.map();
    const QStringList after = serial::enumComPorts(serial::mapValues(map));
    QStringList tips, tipsBefore;
    for (const QString& port : after)
        tips << qx::ui::plainToolTip(serial::portToolTip(map, port));
    for (int i = 0; i < ui->Combo1->count(); ++i)
        tipsBefore << ui->Combo1->itemData(i, Qt::ToolTipRole).toString();
    if (after == portList && (after.first().isEmpty() || tips == tipsBefore))
        return;
    const QStringList before = portList;
    const QString selected = ui->Combo1->itemText(ui->Combo1->currentIndex());
    deviceMap = map;
    portList = after;
    if (after.first().isEmpty()) { // the last port went
        fillPortList(-1);
        ui->Label1->setText(pick(texts::kNoPort, languageFlag));
        return;
    }
    if (before.first().isEmpty() && ui->Label1->text() == pick(texts::kNoPort, languageFlag))
        ui->Label1->setText(pick(texts::kLabel1, languageFlag));
    if (!startedUp) // the first port: the rest of start-up
        finishStartUp();
    else
        fillPortList(serial::selectionAfter(before, selected, after));
}

void Form1::loadPackage()
{
    if (!engine.loadPackage())
        qWarning("firmware package refused: %s", engine.packageError().c_str());
    ui->prgPercent->setMaximum(package.packetCount + 3);
}

const qx::ui::Text* Form1::packageProblem() const
{
    return !startedUp ? &texts::kNotLoaded : engine.packageLoaded() ? nullptr : &texts::kDamaged;
}

void Form1::on_Command3_clicked()
{
    loadPackage();
}

void Form1::closeEvent(QCloseEvent* event)
{
    served.close(); // nothing fires into a window that is going away
    event->accept();
}

// ---- Status bar ----------------------------------------------------------------------

void Form1::timeTick()
{
    // The text can only change when the wall-clock second does; reading the local time (a
    // time-zone lookup) a thousand times a second would cost more than the rest of the window.
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second == shownSecond)
        return;
    shownSecond = second;
    ui->MSBar->setPanelText(3, qx::ui::clockText(QTime::currentTime(), timeSeparator));
}

void Form1::on_Combo1_activated(int)
{
    combo1Click();
}

void Form1::on_Combo1_currentIndexChanged(int index)
{
    if (index >= 0)
        combo1Click();
}

void Form1::combo1Click()
{
    // A name without a number from 0 to 255 is not a port: keep the previous one.
    const auto number = serial::portNumberFromName(ui->Combo1->currentText());
    if (!number)
        return;
    portNumber = *number;
    ui->MSBar->setPanelText(1, QStringLiteral("COM%1").arg(portNumber));
}

// ---- Connect and disconnect --------------------------------------------------------------

void Form1::setConnectedEnabling(bool connected)
{
    ui->Command4->setEnabled(!connected);
    ui->Command5->setEnabled(connected);
    ui->Frame1->setEnabled(!connected);
    ui->Combo1->setEnabled(!connected);
    ui->Command1->setEnabled(connected);
    ui->Command2->setEnabled(connected);
}

void Form1::showLineGone()
{
    // Only Connect makes sense now; Command6 is back as after any transfer. The list follows
    // the port's going once what ran has ended.
    setConnectedEnabling(false);
    ui->Command6->setEnabled(true);
    machinePorts.again();
}

void Form1::showError(const QString& description)
{
    // The port's words may carry an adapter's name: shown as they stand, never as markup.
    QMessageBox box(QMessageBox::Warning, QString(), description, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    if (portsStale) // ports came or went while the box was open
        machinePorts.again();
}

void Form1::on_Command4_clicked()
{
    try {
        // The device the number belongs to now, as the map says at the click.
        const auto device = serial::deviceFor(setup.devices(), portNumber);
        const QString name = QStringLiteral("COM%1").arg(portNumber);
        served.hold(name, {portNumber, name, device.value_or(serial::SerialDevice{})});
        setConnectedEnabling(true);
    } catch (const CommError& error) {
        showError(error.description());
    }
}

void Form1::on_Command5_clicked()
{
    served.release();
    setConnectedEnabling(false);
    if (portsStale)
        refreshPorts();
}

// ---- Update transfer and version query ----------------------------------------------------

void Form1::on_Command1_clicked()
{
    if (const qx::ui::Text* problem = packageProblem()) {
        showError(pick(*problem, languageFlag));
        return;
    }
    try {
        served.start(t::Job::Update);
        ui->prgPercent->setValue(0);
        ui->lblPercent->setVisible(true);
        ui->prgPercent->setVisible(true);
        ui->Command1->setEnabled(false);
        ui->Command2->setEnabled(false);
        ui->Frame1->setEnabled(false);
        ui->Command5->setEnabled(false);
        ui->Command6->setEnabled(false);
        ui->lblPercent->setText(pick(texts::kPercentWord, languageFlag) +
                                QString::fromLatin1(texts::kPercentStart));
    } catch (const CommError& error) {
        showError(error.description());
    }
}

void Form1::onAdvanced()
{
    ui->prgPercent->setValue(ui->prgPercent->value() + 1);
    ui->lblPercent->setText(
        pick(texts::kPercentWord, languageFlag) +
        QString::fromStdString(t::percentText(static_cast<float>(ui->prgPercent->value()),
                                              static_cast<float>(ui->prgPercent->maximum()))));
}

void Form1::onFinished(const t::Outcome& outcome)
{
    const QString words = qx::ui::outcomeWords(outcome, texts::kOutcomeBox, languageFlag);
    switch (outcome.result) {
    case t::Outcome::Success: {
        // The pause counts from the last ACK: recording the line took some of it.
        const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - outcome.at);
        if (const auto left = t::kSuccessPauseMs - since.count(); left > 0)
            QThread::msleep(static_cast<unsigned long>(left));
        QMessageBox::information(this, QString(), words);
        break;
    }
    case t::Outcome::Failure: {
        QMessageBox box(QMessageBox::NoIcon, pick(texts::kErrorTitle, languageFlag), words,
                        QMessageBox::Ok, this);
        // Why, in the service record's words: whether to re-seat the cable, power-cycle the
        // device or call the vendor depends on it.
        box.setDetailedText(QString::fromStdString(outcome.reason));
        const QAbstractButton* save =
            box.addButton(pick(texts::kSaveDiagnostics, languageFlag), QMessageBox::ActionRole);
        box.setDefaultButton(QMessageBox::Ok); // Enter closes it
        box.exec();
        if (box.clickedButton() == save)
            qx::ui::saveDiagnostics(this, served, languageFlag);
        break;
    }
    case t::Outcome::Ended:   // a query after a finished update ends without a word
    case t::Outcome::Current: // the window's updates make no checks
        return;
    }
    if (portsStale)
        machinePorts.again(); // once the outcome is over
    ui->lblPercent->setVisible(false);
    ui->prgPercent->setVisible(false);
    if (!MSComm1.portOpen()) {
        showLineGone(); // the line went away meanwhile
        return;
    }
    ui->Command1->setEnabled(true);
    ui->Command2->setEnabled(true);
    ui->Command5->setEnabled(true);
    ui->Command6->setEnabled(true);
}

void Form1::on_Command2_clicked()
{
    try {
        ui->Label1->setText(QString());
        ui->Text1->setText(QString::fromLatin1(t::kVersionCommand));
        served.start(t::Job::Query); // writes Text1's "2"; no time limit on a held line
    } catch (const CommError& error) {
        showError(error.description());
    }
}
