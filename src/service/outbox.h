// The outbox: the shared record's lines waiting for one database, in a file beside the CSV,
// with a note of how far the database has taken them and a file of the lines it refused.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace qx::service {

struct Database;

// The files of one database's lines in a record folder, named by the database's key, so that
// a line always goes to the database that was named when it was written.
struct Outbox
{
    Outbox(const QString& folder, const Database& database);

    QString path;    // the lines, one JSON object each
    QString sent;    // the offset up to which the database has them
    QString refused; // lines set aside: the database refused them, or they were never whole
    // Lines the outbox could not take when they were written: for each, where the CSV holds
    // it, from which a later run rebuilds it.
    QString missed;
};

// One outbox line: the record line's fields and its identity, as one line of JSON.
QByteArray outboxLine(const QString& lineId, const QStringList& fields);

// What waits: the outbox's whole lines from the offset its note holds.
struct Pending
{
    qint64 from = 0;
    QList<QByteArray> lines;
};
Pending pendingLines(const Outbox& outbox);
// What a missed line's note holds: its identity, and the CSV `csv` that holds `recordLine`
// at `from` or after it.
QByteArray missedNote(const QString& lineId, const QString& csv, qint64 from,
                      const QByteArray& recordLine);
// The noted lines, rebuilt from their CSV lines as outbox lines, in order, and the notes of
// those that their CSV no longer holds (to be set aside once the rest are in the outbox).
struct Rebuilt
{
    QByteArray lines;
    QList<QByteArray> lost;
};
Rebuilt rebuildMissed(const Outbox& outbox);
int missedCount(const Outbox& outbox);

// Notes that the lines up to `offset` are taken.
void noteSent(const Outbox& outbox, qint64 offset);

// Appends whole lines, starting on a line of their own: a fragment a power cut or a full disk
// left at the end stays a line by itself and takes no line after it with it. Only a regular
// file (or none yet) is written. The reason in words when it fails, else empty.
QString appendLines(const QString& path, const QByteArray& lines);

// A line set aside, with why, into the outbox's refused file; as appendLines() answers.
QString setAside(const Outbox& outbox, const QByteArray& line, const QString& why);

} // namespace qx::service
