// Reading --record-to: libpq's two forms, each parameter's name and value checked, and a
// password in any of its forms refused without being repeated.
#include "recordto.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>

namespace qx::service {

namespace {

const QString kPasswordRefused =
    QStringLiteral("a password does not go in the URL; put it in libpq's password "
                   "file (~/.pgpass, %APPDATA%\\postgresql\\pgpass.conf or PGPASSFILE)");

// A parameter's name that could carry a secret: libpq's password and sslpassword, psqlODBC's
// PWD, or a name with another parameter smuggled into it.
bool secretName(const QString& name)
{
    static const QRegularExpression kSecret(QStringLiteral("password|pwd"),
                                            QRegularExpression::CaseInsensitiveOption);
    return name.contains(kSecret);
}

// A value with such a parameter smuggled into it.
bool secretValue(const QString& value)
{
    static const QRegularExpression kSecret(QStringLiteral("(password|pwd)\\s*="),
                                            QRegularExpression::CaseInsensitiveOption);
    return value.contains(kSecret);
}

} // namespace

std::variant<Database, QString> parseRecordTo(const QString& url)
{
    Database d;
    d.url = url;
    const auto take = [&d](const QString& key, const QString& value) -> QString {
        // libpq's names are lower-case words: anything else may be a value in disguise.
        static const QRegularExpression kName(QStringLiteral("^[a-z_]{1,64}$"));
        if (secretName(key) || secretValue(value))
            return kPasswordRefused;
        if (!kName.match(key).hasMatch())
            return QStringLiteral("a parameter's name is lower-case letters and "
                                  "'_' only");
        // Values go into a connection string: nothing that could end one or start another.
        static const QRegularExpression kBad(QStringLiteral("[;'\\\\{}\\x00-\\x1f\\x7f]")),
            kSpace(QStringLiteral("\\s"));
        if (value.contains(kBad) || (key != QLatin1String("odbc_driver") && value.contains(kSpace)))
            return QStringLiteral("%1's value cannot hold spaces, quotes, braces or "
                                  "';'")
                .arg(key);
        if (key == QLatin1String("host"))
            d.host = value;
        else if (key == QLatin1String("port"))
            d.port = value.toInt();
        else if (key == QLatin1String("dbname"))
            d.name = value;
        else if (key == QLatin1String("user"))
            d.user = value;
        else if (key == QLatin1String("odbc_driver"))
            d.odbcDriver = value;
        else
            d.options << key + '=' + value;
        return {};
    };
    if (url.startsWith(QLatin1String("postgresql://")) ||
        url.startsWith(QLatin1String("postgres://"))) {
        // QUrl's own error text quotes the URL: it is never shown.
        const QUrl parsed(url, QUrl::StrictMode);
        if (!parsed.isValid())
            return QStringLiteral("not a postgresql://[user@]host[:port]/dbname "
                                  "URL");
        if (!parsed.password().isEmpty() || parsed.userInfo().contains(':'))
            return kPasswordRefused;
        const std::pair<QString, QString> parts[] = {
            {"host", parsed.host()}, {"user", parsed.userName()}, {"dbname", parsed.path().mid(1)}};
        for (const auto& [key, value] : parts)
            if (QString problem = take(key, value); !problem.isEmpty())
                return problem;
        d.port = parsed.port();
        for (const auto& [key, value] : QUrlQuery(parsed).queryItems(QUrl::FullyDecoded))
            if (QString problem = take(key, value); !problem.isEmpty())
                return problem;
    } else {
        for (const QString& pair : url.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) {
            const qsizetype at = pair.indexOf('=');
            if (at <= 0)
                return secretName(pair) ? kPasswordRefused
                                        : QStringLiteral("neither a postgresql:// URL nor "
                                                         "key=value pairs");
            if (QString problem = take(pair.left(at), pair.mid(at + 1)); !problem.isEmpty())
                return problem;
        }
    }
    if (d.host.isEmpty() && d.name.isEmpty() && d.options.isEmpty())
        return QStringLiteral("name a database");
    if (std::none_of(d.options.begin(), d.options.end(),
                     [](const QString& o) { return o.startsWith("connect_timeout="); }))
        d.options << QStringLiteral("connect_timeout=%1").arg(kConnectTimeoutS);
    return d;
}

QString Database::key() const
{
    QStringList named = options;
    named.removeIf(
        [](const QString& option) { return option.startsWith(QLatin1String("connect_timeout=")); });
    named.sort();
    const QString canonical =
        QStringList{host.toLower(), QString::number(port), name, user, odbcDriver, named.join(' ')}
            .join('\n');
    return QString::fromLatin1(
        QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha256).toHex().left(12));
}

} // namespace qx::service
