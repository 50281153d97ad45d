// The updater's entry: one window, no command line, no settings.
#include "form1.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QX-LP4R Firmware Updater"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.7"));
    Form1 window;
    window.show();
    return app.exec();
}
