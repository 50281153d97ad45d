// The diagnostics file: the record line, the trace and where the program ran.
#include "diagnostics.h"

#include "inert.h"

#include "packageloader.h"
#include "servicerecord.h"
#include "trace.h"
#include "version.h"

#include <QDir>
#include <QSaveFile>
#include <QSysInfo>

namespace qx::service {

QString machineDescription()
{
    return QStringLiteral("%1, %2 %3, %4")
        .arg(QSysInfo::prettyProductName(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
             QSysInfo::currentCpuArchitecture());
}

QByteArray diagnosticsText(const QStringList& fields, const QByteArray& trace,
                           const QString& traceFile)
{
    QByteArray text = "QX-LP4R Firmware Updater diagnostics\n";
    text += "program: " + inert(QStringLiteral(QX_VERSION)).toUtf8() +
            (package::embeddedIsTestPayload() ? " (test build)" : "") + '\n';
    text += "machine: " + inert(machineDescription()).toUtf8() + '\n';
    text += "\nrecord line:\n" + recordHeader().mid(3) + recordLine(fields);
    text +=
        "\ntrace: " + (traceFile.isEmpty() ? QByteArray("not kept") : inert(traceFile).toUtf8()) +
        '\n';
    // The trace's own text holds nothing raw; any other byte is made so here, line by line.
    for (const QByteArray& line : trace.split('\n'))
        text += inert(line).toUtf8() + '\n';
    text.chop(1);
    if (!text.endsWith('\n'))
        text += '\n';
    if (trace.isEmpty())
        text += "(no trace was recorded)\n";
    return text;
}

QString saveDiagnostics(const QString& path, const QByteArray& text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), file.errorString());
    return QString();
}

} // namespace qx::service
