// Where the shared record goes, as --record-to or QX_RECORD_TO name it, checked so that no
// secret is ever taken from it or printed.
#pragma once

#include <QString>
#include <QStringList>

#include <variant>

namespace qx::service {

// How long connecting may take before the server counts as unreachable.
inline constexpr int kConnectTimeoutS = 3;

// libpq's URI (postgresql://[user@]host[:port]/dbname[?param=value...]) or its key=value form
// (service=line3). The password never appears here: libpq's password or service file has it.
struct Database
{
    QString host, name, user;
    int port = -1;
    QStringList options; // key=value, passed through (sslmode, service, ...)
    QString odbcDriver;  // ODBC's driver name (Windows): the odbc_driver parameter
    QString url;         // as it was given: what the delivering process is started with

    // Names this database apart from every other, whatever spelling named it: the outbox of
    // its lines is called by it.
    QString key() const;
};

// The database, or why not in words that never repeat what was given: a refused URL may hold
// a password.
std::variant<Database, QString> parseRecordTo(const QString& url);

} // namespace qx::service
