// Device text made inert wherever a person reads it.
#include "inert.h"

namespace qx {

namespace {
QString escaped(const QString& text, bool json)
{
    QString shown;
    shown.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            shown += c; // a whole pair
            shown += text[++i];
            continue;
        }
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            shown += c.unicode() <= 0xFF && !json
                         ? QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'))
                         : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            break;
        case QChar::Other_Surrogate: // no encoding holds half a character
            shown += QChar(QChar::ReplacementCharacter);
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

QString inert(const QByteArray& utf8)
{
    return escaped(QString::fromUtf8(utf8), false);
}

QString inertJson(const QString& json)
{
    return escaped(json, true);
}

} // namespace qx
