// The service record: one CSV line for each update and version query, appended to a file of
// the user's, so that afterwards anyone can tell which device got which firmware, when, where,
// and why it failed.
#pragma once

#include "packageformat.h"
#include "session.h"
#include "tracefolder.h"

#include <QByteArray>
#include <QString>

#include <iterator>

namespace qx::service {

class SharedRecord;

// What a line says besides the outcome: where and with which firmware.
struct RecordContext
{
    QString port;   // "COM7"
    QString device; // the device behind it, as the port's tooltip names it
    const package::Package* package = nullptr;
    QString firmwareSha256 = {}; // the package's, where the caller keeps it; else computed here
    QString unitSerial = {};     // the unit's serial number, where one was bound
    QString slot = {};           // the profile's name for the port, else the port as named
    QString profile = {};        // the profile's name and fingerprint; empty without one
    QString trace = {};          // the job's trace as kept beside the record; empty: none
};

inline constexpr char kRecordFileName[] = "service-record.csv";

// The record's columns in the order of its lines, with the type the shared record's table gives
// each: one list for the CSV, the outbox and the table.
struct RecordColumn
{
    const char* name;
    const char* sqlType;
};
inline constexpr RecordColumn kRecordColumns[] = {
    {"time", "timestamptz"},
    {"duration_s", "numeric"},
    {"computer", "text"},
    {"user", "text"},
    {"port", "text"},
    {"device", "text"},
    {"action", "text"},
    {"firmware_file", "text"},
    {"firmware_bytes", "bigint"},
    {"firmware_sha256", "text"},
    {"test_payload", "boolean"},
    {"outcome", "text"},
    {"reason", "text"},
    {"device_version", "text"},
    {"program_version", "text"},
    // At the end, so that lines of fewer columns and the spreadsheets made of them still fit:
    // what the checks around an update found ("unknown": no file named; empty: not asked).
    {"version_before", "text"},
    {"version_after", "text"},
    {"unit_serial", "text"}, // as scanned or given; empty: none
    {"slot", "text"},        // where on the station: the profile's name, or the port as named
    {"profile", "text"},     // "Line 3, station A (3f2a9c1b0d4e)"; empty: none
    {"trace", "text"},       // "traces/<file>" beside the record; empty: none kept
};
inline constexpr int kRecordColumnCount = int(std::size(kRecordColumns));
// The fewest columns a record file or outbox of ours has; columns only ever come at the end.
inline constexpr int kFirstRecordColumnCount = 15;

// The header line, behind the byte-order mark that makes Excel read the file as UTF-8: of all
// the columns, or of the first `columns`, as a record of fewer columns has it.
QByteArray recordHeader(int columns = kRecordColumnCount);
// Why the record cannot be kept in `folder` (none, or not writable), naming it; empty where it
// can: made if missing, and a file written there and removed.
QString recordFolderProblem(const QString& folder);
// An outcome as the record and --json name it: "success", "current" or "failure".
QString outcomeName(const transfer::Outcome& outcome);
// A line's fields, in the header's order, each made inert as every destination keeps it.
QStringList recordFields(const transfer::Outcome& outcome, const RecordContext& context);
// A field as the record keeps it, in the CSV and the database alike: inert, and a leading
// = + - @ defused so that no spreadsheet runs it.
QString inertField(const QString& text);
// One RFC 4180 line, CRLF-terminated, UTF-8, of inert fields: each quoted where it must be.
QByteArray recordLine(const QStringList& fields);
inline QByteArray recordLine(const transfer::Outcome& outcome, const RecordContext& context)
{
    return recordLine(recordFields(outcome, context));
}
// The fields of a line recordLine() made, unquoted.
QStringList recordLineFields(const QByteArray& line);
// The firmware image's bytes as the data blocks carry them, cut to the size the header gives.
QString firmwareSha256(const package::Package& package);

class ServiceRecord
{
public:
    explicit ServiceRecord(QString folder);
    ~ServiceRecord(); // a last try for lines still kept; what cannot be written is shown

    // Appends `line`, after any that could not be written before, in one write, to this
    // program's record in the folder: a file there that is not (a foreign or damaged one) is
    // left alone and the line goes beside it. Returns what to tell the user, once per
    // problem, or nothing.
    QString append(const QByteArray& line);
    // A line of these fields, appended as above and then, where a shared record is named,
    // sent there too.
    QString add(const QStringList& fields);
    void shareWith(SharedRecord* shared) { shared_ = shared; }
    // The checksum of the firmware the ports send, worked out once as the package is loaded.
    void setFirmwareSha256(const QString& sha) { firmwareSha256_ = sha; }
    const QString& firmwareSha256() const { return firmwareSha256_; }
    QString folder() const { return folder_; }
    TraceFolder& traces() { return traces_; }

private:
    QString folder_;
    TraceFolder traces_{folder_};
    SharedRecord* shared_ = nullptr;
    QByteArray pending_;     // lines not yet written, oldest first
    QString writtenTo_;      // the file the last line went to, empty while it waits to be written
    qint64 writtenFrom_ = 0; // that file's size before it: the line is at this offset or after
    QString said_;           // the problem told last; not told again while it lasts
    QString firmwareSha256_;
};

} // namespace qx::service
