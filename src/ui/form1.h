// The main window: its state, and the handlers of its buttons, timers and serial port.
#pragma once

#include "commport.h"
#include "devicemap.h"
#include "engine.h"
#include "machineports.h"
#include "packageformat.h"
#include "station.h"
#include "texts.h"

#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class Form1;
}

class Form1 : public QWidget
{
    Q_OBJECT

    // First, as all the rest stands on it: the surroundings, the package and the record.
    qx::service::Engine engine;

public:
    // The setup's languageFlag is start-up's language.
    explicit Form1(qx::service::Setup setup = {}, QWidget* parent = nullptr);
    ~Form1() override;

    Ui::Form1* form() const { return ui.get(); }
    const qx::serial::CommPort& comm() const { return MSComm1; }
    // The transfer and the query, as their interface tells what they are doing.
    const qx::transfer::Session& session() const { return transfer; }

    // Window state, named as the window's code names it; read by tests.
    const qx::package::Package& package =
        engine.package(); // packetCount, packageData, headerPacket
    // What Update says instead of sending: the package is not loaded before the rest of
    // start-up, or is damaged; nullptr once loaded.
    const qx::ui::Text* packageProblem() const;
    bool startedUp = false;  // start-up has found a port and loaded the package
    quint8 languageFlag = 0; // 1 Simplified Chinese, any other value English
    quint8 portNumber = 0;
    QStringList portList;

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
    void heard(const qx::service::StationEvent& event);
    void onAdvanced();
    void onFinished(const qx::transfer::Outcome& outcome);
    void combo1Click();
    void finishStartUp();
    void fillPortList(int selected);
    void refreshPorts();
    void setConnectedEnabling(bool connected);
    void showLineGone();
    void showError(const QString& description);

    std::unique_ptr<Ui::Form1> ui;
    const qx::service::Setup& setup = engine.setup();
    QList<qx::serial::MapEntry> deviceMap;
    // The window is a view of a station that serves one line, held open from Connect to
    // Disconnect, with its session, sleep hold and record line; the window's code names the
    // control MSComm1 and the session's state. The station's policy holds the window's one
    // setting, from its context menu: whether a successful job's trace is kept too.
    qx::service::Station station{engine.package(), engine.record(), {.devices = setup.devices}};
    qx::service::ServedPort& served = station.heldPort();
    const qx::serial::CommPort& MSComm1 = served.port();
    const qx::transfer::Session& transfer = served.session();
    // Ports come and go: the list follows while disconnected, kListQuietMs after the last
    // change (a plugged-in adapter makes several); while connected it waits. The window serves
    // none of them: it updates through its own held line, `served`.
    qx::service::MachinePorts machinePorts{setup.devices, qx::service::kListQuietMs};
    bool portsStale = false;
    QChar timeSeparator;
    qint64 shownSecond = -1; // the wall-clock second panel 3 shows
};
