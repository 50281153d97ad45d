// Text that came from a device, an adapter or a file, made safe for whoever reads it: one rule
// for standard output and error, --explain, the diagnostics file and the service record.
#pragma once

#include <QByteArray>
#include <QString>

namespace qx {

// Each control or format character (ESC, CR, NUL, DEL, the C1 codes a Latin-1 reading makes of
// bytes 0x80 to 0x9F, bidirectional overrides, line separators) becomes a visible escape such
// as \x1b or \u202e, and half a surrogate pair becomes U+FFFD, so that a terminal, a
// spreadsheet or a database shows what came and obeys none of it. Letters of any script stay.
QString inert(const QString& text);
// The same for bytes read as UTF-8: an invalid sequence becomes U+FFFD.
QString inert(const QByteArray& utf8);
// The same for a line of JSON: each such character becomes its \u escape, which a JSON reader
// reads back as the character.
QString inertJson(const QString& json);

} // namespace qx
