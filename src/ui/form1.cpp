// The main window's handlers. Each follows the device's protocol step by step; the protocol's
// decisions (what a state sends, whether a reply is accepted) live in src/transfer.
#include "form1.h"

#include "clock.h"
#include "packageloader.h"
#include "texts.h"
#include "transfer.h"
#include "ui_form1.h"
#include "versionquery.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QFont>
#include <QMessageBox>
#include <QScreen>
#include <QThread>

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

std::span<const std::uint8_t> bytesOf(const CommPort::Input& input, QByteArray& storage)
{
    if (const auto* text = std::get_if<QString>(&input))
        storage = text->toLatin1();
    else
        storage = std::get<QByteArray>(input);
    return {reinterpret_cast<const std::uint8_t*>(storage.constData()),
            static_cast<std::size_t>(storage.size())};
}

} // namespace

Form1::Form1(Form1Setup setup_, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::Form1>()), setup(std::move(setup_)),
      MSComm1(setup.devices)
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

    tmrSend.setSingleShot(true);
    tmrOvertime.setSingleShot(true);
    // Coarse timers may fire 5 % early: the reply limits are meant to the millisecond.
    tmrSend.setTimerType(Qt::PreciseTimer);
    tmrOvertime.setTimerType(Qt::PreciseTimer);
    connect(&tmrSend, &QTimer::timeout, this, &Form1::sendTick);
    connect(&tmrOvertime, &QTimer::timeout, this, &Form1::overtimeTick);
    connect(&Time, &QTimer::timeout, this, &Form1::timeTick);
    connect(&MSComm1, &CommPort::commEvent, this, &Form1::onComm);
    connect(&MSComm1, &CommPort::linkLost, this, &Form1::onLinkLost);
    Time.start(1);

    formLoad();
}

Form1::~Form1()
{
    if (MSComm1.portOpen())
        MSComm1.setPortOpen(false);
}

// ---- Start-up and shutdown -------------------------------------------------------------

void Form1::formLoad(quint8 language)
{
    deviceWaiting = false;
    languageFlag = language;
    setWindowTitle(pick(texts::kTitle, languageFlag));
    // The design's window picture is never drawn here: a QWidget has none to remove.
    ui->Frame1->setTitle(pick(texts::kFrame1, languageFlag));
    ui->Command1->setText(pick(texts::kCommand1, languageFlag));
    ui->Command2->setText(pick(texts::kCommand2, languageFlag));
    ui->Frame2->setTitle(pick(texts::kFrame2, languageFlag));
    ui->Label1->setText(pick(texts::kLabel1, languageFlag));
    ui->Command4->setText(pick(texts::kCommand4, languageFlag));
    ui->Command5->setText(pick(texts::kCommand5, languageFlag));

    deviceMap = setup.devices();
    portList = serial::enumComPorts(serial::mapValues(deviceMap));
    if (portList.first().isEmpty())
        return; // no serial port: the rest of the window keeps its design-time state

    ui->Combo1->clear();
    for (qsizetype i = 0; i < portList.size(); ++i) {
        ui->Combo1->addItem(portList[i]);
        for (const serial::MapEntry& entry : deviceMap)
            if (entry.portName.toUpper() == portList[i])
                ui->Combo1->setItemData(int(i), serial::portToolTip(entry), Qt::ToolTipRole);
    }
    ui->Combo1->setCurrentIndex(0);
    combo1Click();
    ui->MSBar->setPanelText(4, QString::fromLatin1(texts::kVersion));
    ui->lblPercent->setVisible(false);
    ui->prgPercent->setVisible(false);
    loadPackage();
    setConnectedEnabling(false);
}

void Form1::loadPackage()
{
    const auto bytes = setup.package.empty() ? package::embeddedPackage() : setup.package;
    const auto result = package::loadPackage(setup.programDir, bytes);
    package = result.package;
    packageProblem = result.ok ? nullptr : &texts::kDamaged;
    if (!result.ok)
        qWarning("firmware package refused: %s", result.error.c_str());
    ui->prgPercent->setMaximum(package.packetCount + 3);
}

