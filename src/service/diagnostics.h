// What a technician sends support about one job: its record line, its trace, the program's
// version and the machine's description, as one text file with nothing secret in it (no
// database URL, password or environment) and nothing a device sent but hex and inert text.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace qx::service {

// The machine as a trace's header and the diagnostics describe it: the system, its kernel and
// its processor.
QString machineDescription();

// `fields` are the job's record line's, `trace` its trace's text (empty: none was recorded),
// `traceFile` where it was kept (empty: it was not).
QByteArray diagnosticsText(const QStringList& fields, const QByteArray& trace,
                           const QString& traceFile);

// Writes `text` whole to `path`, replacing what is there; the problem in words, else empty.
QString saveDiagnostics(const QString& path, const QByteArray& text);

} // namespace qx::service
