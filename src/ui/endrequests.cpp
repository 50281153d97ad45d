// The end of the process, wired to a face's own way of ending.
#include "endrequests.h"

#include <QGuiApplication>
#include <QSessionManager>

namespace qx::ui {

void endOnRequest(platform::InterruptWatcher& requests, const std::function<void()>& end)
{
    QObject::connect(&requests, &platform::InterruptWatcher::interrupted, &requests, [end] {
        end();
        QCoreApplication::quit();
    });
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        QObject::connect(qApp, &QGuiApplication::commitDataRequest, &requests,
                         [end](QSessionManager&) { end(); });
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &requests, end);
}

} // namespace qx::ui
