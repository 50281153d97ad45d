// The serial device map: which device answers to which COM number (on Linux, by a fixed
// numbering of the serial devices), and the port list the window shows, read from it.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

namespace qx::serial {

struct SerialDevice
{
    QString systemLocation; // /dev/ttyUSB0
    QString description;    // FT232R USB UART
    QString manufacturer;   // FTDI
};

inline constexpr int kFirstOtherComNumber = 97;
inline constexpr int kMaxComNumber = 255;

// One value of the machine's device map: the device (the value's name) and its port name
// (its data), with the COM number that port name gives, or -1.
struct MapEntry
{
    int comNumber = 0;
    QString portName; // "COM33"
    SerialDevice device;
};

// Where the device map comes from; tests hand in pseudo-terminals.
using DeviceSource = std::function<QList<MapEntry>()>;

// Numbers the devices: ttyS<k> -> COM(k+1) and ttyUSB<k> -> COM(33+k) and ttyACM<k> ->
// COM(65+k) for k < 32, any other device COM97 upward. Another device keeps the number it has in
// `before` (the map as last built) for as long as it stays present; a new one takes the lowest
// number that is free, in the order of its path, so a device that goes away never renumbers
// another. USB adapters come first, so start-up selects the technician's cable. Devices left
// without a number from 0 to 255 are left out.
QList<MapEntry> buildDeviceMap(const QList<SerialDevice>& devices,
                               const QList<MapEntry>& before = {});
std::optional<SerialDevice> deviceFor(const QList<MapEntry>& map, int comNumber);

// One value of the device map: the device's name and the port name it maps to.
using MapValue = std::pair<QString, QString>;
QList<MapValue> mapValues(const QList<MapEntry>& map);
// The map that values read from the registry make: each value's data is its port name, and
// a port name "COM<n>" (any case) opens COM n.
QList<MapEntry> mapFromValues(const QList<MapValue>& values);

inline constexpr qsizetype kValueBufferChars = 1000;

// The port names in the map's order: upper case, only those containing "COM", no sorting,
// no de-duplication; a single empty string when none is found. A value whose name or data
// does not fit kValueBufferChars (with its terminating NUL) ends the enumeration.
QStringList enumComPorts(const QList<MapValue>& values);

// Which entry of `after` to select when the port list changes from `before`, where `selected`
// was chosen: a port that appeared (the cable just plugged in), else the one chosen while it is
// still there, else the first; -1 when no port is left.
int selectionAfter(const QStringList& before, const QString& selected, const QStringList& after);

// The number after the first three characters of a port name, if it is 0 to 255.
std::optional<quint8> portNumberFromName(const QString& portName);

// A port built into the machine rather than a USB adapter: /dev/ttyS<k> on Linux, a
// \Device\Serial<n> value of the registry's map on Windows. The bench leaves these unchecked.
bool isBuiltIn(const MapEntry& entry);

// "/dev/ttyUSB0, FT232R USB UART, FTDI"
QString deviceText(const SerialDevice& device);
// "COM33: /dev/ttyUSB0, FT232R USB UART, FTDI"
QString portToolTip(const MapEntry& entry);
// The tooltip of the entry that a listed port name (upper case) comes from; empty if none.
QString portToolTip(const QList<MapEntry>& map, const QString& listedPort);

} // namespace qx::serial
