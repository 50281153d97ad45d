// Seeded random device behaviour against the transfer: many scripts against the pure state
// machine, and a few hundred through the real window and a pty. A failing seed is printed.
#include "packageformat.h"
#include "rig.h"
#include "transfer.h"

#include <QtTest>

#include <random>

using namespace qx;
using BL = BootLoader;

namespace {

struct Firmware
{
    std::string name = "QX-LP4R-V1.3.7.bin";
    std::string sizeText;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> package;
    int packets = 0;
};

Firmware randomFirmware(std::mt19937& rng, int packets)
{
    Firmware f;
    const std::size_t size =
        packets == 0 ? 0 : (packets - 1) * 1024 + 1 + rng() % 1024; // last block partly filled
    f.payload.resize(size);
    for (auto& b : f.payload)
        b = std::uint8_t(rng());
    f.sizeText = std::to_string(size);
    f.package = package::buildPackage(f.name, f.sizeText, f.payload);
    f.packets = packets;
    return f;
}

// What the receiver must get, from `first` state on: menu byte, header, packets, EOT, end.
std::vector<std::uint8_t> wholeStream(const package::Package& p, bool withMenu)
{
    std::vector<std::uint8_t> s;
    if (withMenu)
        s.push_back('1');
    s.insert(s.end(), p.headerPacket.begin(), p.headerPacket.end());
    s.insert(s.end(), p.packageData.begin(), p.packageData.end());
    s.push_back(0x04);
    const auto closing = transfer::closingHeader();
    s.insert(s.end(), closing.begin(), closing.end());
    return s;
}

std::vector<std::uint8_t> randomReply(std::mt19937& rng, transfer::Step step)
{
    const bool proper = rng() % 100 < 93;
    if (proper) {
        switch (step) {
        case transfer::Step::Menu:
            return rng() % 4 ? std::vector<std::uint8_t>{'C'} : std::vector<std::uint8_t>{'x', 'C'};
        case transfer::Step::Header:
        case transfer::Step::EndOfTransmission:
            return {transfer::ACK, 'C'};
        default:
            return rng() % 5 ? std::vector<std::uint8_t>{transfer::ACK}
                             : std::vector<std::uint8_t>{transfer::ACK, 'z'};
        }
    }
    static constexpr std::uint8_t kBytes[] = {
        transfer::ACK, transfer::NAK, transfer::CAN, 'C', 0x00, 0xFF, 'Z'};
    std::vector<std::uint8_t> r(rng() % 4);
    for (auto& b : r)
        b = kBytes[rng() % std::size(kBytes)];
    return r;
}

} // namespace

class TestFuzz : public QObject
{
    Q_OBJECT

private slots:
    void stateMachine()
    {
        constexpr int kScripts = 10000;
        int successes = 0;
        for (int seed = 1; seed <= kScripts; ++seed) {
            std::mt19937 rng(seed);
            const int packets = rng() % 50 == 0 ? 260 : int(rng() % 12);
            const Firmware fw = randomFirmware(rng, packets);
            const auto sliced = package::slicePackage(fw.package);
            QVERIFY2(sliced.error == package::SliceError::None, qPrintable(QString::number(seed)));
            const package::Package& p = sliced.package;
            const bool deviceWaiting = rng() % 3 == 0;
            int state = deviceWaiting ? 1 : 0;
            int progress = 0;
            const int maximum = p.packetCount + 3;
            std::vector<std::uint8_t> received;
            bool ended = false, success = false;
            for (int round = 0; round < 4 * maximum + 20 && !ended; ++round) {
                const auto step = transfer::stepOf(state, p.packetCount);
                QVERIFY2(step != transfer::Step::None, qPrintable(QString("seed %1").arg(seed)));
                const auto bytes = transfer::sendBytes(state, p);
                received.insert(received.end(), bytes.begin(), bytes.end());
                // the device may answer several times to one send (ignored replies)
                for (int attempt = 0; attempt < 5; ++attempt) {
                    const auto reply = randomReply(rng, step);
                    const auto verdict = transfer::judgeReply(state, p.packetCount, reply);
                    if (verdict == transfer::Verdict::Advance) {
                        ++state;
                        ++progress;
                        break;
                    }
                    if (verdict == transfer::Verdict::Complete) {
                        success = ended = true;
                        break;
                    }
                    if (verdict == transfer::Verdict::Fail) {
                        ended = true;
                        break;
                    }
                    if (attempt == 4)
                        ended = true; // the reply limit
                }
                QVERIFY2(progress <= maximum, qPrintable(QString("seed %1").arg(seed)));
            }
            QVERIFY2(ended, qPrintable(QString("seed %1 never ended").arg(seed)));
            if (success) {
                ++successes;
                QVERIFY2(
                    received == wholeStream(p, !deviceWaiting),
                    qPrintable(QString("seed %1: success without the whole stream").arg(seed)));
                QCOMPARE(progress, maximum - (deviceWaiting ? 1 : 0));
            }
        }
        QVERIFY(successes > 100); // the generator does reach the end often enough
    }

