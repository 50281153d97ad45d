// The main window: its state, and the handlers of its buttons, timers and serial port.
#pragma once

#include "commport.h"
#include "devicemap.h"
#include "packageformat.h"
#include "texts.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <span>

namespace Ui {
class Form1;
}

// What the window takes from its surroundings; tests put pseudo-terminals and other
// packages or directories here.
struct Form1Setup
{
    qx::serial::DeviceSource devices = qx::serial::systemDeviceMap;
    QString programDir = QCoreApplication::applicationDirPath();
    std::span<const std::uint8_t> package = {}; // empty: the embedded package
};

class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(Form1Setup setup = {}, QWidget* parent = nullptr);
    ~Form1() override;

    Ui::Form1* form() const { return ui.get(); }
    const qx::serial::CommPort& comm() const { return MSComm1; }

    // Window state, named as the window's code names it; read by tests.
    quint8 commMode = 0;       // 0 idle, 1 update transfer, 2 version query
    qint16 sendState = 0;      // 0 menu, 1 header, 2 .. N+1 data, N+2 EOT, N+3 closing header
    qint16 replyThreshold = 0; // reply bytes that raise the receive event for this state
    std::vector<std::uint8_t> sendBuffer;
    bool deviceWaiting = false;   // the device was last seen asking with 'C' while idle
    qx::package::Package package; // packetCount, packageData, headerPacket
    const qx::ui::Text* packageProblem = &qx::ui::texts::kNotLoaded; // nullptr once loaded
    qint16 versionReplyCount = 0;
    quint8 languageFlag = 0; // 1 Simplified Chinese, any other value English
    quint8 portNumber = 0;
    QStringList portList;
    QString versionText;

    QTimer tmrSend;
    QTimer tmrOvertime;
    QTimer Time;

    // Start-up, run by the constructor before the window is shown; public so the language
    // tables can be checked with languageFlag = 1.
    void formLoad(quint8 language = 0);
    void loadPackage();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void on_Command1_clicked(); // Update
    void on_Command2_clicked(); // Get Version
    void on_Command3_clicked(); // Load default file
    void on_Command4_clicked(); // Connect
    void on_Command5_clicked(); // Disconnect
    void on_Combo1_activated(int index);
    void on_Combo1_currentIndexChanged(int index);

private:
    void timeTick();
    void sendTick();
    void overtimeTick();
    void onComm(int code);
    void onLinkLost();

    void idleReply();
    void transferReply();
    void versionReply();
    void advance();
    void succeed();
    void replyFailure();
    void failNow();
    void combo1Click();
    void setConnectedEnabling(bool connected);
    void restoreAfterTransfer();
    void showLineGone();
    void showError(const QString& description);

    std::unique_ptr<Ui::Form1> ui;
    Form1Setup setup;
    QList<qx::serial::MapEntry> deviceMap;
    qx::serial::CommPort MSComm1;
    QChar timeSeparator;
    qint64 shownSecond = -1; // the wall-clock second panel 3 shows
    // The transfer's or the query's outcome is decided: from the wrong reply (or the lost
    // line, the time-out, the success) until its box has been closed, replies are read and
    // dropped, not judged, so nothing is sent or re-armed and exactly one box shows.
    bool outcomeDecided = false;
};
