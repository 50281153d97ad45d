// The version query's text rules: what Label1 shows, and when a reply is whole.
#pragma once

#include "transfer.h"

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

} // namespace qx::transfer
