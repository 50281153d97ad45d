// The traces folder beside the service record: a failed job's trace, one file each, named by
// its time and port, and bounded, the oldest going first.
#pragma once

#include "trace.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <variant>

namespace qx::service {

inline constexpr char kTraceFolderName[] = "traces";
inline constexpr int kTraceFilesKept = 1000;
inline constexpr qint64 kTraceBytesKept = 64 * 1024 * 1024;

class TraceFolder
{
public:
    explicit TraceFolder(QString recordFolder) : recordFolder_(std::move(recordFolder)) {}

    struct Kept
    {
        QString file; // as the record line names it, "traces/<name>"; empty: not written
        QString said; // what to tell the user, once per problem; else empty
    };
    // Writes `text` whole as a new file, never through a FIFO or a link, then lets the oldest
    // go while the folder is over its bounds.
    Kept keep(const QByteArray& text, const QDateTime& time, const QString& port);
    QString folder() const;

private:
    void prune(const QString& kept) const;
    QString recordFolder_;
    QString said_;
};

// "20261210T130457.123Z-ttyUSB0.trace": the time in UTC, and the port's last name made safe for
// every file system.
QString traceFileName(const QDateTime& time, const QString& port);

// A trace file read back: a regular file within the cap (with room for a hand's edits), whose
// text is a trace; else what is wrong, in inert words.
std::variant<transfer::ParsedTrace, QString> readTrace(const QString& path);

} // namespace qx::service
