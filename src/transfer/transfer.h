// The update transfer's state machine: what each state sends, how many reply bytes it waits
// for, how long, and whether a reply is accepted. Pure functions; the Session drives them.
#pragma once

#include "packageformat.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qx::transfer {

// Bytes on the line.
using package::SOH; // a header block; STX starts a data block
using package::STX;
inline constexpr std::uint8_t EOT = 0x04;
inline constexpr std::uint8_t ACK = 0x06;
inline constexpr std::uint8_t NAK = 0x15;
inline constexpr std::uint8_t CAN = 0x18;
inline constexpr std::uint8_t kRequest = 0x43;    // 'C': the receiver asks for a CRC transfer
inline constexpr std::uint8_t kMenuUpdate = 0x31; // '1': the boot loader's download function
inline constexpr char kVersionCommand[] = "2";    // the boot loader's version function
inline constexpr int kVersionReplyLimit = 300;    // receive events one version query handles
// Characters of a version reply kept, shown and recorded: far past any file name, short of
// what floods a terminal or a spreadsheet's cell.
inline constexpr int kVersionTextLimit = 256;

// Times, in milliseconds.
inline constexpr int kSendIntervalMs = 1;     // from an accepted reply to the next send
inline constexpr int kMenuTimeoutMs = 4000;   // for the 'C' after the menu byte
inline constexpr int kReplyTimeoutMs = 10000; // for the reply to every later state
inline constexpr int kFailNowMs = 1;          // the watchdog fires at once after a wrong reply
inline constexpr int kSuccessPauseMs = 5;     // before the success message
inline constexpr int kQueryTimeoutMs = 4000;  // a version query that must end (command line)
// The checks around an update: a reply to the version command is whole once this long has
// passed without another byte.
inline constexpr int kVersionQuietMs = 100;
// After the closing header's ACK the device writes its flash and returns to its menu: the
// version command that verifies goes this long after, and is answered within kVerifyTimeoutMs.
inline constexpr int kVerifyPauseMs = 500;
inline constexpr int kVerifyTimeoutMs = 5000;

enum class Step
{
    Menu,              // state 0
    Header,            // state 1
    Data,              // states 2 .. N + 1
    EndOfTransmission, // state N + 2
    ClosingHeader,     // state N + 3
    None,              // outside 0 .. N + 3: nothing to send
};

enum class Acceptance
{
    EndsWithRequest, // the last byte is 'C'
    BeginsWithAck,   // the first byte is ACK
};

struct StepRule
{
    int replyThreshold; // reply bytes of a whole reply, judged together
    int watchdogMs;     // reply time limit armed with the send
    Acceptance acceptance;
    const char* name;     // the step, as a failure's reason names it
    const char* expected; // the proper reply, as a failure's reason names it
};

// The whole machine in one table, indexed by Step (None has no row).
inline constexpr std::array<StepRule, 5> kStepRules{{
    {1, kMenuTimeoutMs, Acceptance::EndsWithRequest, "the menu command", "C"},
    {2, kReplyTimeoutMs, Acceptance::BeginsWithAck, "the header", "ACK and C"},
    {1, kReplyTimeoutMs, Acceptance::BeginsWithAck, "data block", "ACK"},
    {2, kReplyTimeoutMs, Acceptance::BeginsWithAck, "the end of transmission", "ACK and C"},
    {1, kReplyTimeoutMs, Acceptance::BeginsWithAck, "the closing header", "ACK"},
}};

Step stepOf(int sendState, int packetCount);
const StepRule& ruleOf(Step step); // Step::None is not allowed

// The bytes of `sendState`, exactly as they go on the wire: the menu byte, the header packet,
// data packet sendState - 1 as stored, EOT, or the closing empty header. Empty for Step::None.
std::vector<std::uint8_t> sendBytes(int sendState, const package::Package& package);

// 01 00 FF and 130 zero bytes: an empty file name ends the batch.
std::array<std::uint8_t, package::kHeaderPacketSize> closingHeader();

bool endsWithRequest(std::span<const std::uint8_t> reply);
bool beginsWithAck(std::span<const std::uint8_t> reply);

enum class Verdict
{
    Advance,     // accepted: next state
    Complete,    // accepted in the last state: the transfer succeeded
    Fail,        // not accepted: the transfer ends with the connection error
    KeepWaiting, // not accepted in the last state: ignored, the device may still ACK
    Ignore,      // no bytes at all: nothing to judge
};

Verdict judgeReply(int sendState, int packetCount, std::span<const std::uint8_t> reply);
// Whether `reply`, shorter than the step's whole reply, must wait for the rest: only while it
// may still become one the step accepts. A first byte other than ACK to the header or EOT
// never can, and is judged as it comes.
bool awaitsRest(int sendState, int packetCount, std::span<const std::uint8_t> reply);

// Why a transfer or a query failed, in English whatever the window's language, so that the
// words of many laptops compare: the step and the cause.
enum class Cause
{
    NoReply,      // the reply limit ran out with nothing (or too little) waiting
    WrongReply,   // a reply that the step does not accept
    LineLost,     // the adapter went away or the line hung up
    PortRefused,  // the port refused a send
    ReplyTooLong, // the version reply ran past kVersionReplyLimit reads
    Interrupted,  // the command line was stopped
    Left,         // a query was left by the next command without a whole answer
    OtherProduct, // the check before an update: the device runs another product's firmware
    Newer,        // the check before an update: the device runs a newer version of this one
    NotUpdated,   // the check after: the device reports another file than the one sent
};

struct Failure
{
    Cause cause;
    int sendState = 0;                 // the step it happened at; -1 for the version query
    std::vector<std::uint8_t> reply{}; // WrongReply, and a query's NoReply: what came
    // LineLost, PortRefused: the port's words; NoReply: how little came; OtherProduct and
    // NotUpdated: the file the device named; Newer: it and the package's
    std::string detail{};
};
inline constexpr int kQueryState = -1;

// "the header", "data block 34 of 372", "the version command"
std::string stepName(int sendState, int packetCount);
// "no answer to data block 34 of 372 within 10 s", "reply 15 (NAK) to the header, expected
// ACK and C", "the line was lost at data block 200 (the adapter was removed)" ...
std::string describe(const Failure& failure, int packetCount);

// "0%" pattern: value / maximum in single precision, times 100, an exact half rounded away
// from zero (so 0.5 % shows "1%"). A bar without a maximum shows "0%".
std::string percentText(float value, float maximum);

} // namespace qx::transfer
