// The outbox's files: only regular files are opened, so that a FIFO or a device put in their
// place is refused instead of waited on.
#include "outbox.h"

#include "platform.h"
#include "recordto.h"
#include "servicerecord.h"

#include <QCryptographicHash>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace qx::service {

namespace {
// The file's bytes from `from` on, or nothing when it is not a regular file that can be read.
QByteArray readRegular(const QString& path, qint64 from = 0)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly) || !file.seek(from))
        return {};
    return file.readAll();
}
} // namespace

Outbox::Outbox(const QString& folder, const Database& database)
    : path(QStringLiteral("%1/service-record.%2.outbox").arg(folder, database.key())),
      sent(path + ".sent"), refused(path + ".refused"), missed(path + ".missed")
{
}

QByteArray missedNote(const QString& lineId, const QString& csv, qint64 from,
                      const QByteArray& recordLine)
{
    const QString sha = QString::fromLatin1(
        QCryptographicHash::hash(recordLine, QCryptographicHash::Sha256).toHex());
    return QJsonDocument(
               QJsonObject{
                   {"line_id", lineId}, {"csv", csv}, {"from", double(from)}, {"sha256", sha}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

Rebuilt rebuildMissed(const Outbox& outbox)
{
    Rebuilt rebuilt;
    for (const QByteArray& noted : readRegular(outbox.missed).split('\n')) {
        const QJsonObject note = QJsonDocument::fromJson(noted).object();
        if (note.isEmpty())
            continue;
        // Only from where the line was written on: what came before was delivered long ago.
        const QByteArray csv =
            readRegular(note.value("csv").toString(), qint64(note.value("from").toDouble()));
        const QByteArray sha = note.value("sha256").toString().toLatin1();
        bool found = false;
        for (qsizetype at = 0, end; !found && (end = csv.indexOf('\n', at)) >= 0; at = end + 1) {
            const QByteArray line = csv.mid(at, end + 1 - at);
            found = QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex() == sha;
            if (found)
                rebuilt.lines +=
                    outboxLine(note.value("line_id").toString(), recordLineFields(line));
        }
        if (!found)
            rebuilt.lost << noted;
    }
    return rebuilt;
}

int missedCount(const Outbox& outbox)
{
    return int(readRegular(outbox.missed).count('\n'));
}

QByteArray outboxLine(const QString& lineId, const QStringList& fields)
{
    return QJsonDocument(
               QJsonObject{{"line_id", lineId}, {"fields", QJsonArray::fromStringList(fields)}})
               .toJson(QJsonDocument::Compact) +
           '\n';
}

Pending pendingLines(const Outbox& outbox)
{
    Pending pending;
    pending.from = readRegular(outbox.sent).trimmed().toLongLong();
    if (pending.from < 0 || pending.from > QFileInfo(outbox.path).size()) // another outbox
        pending.from = 0;
    QByteArray rest = readRegular(outbox.path, pending.from);
    rest.truncate(rest.lastIndexOf('\n') + 1); // whole lines only: the last may be on its way
    pending.lines = rest.split('\n');
    pending.lines.removeLast();
    return pending;
}

void noteSent(const Outbox& outbox, qint64 offset)
{
    // Replaced whole, never opened in place: a FIFO there is replaced, not waited on.
    QSaveFile note(outbox.sent);
    if (note.open(QIODevice::WriteOnly)) {
        note.write(QByteArray::number(offset) + '\n');
        note.commit();
    }
}

QString appendLines(const QString& path, const QByteArray& lines)
{
    const QFileInfo info(path);
    if (!info.exists())
        platform::createWith(path, {});
    else if (!info.isFile())
        return QStringLiteral("it is not a regular file");
    QByteArray bytes = lines;
    if (QFile file(path); file.open(QIODevice::ReadOnly) && file.size() > 0 &&
                          file.seek(file.size() - 1) && file.read(1) != "\n")
        bytes.prepend('\n');
    return platform::appendWhole(path, bytes);
}

QString setAside(const Outbox& outbox, const QByteArray& line, const QString& why)
{
    const QByteArray kept =
        QJsonDocument(QJsonObject{{"why", why}, {"line", QString::fromUtf8(line)}})
            .toJson(QJsonDocument::Compact) +
        '\n';
    return appendLines(outbox.refused, kept);
}

} // namespace qx::service
