// The status bar clock's text: "hh:mm:ss", 24 hours, with the locale's time separator.
#pragma once

#include <QChar>
#include <QLocale>
#include <QString>
#include <QTime>

namespace qx::ui {

inline QString clockText(const QTime& time, QChar separator)
{
    const auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    return two(time.hour()) + separator + two(time.minute()) + separator + two(time.second());
}

// The first character between the hour and the minute fields of the locale's time format.
inline QChar timeSeparator(const QLocale& locale)
{
    const QString format = locale.timeFormat(QLocale::ShortFormat);
    for (qsizetype i = 0; i + 1 < format.size(); ++i) {
        const QChar c = format.at(i);
        if ((c == 'h' || c == 'H') && format.at(i + 1) != c) {
            const QChar next = format.at(i + 1);
            if (!next.isLetter() && next != '\'')
                return next;
        }
    }
    return QLatin1Char(':');
}

} // namespace qx::ui
