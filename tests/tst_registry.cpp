// The port list from the registry's serial device map, on Windows: values are read whole, in
// the order the registry gives (Wine's is by name, so the test's names sort last), and become
// the port names, COM numbers and tooltips the window shows.
#include "commport.h"

#include <QtTest>

#include <windows.h>

using namespace qx::serial;

namespace {
const wchar_t kKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

bool setValue(const QString& name, const QString& data)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS)
        return false;
    const std::wstring text = data.toStdWString();
    const bool ok = RegSetValueExW(key, name.toStdWString().c_str(), 0, REG_SZ,
                                   reinterpret_cast<const BYTE*>(text.c_str()),
                                   DWORD((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

void removeValue(const QString& name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name.toStdWString().c_str());
        RegCloseKey(key);
    }
}
} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

    const QList<MapValue> added{
        {"\\Device\\ZqxTest0", "com12"},
        {"\\Device\\ZqxTest1", "LPT9"},
        {"\\Device\\ZqxTest2", "COM7"},
        {"\\Device\\ZqxTest3", "COM" + QString(997, '9')}, // too long: the listing ends there
        {"\\Device\\ZqxTest4", "COM8"},
    };

private slots:
    void registryPortList()
    {
        const auto before = systemDeviceMap();
        for (const auto& [name, data] : added)
            QVERIFY(setValue(name, data));
        const auto map = systemDeviceMap();
        for (const auto& [name, data] : added)
            removeValue(name);

        QCOMPARE(mapValues(map), mapValues(before) + added);
        QStringList numbers, tips;
        for (const MapEntry& entry : map.mid(before.size())) {
            numbers << QString::number(entry.comNumber);
            tips << portToolTip(entry);
        }
        QCOMPARE(numbers, (QStringList{"12", "-1", "7", "-1", "8"}));
        QCOMPARE(tips.first(), QString("COM12: \\Device\\ZqxTest0"));
        QStringList ports = enumComPorts(mapValues(before));
        ports.removeAll(QString()); // the list of none
        ports << "COM12"
              << "COM7";
        QCOMPARE(enumComPorts(mapValues(map)), ports);
        QCOMPARE(mapValues(systemDeviceMap()), mapValues(before)); // read afresh each time
    }

    // Open failures name the COM port only: on Windows it is the device's own name.
    void missingPort()
    {
        CommPort port;
        port.setCommPort(200);
        try {
            port.setPortOpen(true);
            QFAIL("COM200 opened");
        } catch (const CommError& error) {
            QCOMPARE(error.description(), QString("COM200 does not exist on this machine."));
        }
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
