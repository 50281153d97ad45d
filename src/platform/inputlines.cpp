// Standard input read by a detached thread: its lines are handed to the event loop, where they
// reach the reader only while it is alive.
#include "inputlines.h"

#include <QCoreApplication>

#include <cstdio>
#include <thread>

namespace qx::platform {

struct InputLines::Shared
{
    InputLines* owner; // read and cleared only on the event loop's thread
};

InputLines::InputLines(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>(this))
{
    std::thread([shared = shared_] {
        // On the event loop's thread, to the reader if it is still there.
        const auto hand = [&shared](auto call) {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [shared, call] {
                    if (shared->owner)
                        call(*shared->owner);
                },
                Qt::QueuedConnection);
        };
        QByteArray line;
        for (int c; (c = std::getchar()) != EOF;) {
            if (c != '\n') {
                if (line.size() <= kInputLineLimit)
                    line += char(c);
                continue;
            }
            if (line.endsWith('\r'))
                line.chop(1);
            hand([text = QString::fromLocal8Bit(line)](InputLines& in) { emit in.line(text); });
            line.clear();
        }
        hand([](InputLines& in) { emit in.ended(); });
    }).detach();
}

InputLines::~InputLines()
{
    shared_->owner = nullptr;
}

} // namespace qx::platform
