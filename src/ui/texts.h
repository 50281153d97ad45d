// Every text the window sets or shows, as (Simplified Chinese, English) pairs.
#pragma once

#include "session.h"
#include "version.h"

#include <QString>
#include <QStringList>

namespace qx::ui {

struct Text
{
    const char* chinese;
    const char* english;
};

inline constexpr quint8 kChinese = 1; // languageFlag value; any other value is English

// A tooltip that shows `text` as it stands, whatever a device or an adapter put in it: Qt
// renders a tooltip that looks like markup as markup, so it is given as markup, escaped.
inline QString plainToolTip(const QString& text)
{
    return text.isEmpty()
               ? text
               : QStringLiteral("<p style='white-space:pre'>%1</p>").arg(text.toHtmlEscaped());
}

// The pair's text for `languageFlag`, chosen when it is set or shown.
inline QString pick(const Text& text, quint8 languageFlag)
{
    return QString::fromUtf8(languageFlag == kChinese ? text.chinese : text.english);
}

// The windows' language: `choice` ("zh" or "en", from --language) if given, else Simplified
// Chinese where the system's first user-interface language is (zh-CN, zh-Hans..., zh-SG), and
// English otherwise.
inline quint8 languageFor(const QStringList& uiLanguages, const QString& choice = {})
{
    if (!choice.isEmpty())
        return choice == QLatin1String("zh") ? kChinese : 0;
    const QString first =
        uiLanguages.value(0).toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
    for (const char* simplified : {"zh-hans", "zh-cn", "zh-sg"})
        if (first == QLatin1String(simplified) ||
            first.startsWith(QLatin1String(simplified) + QLatin1Char('-')))
            return kChinese;
    return 0;
}

namespace texts {
// What a build that carries the generated test payload adds to each window's title: its user
// never sees the warning on standard error, and must never take it for a release.
inline constexpr Text kTestBuild{"（测试版本：内含生成的测试数据，不是设备固件）",
                                 " (TEST BUILD: a generated test payload, not device firmware)"};
inline constexpr char kTestBuildLine[] =
    "THIS IS A TEST BUILD: it carries a generated test payload, not device firmware.";
// A window's title as this build shows it: marked where it carries the test payload.
inline QString titleOf(const Text& title, quint8 languageFlag, bool testBuild)
{
    return pick(title, languageFlag) + (testBuild ? pick(kTestBuild, languageFlag) : QString());
}
inline constexpr Text kTitle{"升级程序", "Firmware Update - QX-LP4R-V" QX_VERSION};
inline constexpr Text kFrame1{"串口", "COMM"};
inline constexpr Text kCommand1{"升级", "Update"};
inline constexpr Text kCommand2{"获取版本", "Get Version"};
inline constexpr Text kFrame2{"版本信息", "Version Information"};
inline constexpr Text kLabel1{"Please click  Get Version ", "Please click  Get Version "};
inline constexpr Text kCommand4{"连接", "Connect"};
inline constexpr Text kCommand5{"断开", "Disconnect"};
inline constexpr Text kPercentWord{"完成进度", "Completion percentage"};
inline constexpr char kPercentStart[] = ":  0%";
inline constexpr Text kSuccess{"升级成功", "Upgrade Successfully"};
inline constexpr Text kConnectionError{"请检测连接！", "Plese Check Connection!"};
inline constexpr Text kErrorTitle{"错误", "Error"};
// No port yet: start-up ends here until the first one appears. And why Update then has nothing
// to send, or has a damaged built-in package.
inline constexpr Text kNoPort{"没有串口：请插上串口线。",
                              "No serial port is present: plug in the cable."};
inline constexpr Text kNotLoaded{"还没有串口，固件没有载入：请插上串口线。",
                                 "No serial port is present yet, so the firmware is not loaded: "
                                 "plug in the cable."};
inline constexpr Text kDamaged{"内置的固件包已损坏，无法发送：请重新安装本程序。",
                               "The built-in firmware package is damaged and cannot be sent: "
                               "reinstall the updater."};
inline constexpr char kVersion[] = "V" QX_VERSION;

// Both windows: what support gets of a job, and the setting that keeps every job's trace.
inline constexpr Text kSaveDiagnostics{"保存诊断信息...", "Save diagnostics..."};
inline constexpr Text kDiagnosticsFiles{"诊断信息 (*.txt)", "Diagnostics (*.txt)"};
inline constexpr Text kDiagnosticsNotSaved{"诊断信息未能保存：%1",
                                           "The diagnostics were not saved: %1"};
inline constexpr Text kTraceEveryJob{"保留每次作业的跟踪记录", "Keep a trace of every job"};

// The bench window. %1 and %2 are filled in when shown; a failure's reason stays English, as
// the service record has it.
namespace bench {
inline constexpr Text kTitle{"QX-LP4R 批量升级", "QX-LP4R Bench"};
inline constexpr Text kStart{"开始", "Start"};
inline constexpr Text kStop{"停止", "Stop"};
inline constexpr Text kHandsFree{"设备插入时自动开始升级",
                                 "Start each device when it is plugged in"};
inline constexpr Text kLocked{"锁定的配置：%1", "Locked profile: %1"};
inline constexpr Text kCounters{"已升级：%1   已是最新：%2   失败：%3",
                                "Updated: %1   Current: %2   Failed: %3"};
inline constexpr Text kSkipCurrent{"跳过已是本固件的设备", "Skip devices that run this firmware"};
inline constexpr Text kVerify{"升级后核对版本", "Verify the version after updating"};
inline constexpr Text kScanLabel{"序列号（扫描标签）：", "Unit serial (scan the label):"};
inline constexpr Text kRequireSerial{"必须有序列号", "Require a serial"};
inline constexpr Text kScanLabelNow{"请扫描设备标签", "scan the unit's label"};
inline constexpr Text kSerialRefused{"序列号 %1 被拒绝：%2", "Serial %1 refused: it %2"};
inline constexpr Text kSelectRow{"请先选择一行", "select a row first"};
inline constexpr Text kSerialBound{"序列号 %1 已分配给 %2", "Serial %1 goes to %2"};
inline constexpr Text kSerialQueued{"序列号 %1 将分配给下一台插入的设备",
                                    "Serial %1 goes to the next device plugged in"};
inline constexpr Text kColumns[] = {{"端口", "Port"},   {"设备", "Device"},
                                    {"序列号", "Unit"}, {"进度", "Progress"},
                                    {"状态", "State"},  {"上次结果", "Last outcome"}};
inline constexpr Text kWaiting{"等待", "waiting"};
inline constexpr Text kSettling{"已插入，即将升级", "plugged in, about to start"};
inline constexpr Text kUpdating{"升级中", "updating"};
inline constexpr Text kAsking{"正在查询版本", "asking for its version"};
inline constexpr Text kDone{"完成，用时 %1 秒", "done in %1 s"};
inline constexpr Text kFailed{"失败：%1", "failed: %1"};
inline constexpr Text kVersionIs{"版本 %1", "version %1"};
inline constexpr Text kCurrent{"已是最新（%1）", "current (%1 already)"};
inline constexpr Text kVerified{"，已核对", ", verified"};
inline constexpr Text kNotVerified{"，未能核对", ", not verified"};
inline constexpr Text kUpdateThis{"升级此设备", "Update this device"};
inline constexpr Text kAskVersion{"查询其版本", "Ask for its version"};
inline constexpr Text kCloseRunning{"%1 台设备正在升级。中断并关闭窗口吗？",
                                    "%1 device(s) are being updated. Interrupt them and close "
                                    "the window?"};
} // namespace bench

// The words for an outcome in each face's form: an update that succeeded (%1: its seconds), a
// query's answer (%1: the version), a failure (%1: its cause, in the record's words), and a
// device found current (%1: its version). A checked success adds whether it was verified.
struct OutcomeTexts
{
    Text updated;
    Text versionIs;
    Text failed;
    Text current;
    Text verified = bench::kVerified;
    Text notVerified = bench::kNotVerified;
};
// The command line speaks English only.
inline constexpr OutcomeTexts kOutcomeLine{
    {"success", "success"},         {"version %1", "version %1"},
    {"failure: %1", "failure: %1"}, {"current (%1 already)", "current (%1 already)"},
    {", verified", ", verified"},   {", not verified", ", not verified"}};
inline constexpr OutcomeTexts kOutcomeRow{bench::kDone, bench::kVersionIs, bench::kFailed,
                                          bench::kCurrent};
// The window's boxes; a failure's cause is the box's detail. The window makes no checks.
inline constexpr OutcomeTexts kOutcomeBox{kSuccess, {"%1", "%1"}, kConnectionError, {"%1", "%1"}};

} // namespace texts

// `outcome` in `form`'s words for `languageFlag`; empty for a query ended without a word.
inline QString outcomeWords(const transfer::Outcome& outcome, const texts::OutcomeTexts& form,
                            quint8 languageFlag)
{
    const auto fill = [&](const Text& text, const QString& value) {
        QString words = pick(text, languageFlag);
        return words.contains(QLatin1String("%1")) ? words.arg(value) : words;
    };
    switch (outcome.result) {
    case transfer::Outcome::Success:
        if (outcome.job == transfer::Job::Query)
            return fill(form.versionIs, outcome.version);
        return fill(form.updated, QString::number(qRound(outcome.seconds))) +
               (outcome.after.isEmpty() ? QString()
                : outcome.verified()    ? pick(form.verified, languageFlag)
                                        : pick(form.notVerified, languageFlag));
    case transfer::Outcome::Current:
        return fill(form.current, outcome.version);
    case transfer::Outcome::Failure:
        return fill(form.failed, QString::fromStdString(outcome.reason));
    case transfer::Outcome::Ended:
        break;
    }
    return {};
}

} // namespace qx::ui