void Form1::on_Command3_clicked()
{
    loadPackage();
}

void Form1::closeEvent(QCloseEvent* event)
{
    // Nothing fires into a window that is going away.
    tmrSend.stop();
    tmrOvertime.stop();
    if (MSComm1.portOpen())
        MSComm1.setPortOpen(false);
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
    // Only Connect makes sense now; Command6 is back as after any transfer.
    setConnectedEnabling(false);
    ui->Command6->setEnabled(true);
}

void Form1::showError(const QString& description)
{
    QMessageBox::warning(this, QString(), description);
}

void Form1::on_Command4_clicked()
{
    try {
        commMode = 0;
        MSComm1.setInBufferSize(1024);
        MSComm1.setOutBufferSize(512);
        MSComm1.setCommPort(portNumber);
        MSComm1.setSettings(QString::fromLatin1(texts::kLineSettings));
        MSComm1.setPortOpen(true);
        try {
            MSComm1.setHandshaking(CommPort::Handshaking::None);
            MSComm1.clearReceive();
            MSComm1.clearTransmit();
            MSComm1.setDtrEnable(true);
            MSComm1.setInputMode(CommPort::InputMode::Text);
        } catch (const CommError&) {
            // Never look disconnected while holding the port open.
            MSComm1.setPortOpen(false);
            throw;
        }
        setConnectedEnabling(true);
    } catch (const CommError& error) {
        showError(error.description());
    }
}

void Form1::on_Command5_clicked()
{
    if (MSComm1.portOpen())
        MSComm1.setPortOpen(false);
    setConnectedEnabling(false);
}

void Form1::onLinkLost()
{
    // The adapter is gone and the port closed: end what was running, once, and show the
    // disconnected state. A box already open will find the port closed when it returns.
    tmrSend.stop();
    showLineGone();
    if (commMode == 1 || commMode == 2)
        failNow();
}

// ---- Update transfer -------------------------------------------------------------------

void Form1::on_Command1_clicked()
{
    if (packageProblem) {
        showError(pick(*packageProblem, languageFlag));
        return;
    }
    try {
        commMode = 1;
        MSComm1.clearReceive();
        MSComm1.clearTransmit();
        MSComm1.setInputMode(CommPort::InputMode::Binary);
        ui->prgPercent->setValue(0);
        ui->lblPercent->setVisible(true);
        ui->prgPercent->setVisible(true);
        ui->Command1->setEnabled(false);
        ui->Command2->setEnabled(false);
        ui->Frame1->setEnabled(false);
        ui->Command5->setEnabled(false);
        ui->Command6->setEnabled(false);
        sendState = deviceWaiting ? 1 : 0;
        tmrSend.setInterval(t::kSendIntervalMs);
        tmrSend.start();
        ui->lblPercent->setText(pick(texts::kPercentWord, languageFlag) +
                                QString::fromLatin1(texts::kPercentStart));
    } catch (const CommError& error) {
        showError(error.description());
    }
}

void Form1::sendTick()
{
    tmrSend.stop();
    const t::Step step = t::stepOf(sendState, package.packetCount);
    sendBuffer = t::sendBytes(sendState, package);
    if (step == t::Step::None || sendBuffer.empty()) {
        failNow();
        return;
    }
    const t::StepRule& rule = t::ruleOf(step);
    replyThreshold = static_cast<qint16>(rule.replyThreshold);
    // Armed before the write: every state has a reply time limit.
    tmrOvertime.setInterval(rule.watchdogMs);
    tmrOvertime.start();
    try {
        MSComm1.clearReceive();
        MSComm1.setRThreshold(replyThreshold);
        MSComm1.output(sendBuffer);
    } catch (const CommError&) {
        failNow(); // the port refused: the transfer ends with the connection error
    }
}

void Form1::onComm(int code)
{
    if (code != CommPort::comEvReceive)
        return;
    if (outcomeDecided) {
        MSComm1.input();
        return;
    }
    switch (commMode) {
    case 0:
        idleReply();
        break;
    case 1:
        transferReply();
        break;
    case 2:
        versionReply();
        break;
    default:
        break;
    }
}

