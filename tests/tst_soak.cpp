// A hundred full transfers through one window: memory stays flat and no descriptor leaks.
#include "rig.h"

#include <QDir>
#include <QtTest>

#include <unistd.h>

namespace {
long residentKiB()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toLong() * (sysconf(_SC_PAGESIZE) / 1024);
}
int openDescriptors()
{
    return int(QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}
} // namespace

class TestSoak : public QObject
{
    Q_OBJECT

private slots:
    void hundredTransfers()
    {
        Rig rig;
        QVERIFY(rig.connectPort());
        waitFor([] { return false; }, 50);
        const int fdsBefore = openDescriptors();
        long rssAt10 = 0;
        for (int i = 1; i <= 100; ++i) {
            rig.sim.clearStream(); // the simulator's own record is not the window's memory
            QVERIFY2(rig.update(), qPrintable(QString::number(i)));
            if (i == 10)
                rssAt10 = residentKiB();
        }
        const long rssAt100 = residentKiB();
        QCOMPARE(rig.sim.completedTransfers(), 100);
        QCOMPARE(rig.boxes.count(), 100);
        QCOMPARE(rig.boxes.texts().count("Upgrade Successfully"), 100);
        qInfo("resident memory: %ld KiB after 10, %ld KiB after 100 transfers", rssAt10, rssAt100);
        QVERIFY2(rssAt100 - rssAt10 < 1024, qPrintable(QString::number(rssAt100 - rssAt10)));
        waitFor([] { return false; }, 50);
        QCOMPARE(openDescriptors(), fdsBefore);
    }
};

QTEST_MAIN(TestSoak)
#include "tst_soak.moc"
