// Where traces are kept and how many: written whole under a new name, pruned by age.
#include "tracefolder.h"

#include "inert.h"
#include "platform.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace qx::service {

namespace {
// Our traces' names, as the folder is pruned: nothing else in it is touched.
const QRegularExpression& ourName()
{
    static const QRegularExpression name(
        QStringLiteral(R"(^\d{8}T\d{6}\.\d{3}Z-[A-Za-z0-9._-]{1,64}(-\d+)?\.trace$)"));
    return name;
}
} // namespace

QString traceFileName(const QDateTime& time, const QString& port)
{
    // "/dev/serial/by-id/usb-FTDI_..." as "serial_by-id_usb-FTDI_...", "COM7" as it is
    QString name = QString(port).remove(QRegularExpression(QStringLiteral("^/dev/"))).left(64);
    for (QChar& c : name)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != '.' && c != '_' && c != '-')
            c = '_';
    if (name.isEmpty() || name.startsWith('.'))
        name.prepend(QLatin1String("port"));
    return time.toUTC().toString(QStringLiteral("yyyyMMdd'T'HHmmss.zzz'Z-'")) + name.left(64) +
           QStringLiteral(".trace");
}

QString TraceFolder::folder() const
{
    return recordFolder_ + '/' + QLatin1String(kTraceFolderName);
}

TraceFolder::Kept TraceFolder::keep(const QByteArray& text, const QDateTime& time,
                                    const QString& port)
{
    const QString at = folder();
    const QFileInfo info(at);
    QString problem;
    QString name = traceFileName(time, port);
    if (info.exists() && !info.isDir())
        problem = QStringLiteral("%1 is not a folder").arg(QDir::toNativeSeparators(at));
    else if (!QDir().mkpath(at))
        problem = QStringLiteral("cannot make %1").arg(QDir::toNativeSeparators(at));
    else {
        // Two jobs of one port in one millisecond: the second gets a number.
        for (int n = 2; QFileInfo::exists(at + '/' + name) && n < 100; ++n)
            name = traceFileName(time, port).chopped(6) + QStringLiteral("-%1.trace").arg(n);
        if (!platform::createWith(at + '/' + name, text))
            problem =
                QStringLiteral("cannot write %1").arg(QDir::toNativeSeparators(at + '/' + name));
    }
    if (!problem.isEmpty()) {
        const QString said = problem == said_ ? QString()
                                              : "qx-lp4r-updater: trace: " + problem +
                                                    "; the trace is not kept, the outcome stands";
        said_ = problem;
        return {{}, said};
    }
    said_.clear();
    prune(name);
    return {QLatin1String(kTraceFolderName) + '/' + name, {}};
}

void TraceFolder::prune(const QString& kept) const
{
    QDir dir(folder());
    const QFileInfoList files =
        dir.entryInfoList({QStringLiteral("*.trace")}, QDir::Files | QDir::NoSymLinks, QDir::Name);
    QFileInfoList ours;
    qint64 bytes = 0;
    for (const QFileInfo& file : files)
        if (ourName().match(file.fileName()).hasMatch()) {
            ours << file;
            bytes += file.size();
        }
    for (qsizetype i = 0;
         i < ours.size() && (ours.size() - i > kTraceFilesKept || bytes > kTraceBytesKept); ++i) {
        if (ours[i].fileName() == kept)
            continue;
        if (QFile::remove(ours[i].filePath()))
            bytes -= ours[i].size();
    }
}

std::variant<transfer::ParsedTrace, QString> readTrace(const QString& path)
{
    const QString named = inert(QDir::toNativeSeparators(path));
    const QFileInfo info(path);
    if (!info.exists())
        return named + QStringLiteral(": no such file");
    if (!info.isFile()) // a FIFO or a device could keep us waiting for ever
        return named + QStringLiteral(": not a regular file");
    if (info.size() > 4 * transfer::kTraceCapBytes)
        return named + QStringLiteral(": too large for a trace");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return named + ": " + file.errorString();
    auto parsed = transfer::parseTrace(file.read(4 * transfer::kTraceCapBytes));
    if (const auto* problem = std::get_if<QString>(&parsed))
        return named + ": " + *problem;
    return parsed;
}

} // namespace qx::service
