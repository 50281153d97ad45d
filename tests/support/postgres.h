// A private PostgreSQL 15 server for the shared record's tests: initdb into a temporary folder
// as an unprivileged user (initdb refuses root), listening on 127.0.0.1 and a free port.
#pragma once

#include "recordto.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A socket listening on 127.0.0.1 at a port of the system's choosing, which `port` is given;
// it accepts into its backlog and never answers.
inline int loopbackListener(int& port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::listen(fd, 64);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    port = ntohs(address.sin_port);
    return fd;
}

class Postgres
{
public:
    static constexpr char kBin[] = "/usr/lib/postgresql/15/bin/";

    Postgres()
    {
        dir.setAutoRemove(true);
        if (::geteuid() == 0)
            QProcess::execute("chown", {"postgres:postgres", dir.path()});
        ::close(loopbackListener(port)); // free again for the server
        ok = run(QString(kBin) + "initdb",
                 {"-D", data(), "-U", "postgres", "--auth=trust", "-E", "UTF8", "--no-sync"}) &&
             start() && psql("CREATE DATABASE qx", "postgres").has_value();
    }
    ~Postgres() { run(QString(kBin) + "pg_ctl", {"-D", data(), "-m", "immediate", "-w", "stop"}); }

    bool start()
    {
        return run(QString(kBin) + "pg_ctl",
                   {"-D", data(), "-w", "-l", dir.filePath("log"), "-o",
                    QString("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                        .arg(port)
                        .arg(dir.path()),
                    "start"});
    }
    QString url() const { return QString("postgresql://postgres@127.0.0.1:%1/qx").arg(port); }
    qx::service::Database database() const
    {
        return std::get<qx::service::Database>(qx::service::parseRecordTo(url()));
    }

    // What `sql` prints, one row a line, fields split by '|'; nothing when it failed.
    std::optional<QStringList> psql(const QString& sql, const QString& database = "qx") const
    {
        QProcess p;
        p.start("psql", {"-h", "127.0.0.1", "-p", QString::number(port), "-U", "postgres", "-d",
                         database, "-At", "-v", "ON_ERROR_STOP=1", "-c", sql});
        if (!p.waitForFinished(30000) || p.exitCode() != 0)
            return std::nullopt;
        return QString::fromUtf8(p.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    }

    QTemporaryDir dir;
    int port = 0;
    bool ok = false;

private:
    QString data() const { return dir.filePath("data"); }
    static bool run(const QString& program, const QStringList& arguments)
    {
        QProcess p;
        if (::geteuid() == 0)
            p.start("runuser", QStringList{"-u", "postgres", "--", program} + arguments);
        else
            p.start(program, arguments);
        return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }
};
