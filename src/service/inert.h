// Text that came from a device or an adapter, made safe for a terminal: nothing in it acts.
#pragma once

#include <QString>

namespace qx::service {

// Each control or format character (ESC, CR, DEL, the C1 codes a Latin-1 reading makes of bytes
// 0x80 to 0x9F, bidirectional overrides, line separators) becomes a visible escape such as
// \x1b or \u202e, so that a terminal shows what a device sent and obeys none of it.
QString inert(const QString& text);
// The same for a line of JSON: each such character becomes its \u escape, which a JSON reader
// reads back as the character.
QString inertJson(const QString& json);

} // namespace qx::service
