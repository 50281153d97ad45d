// What every face stands on: the surroundings it is given, the firmware package it sends and
// the service record its ports write.
#pragma once

#include "devicemap.h"
#include "machineports.h"
#include "packageformat.h"
#include "platform.h"
#include "servicerecord.h"
#include "sharedrecord.h"

#include <QCoreApplication>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace qx::service {

// What a face takes from its surroundings; tests put pseudo-terminals, other packages and
// folders, and their own output here.
struct Setup
{
    serial::DeviceSource devices = serial::systemDeviceMap;
    QString programDir = QCoreApplication::applicationDirPath(); // where the package is staged
    std::span<const std::uint8_t> package = {};                  // empty: the embedded package
    QString recordFolder = platform::serviceRecordFolder();
    int settleMs = kSettleMs; // the wait after a port appears
    quint8 languageFlag = 0;  // the windows': 1 Simplified Chinese, else English
    std::function<void(const QString&)> out = {}; // the command line's results, whole lines; stdout
    std::function<void(const QString&)> err = {}; // its diagnostics, whole lines; stderr
    std::optional<Database> recordTo = {};        // the shared record's database; none without
    // The program that delivers it, started with kDeliverOption: this one.
    QString deliveryProgram = QCoreApplication::applicationFilePath();
};

class Engine
{
public:
    explicit Engine(Setup setup);
    ~Engine();

    const Setup& setup() const { return setup_; }
    ServiceRecord& record() { return record_; }
    // The shared record where the setup names one; null without.
    SharedRecord* shared() { return shared_.get(); }
    // What the ports send; it stays where it is when loaded again.
    const package::Package& package() const { return package_; }

    // Loads the package, or loads it again; whether it can be sent.
    bool loadPackage();
    bool packageLoaded() const { return loaded_; }
    const std::string& packageError() const { return error_; } // why it cannot be

private:
    Setup setup_;
    ServiceRecord record_{setup_.recordFolder};
    std::unique_ptr<SharedRecord> shared_;
    package::Package package_;
    bool loaded_ = false;
    std::string error_ = "not loaded";
};

} // namespace qx::service
