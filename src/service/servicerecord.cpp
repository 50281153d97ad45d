// The service record's lines and the file they go to.
#include "servicerecord.h"

#include "inert.h"
#include "sharedrecord.h"

#include "packageloader.h"
#include "platform.h"
#include "version.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryFile>

#include <cstdlib>

namespace qx::service {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr int kOtherNames = 9; // service-record (2).csv .. (10).csv beside a foreign file

// A field of an inert line (recordFields made it so) as RFC 4180 has it.
QString field(QString text)
{
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')))
        return '"' + text.replace(QLatin1String("\""), QLatin1String("\"\"")) + '"';
    return text;
}

QByteArray line(const QStringList& fields)
{
    QStringList quoted;
    for (const QString& f : fields)
        quoted << field(f);
    return quoted.join(QLatin1Char(',')).toUtf8() + "\r\n";
}

QString candidate(const QString& folder, int index)
{
    return folder + '/' +
           (index == 1 ? QString::fromLatin1(kRecordFileName)
                       : QStringLiteral("service-record (%1).csv").arg(index));
}

// This program's record is a regular file that begins with the header line, whatever follows.
// Anything else in its place (a FIFO, a device, a link to one) is not opened at all: reading it
// could wait for ever. A file that cannot be read just now (a spreadsheet holds it without
// sharing, its mode denies us) is not known to be anyone else's.
enum class Owner
{
    Us,
    Other,
    Unreadable,
};
struct Found
{
    Owner owner = Owner::Other;
    QString why; // Unreadable: the reason
};
Found ownerOf(const QString& path)
{
    if (!QFileInfo(path).isFile())
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {Owner::Unreadable, file.errorString()};
    // Lines with more columns go on below a header of fewer (columns only ever come at the
    // end), which is left as it is.
    const QByteArray start = file.read(recordHeader().size());
    for (int columns = kFirstRecordColumnCount; columns <= kRecordColumnCount; ++columns)
        if (start.startsWith(recordHeader(columns)))
            return {Owner::Us, {}};
    return {};
}

} // namespace

QString inertField(const QString& text)
{
    QString field = inert(text);
    // A spreadsheet skips leading blanks before it looks for a formula.
    const QString start = field.trimmed().left(1);
    if (!start.isEmpty() && QStringLiteral("=+-@").contains(start))
        field.prepend(QLatin1Char('\''));
    return field;
}

QString recordFolderProblem(const QString& folder)
{
    const QString named = inert(QDir::toNativeSeparators(folder));
    if (!QDir::isAbsolutePath(folder))
        return QStringLiteral("no record folder ('%1'): give one with --record-folder").arg(named);
    if (!QDir().mkpath(folder))
        return QStringLiteral("the record folder %1 cannot be made: give a writable one with "
                              "--record-folder")
            .arg(named);
    QTemporaryFile probe(folder + QStringLiteral("/.qx-write-test-XXXXXX"));
    if (!probe.open())
        return QStringLiteral("the record folder %1 cannot be written (%2): give a writable one "
                              "with --record-folder")
            .arg(named, inert(probe.errorString()));
    return {};
}

QString outcomeName(const transfer::Outcome& outcome)
{
    switch (outcome.result) {
    case transfer::Outcome::Success:
        return QStringLiteral("success");
    case transfer::Outcome::Current:
        return QStringLiteral("current");
    case transfer::Outcome::Failure:
    case transfer::Outcome::Ended:
        break;
    }
    return QStringLiteral("failure");
}

QByteArray recordHeader(int columns)
{
    QStringList names;
    for (int i = 0; i < columns; ++i)
        names << QString::fromLatin1(kRecordColumns[i].name);
    return kBom + line(names);
}

QString firmwareSha256(const package::Package& package)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    const std::string sizeText = package::headerFields(package.headerPacket).sizeText;
    std::size_t left = std::strtoull(sizeText.c_str(), nullptr, 10); // digits, or nothing
    for (std::size_t at = 0; at + package::kDataPacketSize <= package.packageData.size() && left;
         at += package::kDataPacketSize) {
        const std::size_t n = std::min(left, package::kDataBlockSize);
        hash.addData(QByteArrayView(package.packageData.data() + at + 3, qsizetype(n)));
        left -= n;
    }
    return QString::fromLatin1(hash.result().toHex());
}

QByteArray recordLine(const QStringList& fields)
{
    return line(fields);
}