    void throughTheWindow()
    {
        constexpr int kScripts = 200;
        int successes = 0, errors = 0;
        for (int seed = 1; seed <= kScripts; ++seed) {
            const QString tag = QString("window seed %1").arg(seed);
            std::mt19937 rng(seed * 7919);
            const int packets = rng() % 10 == 0 ? 260 : 1 + int(rng() % 12);
            const Firmware fw = randomFirmware(rng, packets);
            Form1Setup setup;
            setup.package = fw.package;
            Rig rig(packets, setup);
            rig.sim.setExpectedHeader(QByteArray::fromStdString(fw.name),
                                      QByteArray::fromStdString(fw.sizeText));
            QVERIFY2(rig.connectPort(), qPrintable(tag));

            const bool allowSilence = rng() % 100 == 0;
            const int last = packets + 3;
            for (int item = 0; item <= last; ++item) {
                if (rng() % 100 >= 4)
                    continue;
                static constexpr BL::Action kActions[] = {
                    BL::Action::Nak,           BL::Action::Can,    BL::Action::Garbage,
                    BL::Action::Split,         BL::Action::ExtraC, BL::Action::Chatter,
                    BL::Action::Delay,         BL::Action::Custom, BL::Action::HangUp,
                    BL::Action::RemoveAdapter, BL::Action::Silence};
                auto action = kActions[rng() % (std::size(kActions) - (allowSilence ? 0 : 1))];
                QByteArray bytes;
                for (int i = 0, n = 1 + int(rng() % 3); i < n; ++i)
                    bytes.append(char("\x06\x15\x18"
                                      "CZ"[rng() % 5]));
                // A lone wrong byte where two are awaited, or a wrong reply to the closing
                // header, only ends at the 10 s limit: keep those for the rare silent scripts.
                const bool twoByte = item == 1 || item == packets + 2;
                if (!allowSilence && (twoByte || item == last) &&
                    (action == BL::Action::Nak || action == BL::Action::Garbage ||
                     action == BL::Action::Custom || action == BL::Action::Can ||
                     action == BL::Action::ExtraC))
                    action = BL::Action::Split;
                rig.sim.setFault(item, {action, int(rng() % 30), 1 + int(rng() % 5), bytes});
            }
            if (rng() % 2)
                rig.sim.setVersionReply({"QX-LP4R-V1.3.7.bin"});

            QVERIFY2(rig.update(25000), qPrintable(tag + " did not end"));
            waitFor([] { return false; }, 20);
            const QStringList texts = rig.boxes.texts();
            QVERIFY2(texts.size() == 1, qPrintable(tag + ": " + texts.join('|')));
            auto* bar = control<QProgressBar>(rig.form.get(), "prgPercent");
            QVERIFY2(bar->value() <= bar->maximum(), qPrintable(tag));
            if (texts[0] == "Upgrade Successfully") {
                ++successes;
                QVERIFY2(rig.sim.completedTransfers() == 1 && rig.sim.problems().isEmpty(),
                         qPrintable(tag + ": " + rig.sim.problems().join('|')));
                QVERIFY2(rig.sim.firmware() ==
                             QByteArray(reinterpret_cast<const char*>(fw.payload.data()),
                                        qsizetype(fw.payload.size())),
                         qPrintable(tag + ": firmware differs"));
            } else {
                ++errors;
                QVERIFY2(texts[0] == "Plese Check Connection!", qPrintable(tag + ": " + texts[0]));
            }
        }
        qInfo("%d successes, %d connection errors", successes, errors);
        QVERIFY(successes > 20 && errors > 20);
    }
};

QTEST_MAIN(TestFuzz)
#include "tst_fuzz.moc"
