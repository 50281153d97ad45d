// The bench window: a row per port of a bench, each updated by Start, from its context menu, or
// hands-free when it is plugged in; the station's served ports with a window on them.
#pragma once

#include "engine.h"
#include "station.h"
#include "texts.h"

#include <QHash>
#include <QWidget>

#include <memory>

namespace Ui {
class BenchWindow;
}
class QTreeWidgetItem;

namespace qx::ui {

class BenchWindow : public QWidget
{
    Q_OBJECT

public:
    enum Column
    {
        kPort,
        kDevice,
        kUnit,
        kProgress,
        kState,
        kLastOutcome,
    };

    // `policy`: the ports shown (every port without slots) and how they are served; a locked
    // profile's boxes are shown set and cannot be changed.
    explicit BenchWindow(service::Setup setup = {}, service::StationPolicy policy = {},
                         QWidget* parent = nullptr);
    ~BenchWindow() override;

    Ui::BenchWindow* form() const { return ui.get(); }
    // The row of a port as the user named it or the map lists it; null while it has none.
    QTreeWidgetItem* rowOf(const QString& name) const;
    const service::Station& ports() const { return ports_; }
    // The program is asked to end: what runs ends as interrupted, without asking first.
    void endNow() { ports_.interrupt(); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override; // the scan field has the keys whenever active

private slots:
    void on_startButton_clicked();
    void on_stopButton_clicked();
    void on_rows_customContextMenuRequested(const QPoint& at);
    void on_rows_itemChanged(QTreeWidgetItem* item, int column);
    void on_scan_returnPressed();

private:
    void heard(const service::StationEvent& event);
    void added(service::ServedPort& port);
    void appeared(service::ServedPort& port);
    void gone(service::ServedPort& port);
    void starting(service::ServedPort& port, transfer::Job job);
    void ended(service::ServedPort& port, const transfer::Outcome& outcome, bool failed);
    void showProgress(service::ServedPort& port);
    void setState(service::ServedPort& port, const QString& text, const QColor& colour = {});
    void start(service::ServedPort& port, transfer::Job job);
    service::ServedPort* portOf(const QTreeWidgetItem* row) const;
    void showCounters();
    void showUnit(service::ServedPort& port);
    void applyPolicy(); // what the boxes say, where the policy lets them change it
    QString text(const Text& pair) const;

    std::unique_ptr<Ui::BenchWindow> ui;
    service::Engine engine_;
    const service::Setup& setup_ = engine_.setup();
    service::Station ports_;
    QHash<service::ServedPort*, QTreeWidgetItem*> rows_;
    QString delivery_; // what the shared record last said
    QString notice_;   // why the last scan was refused
};

} // namespace qx::ui
