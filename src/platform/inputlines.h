// Standard input as lines, read on a thread of their own so that the event loop never waits on
// a terminal, a pipe or a scanner: each line reported as it comes, and the end once.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

namespace qx::platform {

class InputLines : public QObject
{
    Q_OBJECT

public:
    explicit InputLines(QObject* parent = nullptr); // starts reading
    ~InputLines() override; // the reader, blocked in a read, is left to the process's end

signals:
    void line(const QString& text); // without its line end; cut past kInputLineLimit
    void ended();                   // closed, at its end, or never there

public:
    // Longer lines are cut here, with one character more, so that what they were for refuses
    // them: a device that never sends a line end fills no memory.
    static constexpr int kInputLineLimit = 1024;

private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

} // namespace qx::platform
