// COM numbering of Linux serial devices and the port enumeration; pure, on every platform.
#include "devicemap.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>

namespace qx::serial {

namespace {

struct Group
{
    const char* prefix;
    int firstNumber;
};

// In map order: USB adapters first.
constexpr Group kGroups[] = {{"ttyUSB", 33}, {"ttyACM", 65}, {"ttyS", 1}};
constexpr int kGroupSize = 32;

// Group index and k for a fixed-rule device, or nullopt for "any other".
std::optional<std::pair<int, int>> groupOf(const QString& systemLocation)
{
    const QString name = QFileInfo(systemLocation).fileName();
    for (int g = 0; g < int(std::size(kGroups)); ++g) {
        static const QRegularExpression digits("^\\d{1,2}$");
        const QString prefix = kGroups[g].prefix;
        if (!name.startsWith(prefix) || !systemLocation.startsWith("/dev/"))
            continue;
        const QString rest = name.mid(prefix.size());
        if (!digits.match(rest).hasMatch())
            continue;
        const int k = rest.toInt();
        if (k < kGroupSize)
            return std::pair{g, k};
    }
    return std::nullopt;
}

} // namespace

QList<MapEntry> buildDeviceMap(const QList<SerialDevice>& devices, const QList<MapEntry>& before)
{
    struct Ranked
    {
        int group; // kGroups index, or size(kGroups) for the others
        int k;
        SerialDevice device;
    };
    QList<Ranked> ranked;
    for (const SerialDevice& device : devices) {
        const auto g = groupOf(device.systemLocation);
        ranked.append(g ? Ranked{g->first, g->second, device}
                        : Ranked{int(std::size(kGroups)), 0, device});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
        if (a.group != b.group)
            return a.group < b.group;
        if (a.k != b.k)
            return a.k < b.k;
        return a.device.systemLocation < b.device.systemLocation;
    });

    // The other devices still present keep their numbers; the new ones fill the gaps.
    QList<int> taken;
    const auto kept = [&](const SerialDevice& device) {
        for (const MapEntry& entry : before)
            if (entry.device.systemLocation == device.systemLocation &&
                entry.comNumber >= kFirstOtherComNumber)
                return entry.comNumber;
        return 0;
    };
    for (const Ranked& r : ranked)
        if (const int number = r.group == int(std::size(kGroups)) ? kept(r.device) : 0)
            taken.append(number);
    QList<MapEntry> map;
    int nextOther = kFirstOtherComNumber;
    for (const Ranked& r : ranked) {
        int number = 0;
        if (r.group < int(std::size(kGroups))) {
            number = kGroups[r.group].firstNumber + r.k;
        } else if (!(number = kept(r.device))) {
            while (taken.contains(nextOther))
                ++nextOther;
            number = nextOther++;
        }
        if (number > kMaxComNumber)
            continue;
        map.append({number, QStringLiteral("COM%1").arg(number), r.device});
    }
    // The others, last, in the order of their numbers.
    const auto others = std::find_if(map.begin(), map.end(), [](const MapEntry& entry) {
        return entry.comNumber >= kFirstOtherComNumber;
    });
    std::sort(others, map.end(),
              [](const MapEntry& a, const MapEntry& b) { return a.comNumber < b.comNumber; });
    return map;
}

std::optional<SerialDevice> deviceFor(const QList<MapEntry>& map, int comNumber)
{
    for (const MapEntry& entry : map)
        if (entry.comNumber == comNumber)
            return entry.device;
    return std::nullopt;
}

QList<MapValue> mapValues(const QList<MapEntry>& map)
{
    QList<MapValue> values;
    for (const MapEntry& entry : map)
        values.append({entry.device.systemLocation, entry.portName});
    return values;
}

QList<MapEntry> mapFromValues(const QList<MapValue>& values)
{
    QList<MapEntry> map;
    for (const auto& [name, data] : values) {
        const QString port = data.toUpper();
        const auto number =
            port.startsWith(QLatin1String("COM")) ? portNumberFromName(port) : std::nullopt;
        map.append({number ? int(*number) : -1, data, {name, {}, {}}});
    }
    return map;
}

QStringList enumComPorts(const QList<MapValue>& values)
{
    QStringList ports{QString()};
    int found = 0;
    for (const auto& [name, data] : values) {
        if (name.size() >= kValueBufferChars || data.size() >= kValueBufferChars)
            break; // the value does not fit its buffer: the read fails and ends the listing
        const QString port = data.toUpper();
        if (!port.contains(QLatin1String("COM")))
            continue;
        if (found == 0)
            ports[0] = port;
        else
            ports.append(port);
        ++found;
    }
    return ports;
}

int selectionAfter(const QStringList& before, const QString& selected, const QStringList& after)
{
    for (qsizetype i = 0; i < after.size(); ++i)
        if (!after[i].isEmpty() && !before.contains(after[i]))
            return int(i);
    const qsizetype kept = after.indexOf(selected);
    if (kept >= 0 && !selected.isEmpty())
        return int(kept);
    return after.value(0).isEmpty() ? -1 : 0;
}

std::optional<quint8> portNumberFromName(const QString& portName)
{
    bool ok = false;
    const short number = portName.mid(3).trimmed().toShort(&ok);
    if (!ok || number < 0 || number > kMaxComNumber)
        return std::nullopt;
    return static_cast<quint8>(number);
}

bool isBuiltIn(const MapEntry& entry)
{
    static const QRegularExpression builtIn("^(/dev/ttyS\\d+|\\\\Device\\\\Serial\\d+)$");
    return builtIn.match(entry.device.systemLocation).hasMatch();
}

QString deviceText(const SerialDevice& device)
{
    QStringList parts{device.systemLocation};
    if (!device.description.isEmpty())
        parts.append(device.description);
    if (!device.manufacturer.isEmpty())
        parts.append(device.manufacturer);
    return parts.join(", ");
}

QString portToolTip(const MapEntry& entry)
{
    return entry.portName.toUpper() + ": " + deviceText(entry.device);
}

QString portToolTip(const QList<MapEntry>& map, const QString& listedPort)
{
    for (const MapEntry& entry : map)
        if (entry.portName.toUpper() == listedPort)
            return portToolTip(entry);
    return QString();
}

} // namespace qx::serial
