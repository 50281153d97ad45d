// How a face hears that the process is asked to end, from outside or by the session.
#pragma once

#include "platform.h"

#include <functional>

namespace qx::ui {

// Every way the process can be asked to end runs `end` at once, which ends what runs as
// interrupted, records it and closes the ports: SIGTERM, SIGHUP and Ctrl+C (then the program
// exits), and on Windows the session ending, told first by WM_QUERYENDSESSION and then by
// WM_ENDSESSION, inside which Qt says aboutToQuit: the process may be gone once it returns.
// Heard for as long as `requests` lives.
void endOnRequest(platform::InterruptWatcher& requests, const std::function<void()>& end);

} // namespace qx::ui
