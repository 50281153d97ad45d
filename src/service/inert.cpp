// Device text made inert for standard output and error.
#include "inert.h"

namespace qx::service {

namespace {
QString escaped(const QString& text, bool json)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += c.unicode() <= 0xFF && !json
                         ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                         : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            break;
        default:
            shown += c;
        }
    }
    return shown;
}
} // namespace

QString inert(const QString& text)
{
    return escaped(text, false);
}

QString inertJson(const QString& json)
{
    return escaped(json, true);
}

} // namespace qx::service
