// The serial-port layer on a real pseudo-terminal: line settings on the wire side, the
// receive threshold, open failures, and a line that hangs up.
#include "commport.h"
#include "pseudoterminal.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace qx::serial;

namespace {

void openAtLineSettings(CommPort& port)
{
    port.setCommPort(97);
    port.setSettings("57600,N,8,1");
    port.setPortOpen(true);
    port.setHandshaking(CommPort::Handshaking::None);
    port.setDtrEnable(true);
}

void masterWrite(const Pty& pty, const QByteArray& bytes)
{
    QCOMPARE(::write(pty.masterFd(), bytes.constData(), size_t(bytes.size())),
             ssize_t(bytes.size()));
}

} // namespace

class TestCommPort : public QObject
{
    Q_OBJECT

private slots:
    void opensAtTheLineSettings()
    {
        Pty pty;
        CommPort port(ptySource({&pty}));
        openAtLineSettings(port); // DTR on a pty is unsupported, and that is no failure
        QVERIFY(port.portOpen());
        const int fd = ::open(pty.slavePath().toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(::cfgetospeed(&tio), speed_t(B57600));
        QCOMPARE(::cfgetispeed(&tio), speed_t(B57600));
        QCOMPARE(tio.c_cflag & CSIZE, tcflag_t(CS8));
        QVERIFY(!(tio.c_cflag & PARENB));
        QVERIFY(!(tio.c_cflag & CSTOPB));
        QVERIFY(!(tio.c_cflag & CRTSCTS));
        QVERIFY(!(tio.c_iflag & (IXON | IXOFF)));
        port.setPortOpen(false);
        QVERIFY(!port.portOpen());
    }

    void writesExactlyTheBytes()
    {
        Pty pty;
        CommPort port(ptySource({&pty}));
        openAtLineSettings(port);
        const std::vector<std::uint8_t> bytes{0x01, 0x00, 0xFF, 0x0A, 0x0D, 0x11, 0x13};
        port.output(bytes);
        port.output(QStringLiteral("2"));
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] {
            char buf[64];
            const ssize_t n = ::read(pty.masterFd(), buf, sizeof buf);
            if (n > 0)
                got.append(buf, n);
            return got.size() >= 8;
        }));
        QCOMPARE(got, QByteArray("\x01\x00\xFF\x0A\x0D\x11\x13"
                                 "2",
                                 8));
    }

    void eventAtTheThresholdOnly()
    {
        Pty pty;
        CommPort port(ptySource({&pty}));
        openAtLineSettings(port);
        QSignalSpy events(&port, &CommPort::commEvent);

        masterWrite(pty, "CCC"); // threshold 0: never an event
        QTest::qWait(100);
        QCOMPARE(events.count(), 0);
        port.clearReceive();

        port.setRThreshold(2);
        masterWrite(pty, "\x06");
        QTest::qWait(100);
        QCOMPARE(events.count(), 0);
        masterWrite(pty, "C");
        QVERIFY(events.wait(2000));
        QCOMPARE(events.first().first().toInt(), CommPort::comEvReceive);
        port.setInputMode(CommPort::InputMode::Binary);
        QCOMPARE(std::get<QByteArray>(port.input()), QByteArray("\x06"
                                                                "C"));
        QTest::qWait(50);
        QCOMPARE(events.count(), 1);

        port.setInputMode(CommPort::InputMode::Text);
        port.setRThreshold(1);
        masterWrite(pty, "QX\xE9");
        QVERIFY(events.wait(2000));
        QCOMPARE(std::get<QString>(port.input()), QString::fromLatin1("QX\xE9"));
    }

    void clearReceiveDiscardsWaitingBytes()
    {
        Pty pty;
        CommPort port(ptySource({&pty}));
        openAtLineSettings(port);
        masterWrite(pty, "CCCC");
        QTest::qWait(50);
        port.clearReceive();
        port.setInputMode(CommPort::InputMode::Binary);
        QCOMPARE(std::get<QByteArray>(port.input()), QByteArray());
    }

    void missingPort()
    {
        CommPort port([] { return QList<SerialDevice>{{"/dev/ttyUSB9", {}, {}}}; });
        port.setCommPort(5);
        try {
            port.setPortOpen(true);
            QFAIL("opened");
        } catch (const CommError& e) {
            QVERIFY2(e.description().contains("COM5"), qPrintable(e.description()));
        }
        port.setCommPort(42); // in the map, but no such device on this machine
        try {
            port.setPortOpen(true);
            QFAIL("opened");
        } catch (const CommError& e) {
            QVERIFY2(e.description().contains("COM42"), qPrintable(e.description()));
        }
        QVERIFY(!port.portOpen());
    }

    void busyPort()
    {
        Pty pty;
        QSerialPort holder(pty.slavePath());
        QVERIFY(holder.open(QIODevice::ReadWrite));
        CommPort port(ptySource({&pty}));
        port.setCommPort(97);
        try {
            port.setPortOpen(true);
            QFAIL("opened a held port");
        } catch (const CommError& e) {
            QVERIFY2(e.description().contains("in use"), qPrintable(e.description()));
        }
        QVERIFY(!port.portOpen());
        holder.close();
        port.setPortOpen(true);
        QVERIFY(port.portOpen());
    }

    void operationsOnAClosedPortFail()
    {
        CommPort port([] { return QList<SerialDevice>{}; });
        QVERIFY_THROWS_EXCEPTION(CommError, port.clearReceive());
        QVERIFY_THROWS_EXCEPTION(CommError, port.output(QStringLiteral("2")));
        QVERIFY_THROWS_EXCEPTION(CommError, port.setDtrEnable(true));
    }

    void hangUpClosesThePortOnce()
    {
        Pty pty;
        CommPort port(ptySource({&pty}));
        openAtLineSettings(port);
        port.setRThreshold(1);
        QSignalSpy lost(&port, &CommPort::linkLost);
        QSignalSpy errors(&port.device(), &QSerialPort::errorOccurred);
        pty.hangUp();
        QVERIFY(lost.wait(2000));
        QVERIFY(!port.portOpen());
        QTest::qWait(300);
        QCOMPARE(lost.count(), 1);
        QVERIFY2(errors.count() <= 3, qPrintable(QString::number(errors.count())));
    }
};

QTEST_GUILESS_MAIN(TestCommPort)
#include "tst_commport.moc"
