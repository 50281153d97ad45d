// Loading the package that every face's ports send.
#include "engine.h"

#include "packageloader.h"

#include <cstdio>

namespace qx::service {

Engine::Engine(Setup setup) : setup_(std::move(setup))
{
    if (!setup_.out)
        setup_.out = [](const QString& line) { platform::printLine(stdout, line); };
    if (!setup_.err)
        setup_.err = [](const QString& line) { platform::printLine(stderr, line); };
    if (!setup_.recordTo)
        return;
    shared_ = std::make_unique<SharedRecord>(*setup_.recordTo, setup_.recordFolder,
                                             setup_.deliveryProgram);
    record_.shareWith(shared_.get());
}

Engine::~Engine()
{
    record_.shareWith(nullptr);
}

bool Engine::loadPackage()
{
    const auto loaded = package::loadFirmware(setup_.programDir, setup_.package);
    package_ = loaded.package;
    loaded_ = loaded.ok;
    error_ = loaded.error;
    record_.setFirmwareSha256(loaded_ ? firmwareSha256(package_) : QString());
    return loaded_;
}

} // namespace qx::service
