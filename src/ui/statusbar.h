// MSBar: a four-panel status bar placed like any other control. Panel 2 shows the date by
// itself and turns it over at midnight.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QTimer>

#include <array>

class StatusBar : public QFrame
{
    Q_OBJECT

public:
    static constexpr int kPanelCount = 4;
    static constexpr int kPanelWidth = 96; // 1440 twips, panels 1 to 3; panel 4 takes the rest

    explicit StatusBar(QWidget* parent = nullptr);

    // Panels are counted from 1, as the window's code counts them.
    QLabel* panel(int index) const { return panels_.at(static_cast<std::size_t>(index - 1)); }
    QString panelText(int index) const { return panel(index)->text(); }
    void setPanelText(int index, const QString& text) { panel(index)->setText(text); }

private:
    void showDate();

    std::array<QLabel*, kPanelCount> panels_{};
    QTimer midnight_;
};
