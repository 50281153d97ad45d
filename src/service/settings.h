// A station's settings as one table: each row is one setting, given alike as a command-line
// option (--NAME) and as a profile's key (NAME), with its check, its words for --help, who takes
// it, what a lock does with it and the windows' box that shows it.
#pragma once

#include "stationpolicy.h"

#include <QList>
#include <QString>

#include <optional>
#include <span>
#include <variant>

namespace qx::service {

// What a setting's value is, and so how it is checked.
enum class SettingKind
{
    YesNo,       // an option without a value; true or false in a profile
    Number,      // a whole number from `least` to `most`
    Word,        // one of the words of `valueName`, '|' between them
    Pattern,     // a regular expression
    DatabaseUrl, // the shared record's URL, never with a password
    Folder,      // an absolute path to a folder
};

// Which commands and faces take a setting as an option, as bits.
enum SettingTakers : unsigned
{
    kTakenByUpdate = 1,
    kTakenByQuery = 2,
    kTakenByStation = 4,
    kTakenByBench = 8,
    kTakenByServing = kTakenByUpdate | kTakenByStation | kTakenByBench,
    kTakenByEvery = ~0u, // every face, the window and the deliverer included
};

// How an option meets an unlocked profile's value.
enum class Combine
{
    Either,     // on where either turns it on
    OptionWins, // the option's value replaces the profile's
};

// The group --help lists a setting in.
enum class HelpGroup
{
    Bench,
    Checks,
    Serials,
    Traces,
    Every,
};

using SettingValue = std::variant<bool, int, QString, Database>;

struct Setting
{
    const char* name; // --NAME, and NAME under a profile's [station]
    SettingKind kind = SettingKind::YesNo;
    const char* valueName = ""; // --help's <VALUE> (a Word's words); empty for a yes/no
    HelpGroup group = HelpGroup::Every;
    const char* help = "";
    unsigned takers = kTakenByServing; // SettingTakers
    Combine combine = Combine::Either;
    bool lockable = true;          // a locked profile fixes it
    const char* needs = nullptr;   // the yes/no setting it goes with; null: none
    const char* control = nullptr; // the windows' box for it (its object name); null: none
    const char* onWord = nullptr;  // a Word's value while its box is ticked; a yes/no's is true
    const char* offWord = nullptr; // and while it is not
    SettingValue (*get)(const StationPolicy&) = nullptr;
    void (*put)(StationPolicy&, const SettingValue&) = nullptr;
    int least = 0, most = 0; // a Number's range
};

// Every setting, in --help's order.
std::span<const Setting> settings();
const Setting* settingNamed(const QString& name);
// The row whose rule other code words a refusal by (an update's missing --serial).
const Setting& requireSerialSetting();
// The setting the windows' box `control` shows.
const Setting* settingOfControl(const QString& control);

// A yes or no as a profile writes it: true, yes, on or 1, or false, no, off or 0.
std::optional<bool> yesOrNo(const QString& text);
// What the setting takes, in words: "true or false", "failures, all or off", "a database's URL".
QString takesWhat(const Setting& setting);
// The commands and faces that take it, in words: "--update, --station or --bench".
QString takersWords(unsigned takers);
// `text` read as the setting's value (a yes/no option's is "true"): the value, or what is wrong,
// in words that follow the setting's name ("--trace" or "FILE:LINE: trace").
std::variant<SettingValue, QString> readSetting(const Setting& setting, const QString& text);
// The value as an option or a profile gives it.
QString settingText(const Setting& setting, const StationPolicy& policy);
// Whether the yes/no setting is on, or a Word at its box's on word.
bool isOn(const Setting& setting, const StationPolicy& policy);

// A setting given: by an option (line 0), or on a profile's line.
struct GivenSetting
{
    const Setting* setting = nullptr;
    SettingValue value;
    int line = 0;
};
// `options` onto `policy` (an unlocked profile's, or the defaults), each as its row combines.
void combineOptions(StationPolicy& policy, const QList<GivenSetting>& options);
// The first setting on in `policy` whose needed setting is not: what it needs, or null.
const Setting* unmetNeed(const StationPolicy& policy, const Setting** needed = nullptr);

// A windows' box for a setting: ticked, and whether a person may change it (not where a locked
// profile fixes it, nor where the value is neither of its two).
struct BoxState
{
    bool checked = false;
    bool enabled = false;
};
BoxState boxState(const Setting& setting, const StationPolicy& policy);
// `policy` as a person's tick or untick of the setting's box leaves it.
void setByBox(const Setting& setting, StationPolicy& policy, bool checked);

} // namespace qx::service
