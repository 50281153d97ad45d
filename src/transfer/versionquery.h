// The version query's text rules: what Label1 shows, and when a reply is whole.
#pragma once

#include "transfer.h"

#include <QRegularExpression>
#include <QString>

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
    OtherVersion, // another QX-LP4R firmware file
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

// `packageFile` is the file the package's header names ("QX-LP4R-V1.4.0.bin").
inline Found judgeVersion(const QString& versionText, const QString& packageFile)
{
    const QString file = namedFile(versionText);
    if (file.isEmpty())
        return Found::Unknown;
    if (file == packageFile)
        return Found::Current;
    return file.startsWith(QLatin1String(package::kFirmwareNamePrefix), Qt::CaseInsensitive)
               ? Found::OtherVersion
               : Found::OtherProduct;
}

} // namespace qx::transfer