QStringList recordLineFields(const QByteArray& bytes)
{
    const QString text = QString::fromUtf8(bytes).chopped(bytes.endsWith("\r\n") ? 2 : 0);
    QStringList fields{QString()};
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('"') && quoted && i + 1 < text.size() && text[i + 1] == c)
            fields.last() += text[++i]; // "" within quotes
        else if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if (c == QLatin1Char(',') && !quoted)
            fields << QString();
        else
            fields.last() += c;
    }
    return fields;
}

QStringList recordFields(const transfer::Outcome& outcome, const RecordContext& context)
{
    const bool update = outcome.job == transfer::Job::Update;
    QString file, size, sha;
    if (update && context.package) {
        const auto fields = package::headerFields(context.package->headerPacket);
        file = QString::fromStdString(fields.fileName);
        size = QString::fromStdString(fields.sizeText);
        sha = context.firmwareSha256.isEmpty() ? firmwareSha256(*context.package)
                                               : context.firmwareSha256;
    }
    const QDateTime started = outcome.started.toOffsetFromUtc(outcome.started.offsetFromUtc());
    QStringList fields{started.toString(Qt::ISODate),
                       QString::number(outcome.seconds, 'f', 3),
                       QSysInfo::machineHostName(),
                       platform::userName(),
                       context.port,
                       context.device,
                       update ? "update" : "version query",
                       file,
                       size,
                       sha,
                       package::embeddedIsTestPayload() ? "yes" : "no",
                       outcomeName(outcome),
                       QString::fromStdString(outcome.reason),
                       update ? QString() : outcome.version,
                       QStringLiteral(QX_VERSION),
                       outcome.before,
                       outcome.after,
                       context.unitSerial,
                       context.slot,
                       context.profile,
                       context.trace};
    for (QString& field : fields)
        field = inertField(std::move(field));
    return fields;
}

QString ServiceRecord::add(const QStringList& fields)
{
    const QString said = append(line(fields));
    if (shared_) // after the journal has it
        shared_->add(fields, writtenTo_, writtenFrom_);
    return said;
}

ServiceRecord::ServiceRecord(QString folder) : folder_(std::move(folder)) {}

ServiceRecord::~ServiceRecord()
{
    if (pending_.isEmpty())
        return;
    said_.clear();
    const QString said = append(QByteArray());
    if (!pending_.isEmpty()) // the program ends: the lines go where the user can still see them
        qWarning("%s; these lines were not written:\n%s", qPrintable(said), pending_.constData());
}

QString ServiceRecord::append(const QByteArray& line)
{
    pending_ += line;
    QString path, foreign, problem;
    for (int index = 1;
         index <= 1 + kOtherNames && path.isEmpty() && problem.isEmpty() && QDir().mkpath(folder_);
         ++index) {
        const QString at = candidate(folder_, index);
        if (!QFile::exists(at))
            platform::createWith(at, recordHeader());
        const Found found = QFile::exists(at) ? ownerOf(at) : Found{};
        if (found.owner == Owner::Us)
            path = at;
        else if (found.owner == Owner::Unreadable)
            problem =
                QStringLiteral("cannot read %1: %2").arg(QDir::toNativeSeparators(at), found.why);
        else if (QFile::exists(at) && foreign.isEmpty())
            foreign = at;
    }
    if (problem.isEmpty() && path.isEmpty())
        problem = QStringLiteral("no record file can be made in %1")
                      .arg(QDir::toNativeSeparators(folder_));
    writtenTo_.clear();
    if (problem.isEmpty()) {
        const qint64 from = QFileInfo(path).size();
        if (const QString error = platform::appendWhole(path, pending_); error.isEmpty()) {
            pending_.clear();
            writtenTo_ = path;
            writtenFrom_ = from;
        } else
            problem =
                QStringLiteral("cannot write %1: %2").arg(QDir::toNativeSeparators(path), error);
    }

    QStringList message;
    if (!foreign.isEmpty())
        message << QStringLiteral("%1 is not this program's record, so it is left alone%2")
                       .arg(QDir::toNativeSeparators(foreign),
                            path.isEmpty()
                                ? QString()
                                : ", and the record goes to " + QDir::toNativeSeparators(path));
    if (!problem.isEmpty())
        message << problem + "; the line is kept and written with the next one";
    const QString said = message.join(QLatin1String("; "));
    if (said == said_)
        return QString();
    said_ = said;
    return said.isEmpty() ? QString() : "qx-lp4r-updater: service record: " + said;
}

} // namespace qx::service
