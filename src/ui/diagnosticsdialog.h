// "Save diagnostics...", as both windows offer it for a port's last job.
#pragma once

#include "servedport.h"

class QWidget;

namespace qx::ui {

// Asks where, then writes the port's diagnostics there; a refusal is shown in a box.
void saveDiagnostics(QWidget* parent, const service::ServedPort& port, quint8 languageFlag);

} // namespace qx::ui