void Form1::idleReply()
{
    const CommPort::Input input = MSComm1.input();
    // Text after Connect or a query, bytes after a transfer: either 'C' counts.
    if (const auto* text = std::get_if<QString>(&input)) {
        if (!text->isEmpty())
            deviceWaiting = text->endsWith(QLatin1Char('C'));
    } else if (const auto& bytes = std::get<QByteArray>(input); !bytes.isEmpty()) {
        deviceWaiting = static_cast<std::uint8_t>(bytes.back()) == t::kRequest;
    }
}

void Form1::transferReply()
{
    QByteArray storage;
    const auto reply = bytesOf(MSComm1.input(), storage);
    switch (t::judgeReply(sendState, package.packetCount, reply)) {
    case t::Verdict::Advance:
        advance();
        break;
    case t::Verdict::Complete:
        succeed();
        break;
    case t::Verdict::Fail:
        replyFailure();
        break;
    case t::Verdict::KeepWaiting: // a wrong reply to the closing header: the device may ACK yet
    case t::Verdict::Ignore:
        break;
    }
}

void Form1::advance()
{
    ++sendState;
    ui->prgPercent->setValue(ui->prgPercent->value() + 1);
    tmrSend.start();
    ui->lblPercent->setText(
        pick(texts::kPercentWord, languageFlag) +
        QString::fromStdString(t::percentText(static_cast<float>(ui->prgPercent->value()),
                                              static_cast<float>(ui->prgPercent->maximum()))));
}

void Form1::succeed()
{
    outcomeDecided = true;
    tmrSend.stop();
    tmrOvertime.stop();
    QThread::msleep(t::kSuccessPauseMs);
    QMessageBox::information(this, QString(), pick(texts::kSuccess, languageFlag));
    restoreAfterTransfer();
    commMode = 0;
    deviceWaiting = false;
    outcomeDecided = false;
}

void Form1::replyFailure()
{
    tmrSend.stop();
    if (sendState != package.packetCount + 3)
        failNow();
}

void Form1::failNow()
{
    if (outcomeDecided)
        return;
    outcomeDecided = true;
    tmrSend.stop();
    tmrOvertime.setInterval(t::kFailNowMs);
    tmrOvertime.start();
}

void Form1::overtimeTick()
{
    tmrOvertime.stop();
    outcomeDecided = true; // already, unless the time ran out
    QMessageBox box(QMessageBox::NoIcon, pick(texts::kErrorTitle, languageFlag),
                    pick(texts::kConnectionError, languageFlag), QMessageBox::Ok, this);
    box.exec();
    restoreAfterTransfer();
    commMode = 0;
    outcomeDecided = false;
}

void Form1::restoreAfterTransfer()
{
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

// ---- Version query -----------------------------------------------------------------------

void Form1::on_Command2_clicked()
{
    try {
        versionText.clear();
        versionReplyCount = 0;
        commMode = 2;
        ui->Label1->setText(QString());
        MSComm1.setHandshaking(CommPort::Handshaking::None);
        MSComm1.clearReceive();
        MSComm1.clearTransmit();
        MSComm1.setDtrEnable(true);
        MSComm1.setInputMode(CommPort::InputMode::Text);
        MSComm1.clearReceive();
        MSComm1.setRThreshold(1);
        ui->Text1->setText(QString::fromLatin1(serial::kVersionCommand));
        MSComm1.output(ui->Text1->text());
    } catch (const CommError& error) {
        showError(error.description());
    }
}

void Form1::versionReply()
{
    const CommPort::Input input = MSComm1.input();
    const QString text = std::holds_alternative<QString>(input)
                             ? std::get<QString>(input)
                             : QString::fromLatin1(std::get<QByteArray>(input));
    if (text.isEmpty())
        return;
    versionText += text;
    ++versionReplyCount;
    if (versionReplyCount <= serial::kVersionReplyLimit) {
        ui->Label1->setText(serial::versionCaption(versionText));
        return;
    }
    commMode = 0;
    replyFailure();
}
