// The bench window's handlers: rows follow the served ports, and each row shows what its port's
// session reports, in words as well as colour.
#include "benchwindow.h"

#include "diagnosticsdialog.h"
#include "inert.h"
#include "packageloader.h"
#include "settings.h"
#include "ui_benchwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QTime>

namespace qx::ui {

namespace t = qx::transfer;
namespace b = texts::bench;
using service::ServedPort;

namespace {
const QColor kRunning(0x1f, 0x4e, 0x9c), kDone(0x1b, 0x7a, 0x2e), kCurrent(0x0b, 0x60, 0x6b),
    kFailed(0xb0, 0x1c, 0x1c);

bool failedLast(const ServedPort& port)
{
    return port.lastOutcome() && port.lastOutcome()->failed();
}
} // namespace

BenchWindow::BenchWindow(service::Setup setup, service::StationPolicy policy, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::BenchWindow>()), engine_(std::move(setup)),
      ports_(engine_.package(), engine_.record(),
             {.devices = setup_.devices, .policy = [&] {
                  policy.settleMs = setup_.settleMs; // the surroundings' (a test's) settle time
                  return std::move(policy);
              }()})
{
    ui->setupUi(this);
    const service::StationPolicy& served = ports_.policy();
    setWindowTitle(
        texts::titleOf(b::kTitle, setup_.languageFlag, package::embeddedIsTestPayload()) +
        (served.profile ? " - " + inert(served.profile->shown()) : QString()));
    ui->startButton->setText(text(b::kStart) + QStringLiteral(" (F5)"));
    ui->stopButton->setText(text(b::kStop) + QStringLiteral(" (Esc)"));
    ui->startButton->setShortcut(Qt::Key_F5);
    ui->stopButton->setShortcut(Qt::Key_Escape);
    ui->handsFree->setText(text(b::kHandsFree));
    ui->skipCurrent->setText(text(b::kSkipCurrent));
    ui->verify->setText(text(b::kVerify));
    ui->scanLabel->setText(text(b::kScanLabel));
    // The scan field holds the focus all day: its cursor stays still, so an idle bench repaints
    // nothing.
    QApplication::setCursorFlashTime(0);
    ui->requireSerial->setText(text(b::kRequireSerial));
    ui->keepTraces->setText(text(texts::kTraceEveryJob));
    QStringList headers;
    for (const Text& column : b::kColumns)
        headers << text(column);
    ui->rows->setHeaderLabels(headers);
    ui->rows->setColumnWidth(kPort, 90);
    ui->rows->setColumnWidth(kDevice, 230);
    ui->rows->setColumnWidth(kUnit, 140);
    ui->rows->setColumnWidth(kProgress, 130);
    ui->rows->setColumnWidth(kState, 400);

    const bool loaded = engine_.loadPackage();
    if (!loaded) { // nothing can be sent: say so where Start would be
        ui->startButton->setEnabled(false);
        ui->counters->setText(text(texts::kDamaged));
    } else {
        showCounters();
    }

    connect(&ports_, &service::Station::event, this, &BenchWindow::heard);
    if (service::SharedRecord* shared = engine_.shared())
        connect(shared, &service::SharedRecord::said, this, [this](const QString& said) {
            delivery_ = said;
            showCounters();
        });
    // Each box shows its setting as the table says, fixed where the profile locks it.
    for (QCheckBox* box : findChildren<QCheckBox*>()) {
        const service::Setting* setting = service::settingOfControl(box->objectName());
        if (!setting)
            continue;
        const service::BoxState state = service::boxState(*setting, served);
        box->setChecked(state.checked && (loaded || box != ui->handsFree));
        box->setEnabled(state.enabled);
        connect(box, &QCheckBox::toggled, this, &BenchWindow::applyPolicy);
    }
    applyPolicy();
    ports_.start();
}

BenchWindow::~BenchWindow() = default;

QString BenchWindow::text(const Text& pair) const
{
    return pick(pair, setup_.languageFlag);
}

QTreeWidgetItem* BenchWindow::rowOf(const QString& name) const
{
    for (auto it = rows_.begin(); it != rows_.end(); ++it)
        if (it.key()->name() == name && !it.value()->isHidden())
            return it.value();
    return nullptr;
}

// ---- Rows follow the ports -----------------------------------------------------------------

void BenchWindow::heard(const service::StationEvent& event)
{
    using E = service::StationEvent;
    switch (event.kind) {
    case E::PortAdded:
        return added(*event.port);
    case E::PortAppeared:
        return appeared(*event.port);
    case E::PortGone:
        return gone(*event.port);
    case E::JobStarting:
        return starting(*event.port, event.job);
    case E::SerialWanted:
        return setState(*event.port, text(b::kScanLabelNow), kRunning);
    case E::Advanced:
        return showProgress(*event.port);
    case E::JobEnded:
        return ended(*event.port, *event.outcome, event.failed);
    case E::RecordProblem:
        return qWarning("%s", qPrintable(event.said));
    case E::Checking:
    case E::Transferring:
    case E::VersionRead:
        return;
    }
}

void BenchWindow::added(ServedPort& port)
{
    auto* row = new QTreeWidgetItem(ui->rows);
    row->setHidden(true);
    rows_[&port] = row;
    // Ports named on the command line are served, and of the machine's, USB adapters: not
    // the ports built into it.
    port.setChosen(!ports_.policy().portSlots.isEmpty() || !serial::isBuiltIn(port.entry()));
    {
        const QSignalBlocker quiet(ui->rows);
        row->setCheckState(kPort, port.chosen() ? Qt::Checked : Qt::Unchecked);
    }
    auto* bar = new QProgressBar;
    bar->setRange(0, port.stepCount());
    bar->setValue(0);
    ui->rows->setItemWidget(row, kProgress, bar);
}

void BenchWindow::starting(ServedPort& port, t::Job job)
{
    showUnit(port);
    qobject_cast<QProgressBar*>(ui->rows->itemWidget(rows_[&port], kProgress))->setValue(0);
    setState(port, text(job == t::Job::Update ? b::kUpdating : b::kAsking), kRunning);
}

void BenchWindow::appeared(ServedPort& port)
{
    QTreeWidgetItem* row = rows_[&port];
    // As the user named it: ports outside the machine's map would all read the same number.
    row->setText(kPort, ports_.policy().portSlots.isEmpty() ? port.entry().portName
                                                            : ports_.policy().slotOf(port.name()));
    row->setText(kDevice, serial::deviceText(port.entry().device));
    row->setToolTip(kDevice, plainToolTip(serial::portToolTip(port.entry())));
    row->setHidden(false);
    showUnit(port); // hands-free, the next scan is this device's
    if (!port.running())
        setState(port,
                 text(port.plug() == ServedPort::Plug::Settling ? b::kSettling : b::kWaiting));
}

void BenchWindow::gone(ServedPort& port)
{
    // A row that shows a failure (a cable pulled mid-update: a lost line) keeps it in view
    // until its port returns; the others go with their ports.
    QTreeWidgetItem* row = rows_[&port];
    row->setHidden(!port.running() && !failedLast(port));
}

// ---- What runs on a row ----------------------------------------------------------------------

void BenchWindow::showProgress(ServedPort& port)
{
    qobject_cast<QProgressBar*>(ui->rows->itemWidget(rows_[&port], kProgress))
        ->setValue(port.steps());
}

void BenchWindow::setState(ServedPort& port, const QString& state, const QColor& colour)
{
    QTreeWidgetItem* row = rows_[&port];
    row->setText(kState, state);
    row->setToolTip(kState, plainToolTip(state));
    row->setForeground(kState, colour.isValid() ? QBrush(colour) : QBrush());
}

void BenchWindow::ended(ServedPort& port, const t::Outcome& outcome, bool failed)
{
    const bool current = outcome.result == t::Outcome::Current;
    setState(port, outcomeWords(outcome, texts::kOutcomeRow, setup_.languageFlag),
             current  ? kCurrent
             : failed ? kFailed
                      : kDone);
    rows_[&port]->setText(kLastOutcome, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
    if (outcome.job == t::Job::Update) // recorded with it: the unit's part is over
        rows_[&port]->setText(kUnit, QString());
    showCounters();
}

void BenchWindow::showUnit(ServedPort& port)
{
    rows_[&port]->setText(kUnit, service::inertField(port.unitSerial()));
}

void BenchWindow::showCounters()
{
    const service::Tally& tally = ports_.tally();
    const service::StationPolicy& served = ports_.policy();
    ui->counters->setText(
        text(b::kCounters).arg(tally.updated).arg(tally.current).arg(tally.failedUpdates) +
        (served.locked() ? "   " + text(b::kLocked).arg(inert(served.profile->shown()))
                         : QString()) +
        (delivery_.isEmpty() ? QString() : "   " + delivery_) +
        (notice_.isEmpty() ? QString() : "   " + notice_));
}

void BenchWindow::start(ServedPort& port, t::Job job)
{
    if (port.plug() == ServedPort::Plug::Absent || port.running() ||
        (job == t::Job::Update && !engine_.packageLoaded()))
        return;
    port.start(job);
}

// ---- Controls ------------------------------------------------------------------------------

void BenchWindow::on_startButton_clicked()
{
    for (ServedPort* port : ports_.ports())
        if (port->chosen())
            start(*port, t::Job::Update);
}

void BenchWindow::on_stopButton_clicked()
{
    ports_.interrupt();
}

// The boxes apply to each update that starts from now on (hands-free: the ports already
// present stay as they are); the settings without a box stay as given.
void BenchWindow::applyPolicy()
{
    service::StationPolicy policy = ports_.policy();
    for (const QCheckBox* box : findChildren<QCheckBox*>())
        if (const service::Setting* setting = service::settingOfControl(box->objectName()))
            service::setByBox(*setting, policy, box->isChecked());
    ports_.setPolicy(policy);
}

// A scan, or a serial typed and Enter: the served ports say which device it goes to, and the
// status line says so. One refused is said there, with a beep, and bound to nothing.
void BenchWindow::on_scan_returnPressed()
{
    const QString serial = ui->scan->text().trimmed();
    ui->scan->clear();
    if (serial.isEmpty())
        return;
    const service::Scan scan = ports_.scan(serial, portOf(ui->rows->currentItem()));
    const QString shown = service::inertField(serial);
    switch (scan.went) {
    case service::Scan::Bound:
        notice_ = text(b::kSerialBound).arg(shown, rows_[scan.port]->text(kPort));
        showUnit(*scan.port);
        break;
    case service::Scan::Queued:
        notice_ = text(b::kSerialQueued).arg(shown);
        break;
    case service::Scan::Refused:
        notice_ = text(b::kSerialRefused).arg(shown, scan.problem);
        break;
    case service::Scan::NoDevice:
        notice_ = text(b::kSelectRow);
        break;
    }
    showCounters();
    if (scan.went == service::Scan::Refused || scan.went == service::Scan::NoDevice)
        QApplication::beep();
}

void BenchWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        ui->scan->setFocus();
}

ServedPort* BenchWindow::portOf(const QTreeWidgetItem* row) const
{
    for (auto it = rows_.begin(); it != rows_.end(); ++it)
        if (it.value() == row)
            return it.key();
    return nullptr;
}

void BenchWindow::on_rows_itemChanged(QTreeWidgetItem* item, int column)
{
    if (ServedPort* port = portOf(item); port && column == kPort)
        port->setChosen(item->checkState(kPort) == Qt::Checked);
}

void BenchWindow::on_rows_customContextMenuRequested(const QPoint& at)
{
    // From the mouse, the row under it; from the keyboard's menu key, the current row.
    QTreeWidgetItem* row = ui->rows->itemAt(at) ? ui->rows->itemAt(at) : ui->rows->currentItem();
    ServedPort* port = portOf(row);
    if (!port)
        return;
    QMenu menu(this);
    const bool idle = port->plug() != ServedPort::Plug::Absent && !port->running();
    menu.addAction(text(b::kUpdateThis), this, [this, port] { start(*port, t::Job::Update); })
        ->setEnabled(idle && engine_.packageLoaded());
    menu.addAction(text(b::kAskVersion), this, [this, port] { start(*port, t::Job::Query); })
        ->setEnabled(idle);
    menu.addAction(text(texts::kSaveDiagnostics), this,
                   [this, port] { saveDiagnostics(this, *port, setup_.languageFlag); })
        ->setEnabled(!port->running() && !port->diagnostics().isEmpty());
    menu.exec(ui->rows->viewport()->mapToGlobal(ui->rows->visualItemRect(row).center()));
}

void BenchWindow::closeEvent(QCloseEvent* event)
{
    const int running = ports_.running();
    if (running && QMessageBox::question(this, text(b::kTitle), text(b::kCloseRunning).arg(running),
                                         QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    ports_.interrupt(); // each recorded as interrupted
    event->accept();
}

} // namespace qx::ui
