// Ctrl+C, and the terminal or console going away, as one Qt signal on the main thread, so that
// the command line can close its ports and report before it exits.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace qx::serial {

class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override; // the console may close now: the ports are closed

signals:
    void interrupted(const QString& what); // "Ctrl+C", "hang-up", ...

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace qx::serial
