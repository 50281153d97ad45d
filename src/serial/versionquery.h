// The version query's text rules: the command, the reply limit, and what Label1 shows.
#pragma once

#include <QString>

namespace qx::serial {

inline constexpr char kVersionCommand[] = "2";
inline constexpr int kVersionReplyLimit = 300; // receive events one query handles

// The reply received so far, cut before its first ".bin" (case matters).
inline QString versionCaption(const QString& versionText)
{
    const qsizetype at = versionText.indexOf(QLatin1String(".bin"), 0, Qt::CaseSensitive);
    return at < 0 ? versionText : versionText.left(at);
}

} // namespace qx::serial
