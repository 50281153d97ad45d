// A unit's serial number, scanned from its label or given on the command line: checked before
// it is bound to a device, and carried by that device's record line.
#pragma once

#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace qx::service {

// Letters, digits and the separators labels use; --serial-pattern gives another.
inline constexpr char kDefaultSerialPattern[] = "[A-Za-z0-9._/-]{4,40}";
// Whatever the pattern allows: a scanner that never sends Enter fills no record with it.
inline constexpr int kSerialMaxLength = 64;

// Why `serial` cannot be bound to a device, or empty: too long, not matching `pattern` whole,
// or pending already for another device (`pending`).
inline QString serialProblem(const QString& serial, const QString& pattern,
                             const QStringList& pending)
{
    if (serial.size() > kSerialMaxLength)
        return QStringLiteral("longer than %1 characters").arg(kSerialMaxLength);
    if (!QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(serial).hasMatch())
        return QStringLiteral("does not match %1").arg(pattern);
    if (pending.contains(serial))
        return QStringLiteral("is waiting for another device already");
    return {};
}

} // namespace qx::service
