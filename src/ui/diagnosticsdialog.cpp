// The file dialog and the box around the service layer's diagnostics.
#include "diagnosticsdialog.h"

#include "diagnostics.h"
#include "texts.h"

#include <QFileDialog>
#include <QMessageBox>

namespace qx::ui {

void saveDiagnostics(QWidget* parent, const service::ServedPort& port, quint8 languageFlag)
{
    const QByteArray text = port.diagnostics();
    const QString path = QFileDialog::getSaveFileName(
        parent, pick(texts::kSaveDiagnostics, languageFlag), port.diagnosticsFile(),
        pick(texts::kDiagnosticsFiles, languageFlag));
    if (path.isEmpty())
        return;
    if (const QString problem = service::saveDiagnostics(path, text); !problem.isEmpty())
        QMessageBox::warning(parent, pick(texts::kSaveDiagnostics, languageFlag),
                             pick(texts::kDiagnosticsNotSaved, languageFlag).arg(problem));
}

} // namespace qx::ui
