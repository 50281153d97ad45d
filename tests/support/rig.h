// A test rig: the real Form1 with a pty in its device map, the boot-loader simulator on the
// other end, and message boxes closed as a user would.
#pragma once

#include "bootloader.h"
#include "form1.h"
#include "messageboxes.h"
#include "pseudoterminal.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>

template <typename W = QWidget> W* control(const QWidget* form, const char* name)
{
    return form->findChild<W*>(QString::fromLatin1(name));
}

// Runs the event loop until `done` holds; unlike QTest::qWaitFor it does not sleep between
// rounds, so a transfer runs at the speed it would under QApplication::exec().
template <typename Pred> bool waitFor(Pred done, int timeoutMs = 30000)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    check.start(1);
    loop.exec();
    return done();
}

inline void click(const QWidget* form, const char* name)
{
    auto* button = control<QPushButton>(form, name);
    QTest::mouseClick(button, Qt::LeftButton);
}

struct Rig
{
    explicit Rig(int expectedPackets = 372, Form1Setup setup = {}) : sim(pty, expectedPackets)
    {
        setup.devices = ptySource({&pty});
        form = std::make_unique<Form1>(std::move(setup));
        form->show();
    }

    QPushButton* button(const char* name) const { return control<QPushButton>(form.get(), name); }
    void click(const char* name) const { ::click(form.get(), name); }
    bool enabled(const char* name) const { return control(form.get(), name)->isEnabled(); }

    // Connect; true if the window shows the connected state.
    bool connectPort()
    {
        click("Command4");
        return form->comm().portOpen() && enabled("Command1");
    }

    // The window is idle after a transfer: no box open, Update usable again.
    bool idle() const
    {
        return form->commMode == 0 && !boxes.anyOpen() && !form->tmrSend.isActive() &&
               !form->tmrOvertime.isActive();
    }

    // Update, then wait for the single outcome.
    bool update(int timeoutMs = 30000)
    {
        const int before = boxes.count();
        click("Command1");
        return waitFor([&] { return boxes.count() > before && idle(); }, timeoutMs);
    }

    Pty pty;
    BootLoader sim;
    MessageBoxes boxes;
    std::unique_ptr<Form1> form;
};
