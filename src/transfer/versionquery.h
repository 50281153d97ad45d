// The version query's text rules: what Label1 shows, and when a reply is whole.
#pragma once

#include "transfer.h"

#include <QList>
#include <QRegularExpression>
#include <QString>

#include <algorithm>

namespace qx::transfer {

// The reply received so far, cut before its first ".bin" (case matters).
inline QString versionCaption(const QString& versionText)
{
    const qsizetype at = versionText.indexOf(QLatin1String(".bin"), 0, Qt::CaseSensitive);
    return at < 0 ? versionText : versionText.left(at);
}

// The device has said all it will: its file name, or a line of text. The window keeps
// collecting regardless; a query with a time limit (the command line) ends here.
inline bool versionReplyComplete(const QString& versionText)
{
    return versionText.contains(QLatin1String(".bin")) ||
           (!versionText.trimmed().isEmpty() &&
            (versionText.contains(QLatin1Char('\r')) || versionText.contains(QLatin1Char('\n'))));
}

// What a device's reply to the version command says of the firmware a package carries.
enum class Found
{
    Current,      // it names the package's file: this firmware already runs
    OtherVersion, // another QX-LP4R firmware file, not newer than the package's (or unreadable)
    Newer,        // a QX-LP4R firmware file of a later version than the package's
    OtherProduct, // a .bin file of another product: not a device this firmware is for
    Unknown,      // no file name at all
};

// The file the reply names: by the window's rule the text before the first ".bin", and of
// that its last word (a boot loader may say more before it); empty when there is none.
inline QString namedFile(const QString& versionText)
{
    if (!versionText.contains(QLatin1String(".bin"), Qt::CaseSensitive))
        return {};
    static const QRegularExpression kSpace(QStringLiteral("\\s+"));
    const QString name = versionCaption(versionText).trimmed().section(kSpace, -1);
    return name.isEmpty() ? QString() : name + QLatin1String(".bin");
}

// The version a firmware file's name carries, "QX-LP4R-V1.10.0.bin" → {1, 10, 0}, or empty
// when it carries none that can be read as numbers.
inline QList<qulonglong> versionNumbers(const QString& file)
{
    static const QRegularExpression kNamed(
        QStringLiteral("^%1(\\d{1,9}(?:\\.\\d{1,9})*)\\.bin$")
            .arg(QRegularExpression::escape(QLatin1String(package::kFirmwareNamePrefix))),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch named = kNamed.match(file);
    QList<qulonglong> numbers;
    if (named.hasMatch())
        for (const QString& part : named.captured(1).split(QLatin1Char('.')))
            numbers << part.toULongLong();
    return numbers;
}

// Whether `file` names a later version than `than`, number by number (1.10.0 is later than
// 1.9.0, 1.4 than 1.3.9); false where either version cannot be read.
inline bool isNewer(const QString& file, const QString& than)
{
    QList<qulonglong> a = versionNumbers(file), b = versionNumbers(than);
    if (a.isEmpty() || b.isEmpty())
        return false;
    while (a.size() < b.size())
        a << 0;
    while (b.size() < a.size())
        b << 0;
    return std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end());
}

// `packageFile` is the file the package's header names ("QX-LP4R-V1.4.0.bin").
inline Found judgeVersion(const QString& versionText, const QString& packageFile)
{
    const QString file = namedFile(versionText);
    if (file.isEmpty())
        return Found::Unknown;
    if (file == packageFile)
        return Found::Current;
    if (!file.startsWith(QLatin1String(package::kFirmwareNamePrefix), Qt::CaseInsensitive))
        return Found::OtherProduct;
    return isNewer(file, packageFile) ? Found::Newer : Found::OtherVersion;
}

} // namespace qx::transfer
