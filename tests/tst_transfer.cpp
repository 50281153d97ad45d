// The transfer state machine's pure functions: each state's bytes, thresholds, limits,
// the acceptance of replies, and the percentage text.
#include "packageloader.h"
#include "transfer.h"

#include <QtTest>

using namespace qx::transfer;
using qx::package::Package;

namespace {
const Package& embedded()
{
    static const Package p = qx::package::slicePackage(qx::package::embeddedPackage()).package;
    return p;
}
std::vector<std::uint8_t> bytes(std::initializer_list<int> list)
{
    std::vector<std::uint8_t> out;
    for (int b : list)
        out.push_back(std::uint8_t(b));
    return out;
}
} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT

private slots:
    void statesOfTheEmbeddedPackage()
    {
        const Package& p = embedded();
        QCOMPARE(int(p.packetCount), 372);
        QCOMPARE(stepOf(0, 372), Step::Menu);
        QCOMPARE(stepOf(1, 372), Step::Header);
        QCOMPARE(stepOf(2, 372), Step::Data);
        QCOMPARE(stepOf(373, 372), Step::Data);
        QCOMPARE(stepOf(374, 372), Step::EndOfTransmission);
        QCOMPARE(stepOf(375, 372), Step::ClosingHeader);
        QCOMPARE(stepOf(376, 372), Step::None);
        QCOMPARE(stepOf(-1, 372), Step::None);

        QCOMPARE(sendBytes(0, p), bytes({'1'}));
        QVERIFY(sendBytes(1, p) ==
                std::vector<std::uint8_t>(p.headerPacket.begin(), p.headerPacket.end()));
        const auto first = sendBytes(2, p);
        QVERIFY(first ==
                std::vector<std::uint8_t>(p.packageData.begin(), p.packageData.begin() + 1029));
        const auto last = sendBytes(373, p);
        QVERIFY(last == std::vector<std::uint8_t>(p.packageData.end() - 1029, p.packageData.end()));
        QCOMPARE(int(sendBytes(257, p)[1]), 0); // after block 255
        QCOMPARE(sendBytes(374, p), bytes({0x04}));
        auto closing = bytes({0x01, 0x00, 0xFF});
        closing.resize(133, 0x00);
        QCOMPARE(sendBytes(375, p), closing);
        QVERIFY(sendBytes(376, p).empty());
    }

    void dataBeyondAShortPackageIsNotRead()
    {
        Package p;
        p.packetCount = 3;
        p.packageData.resize(1029); // inconsistent on purpose: only one packet present
        QCOMPARE(sendBytes(2, p).size(), std::size_t(1029));
        QVERIFY(sendBytes(3, p).empty());
    }

    void thresholdsAndLimits()
    {
        QCOMPARE(ruleOf(Step::Menu).replyThreshold, 1);
        QCOMPARE(ruleOf(Step::Header).replyThreshold, 2);
        QCOMPARE(ruleOf(Step::Data).replyThreshold, 1);
        QCOMPARE(ruleOf(Step::EndOfTransmission).replyThreshold, 2);
        QCOMPARE(ruleOf(Step::ClosingHeader).replyThreshold, 1);
        QCOMPARE(ruleOf(Step::Menu).watchdogMs, 4000);
        for (Step s : {Step::Header, Step::Data, Step::EndOfTransmission, Step::ClosingHeader})
            QCOMPARE(ruleOf(s).watchdogMs, 10000);
    }

    void judgingReplies_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("verdict");
        const int N = 1;
        QTest::newRow("menu: C") << 0 << QByteArray("C") << int(Verdict::Advance);
        QTest::newRow("menu: noise then C") << 0 << QByteArray("xyC") << int(Verdict::Advance);
        QTest::newRow("menu: C then noise") << 0 << QByteArray("Cx") << int(Verdict::Fail);
        QTest::newRow("menu: ACK") << 0 << QByteArray("\x06") << int(Verdict::Fail);
        QTest::newRow("header: ACK C") << 1
                                       << QByteArray("\x06"
                                                     "C")
                                       << int(Verdict::Advance);
        QTest::newRow("header: C ACK") << 1 << QByteArray("C\x06") << int(Verdict::Fail);
        QTest::newRow("data: ACK junk") << 2 << QByteArray("\x06zz") << int(Verdict::Advance);
        QTest::newRow("data: NAK") << 2 << QByteArray("\x15") << int(Verdict::Fail);
        QTest::newRow("data: CAN") << 2 << QByteArray("\x18\x18") << int(Verdict::Fail);
        QTest::newRow("EOT: ACK C") << N + 2
                                    << QByteArray("\x06"
                                                  "C")
                                    << int(Verdict::Advance);
        QTest::newRow("closing: ACK") << N + 3 << QByteArray("\x06") << int(Verdict::Complete);
        QTest::newRow("closing: NAK") << N + 3 << QByteArray("\x15") << int(Verdict::KeepWaiting);
        QTest::newRow("empty") << 2 << QByteArray() << int(Verdict::Ignore);
        QTest::newRow("past the end") << N + 4 << QByteArray("\x06") << int(Verdict::Fail);
    }

    void judgingReplies()
    {
        QFETCH(int, state);
        QFETCH(QByteArray, reply);
        QFETCH(int, verdict);
        const std::span<const std::uint8_t> r(reinterpret_cast<const std::uint8_t*>(reply.data()),
                                              std::size_t(reply.size()));
        QCOMPARE(int(judgeReply(state, 1, r)), verdict);
    }

    void percentText_data()
    {
        QTest::addColumn<float>("value");
        QTest::addColumn<float>("maximum");
        QTest::addColumn<QString>("text");
        QTest::newRow("first advance") << 1.0f << 375.0f << "0%";
        QTest::newRow("after EOT") << 375.0f << 375.0f << "100%";
        QTest::newRow("begun in state 1") << 374.0f << 375.0f << "100%";
        QTest::newRow("half") << 1.0f << 2.0f << "50%";
        QTest::newRow("exact half percent rounds up") << 1.0f << 200.0f << "1%";
        QTest::newRow("just under half") << 1.0f << 201.0f << "0%";
        QTest::newRow("two thirds") << 2.0f << 3.0f << "67%";
        QTest::newRow("no maximum") << 1.0f << 0.0f << "0%";
    }

    void percentText()
    {
        QFETCH(float, value);
        QFETCH(float, maximum);
        QFETCH(QString, text);
        QCOMPARE(QString::fromStdString(qx::transfer::percentText(value, maximum)), text);
    }
};

QTEST_GUILESS_MAIN(TestTransfer)
#include "tst_transfer.moc"
