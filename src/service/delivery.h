// The delivering process, the only place any SQL runs: the program started again with
// kDeliverOption and the folder, and --record-to. It delivers what waits each time a line
// comes in on standard input, answers each with one JSON line on standard output
// ({"waiting": n, "why": "...", "refused": n, "refusedWhy": "..."}; lines waiting without a
// why: there is more, ask again) and ends at the end of its input.
#pragma once

#include "recordto.h"

#include <QString>

namespace qx::service {

inline constexpr char kDeliverOption[] = "--deliver-record";
int serveDeliveries(const QString& folder, const Database& database);

} // namespace qx::service
