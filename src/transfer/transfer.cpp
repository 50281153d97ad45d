// The update transfer's state machine.
#include "transfer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qx::transfer {

Step stepOf(int sendState, int packetCount)
{
    if (sendState == 0)
        return Step::Menu;
    if (sendState == 1)
        return Step::Header;
    if (sendState >= 2 && sendState <= packetCount + 1)
        return Step::Data;
    if (sendState == packetCount + 2)
        return Step::EndOfTransmission;
    if (sendState == packetCount + 3)
        return Step::ClosingHeader;
    return Step::None;
}

const StepRule& ruleOf(Step step)
{
    return kStepRules.at(static_cast<std::size_t>(step));
}

std::array<std::uint8_t, package::kHeaderPacketSize> closingHeader()
{
    std::array<std::uint8_t, package::kHeaderPacketSize> block{};
    block[0] = SOH;
    block[1] = 0x00;
    block[2] = 0xFF;
    return block;
}

std::vector<std::uint8_t> sendBytes(int sendState, const package::Package& package)
{
    switch (stepOf(sendState, package.packetCount)) {
    case Step::Menu:
        return {kMenuUpdate};
    case Step::Header:
        return {package.headerPacket.begin(), package.headerPacket.end()};
    case Step::Data: {
        // 32-bit offsets: from the 33rd packet on they pass 16 bits.
        const std::size_t offset =
            static_cast<std::size_t>(sendState - 2) * package::kDataPacketSize;
        if (offset + package::kDataPacketSize > package.packageData.size())
            return {};
        const auto first = package.packageData.begin() + static_cast<std::ptrdiff_t>(offset);
        return {first, first + package::kDataPacketSize};
    }
    case Step::EndOfTransmission:
        return {EOT};
    case Step::ClosingHeader: {
        const auto block = closingHeader();
        return {block.begin(), block.end()};
    }
    case Step::None:
        break;
    }
    return {};
}

bool endsWithRequest(std::span<const std::uint8_t> reply)
{
    return !reply.empty() && reply.back() == kRequest;
}

bool beginsWithAck(std::span<const std::uint8_t> reply)
{
    return !reply.empty() && reply.front() == ACK;
}

Verdict judgeReply(int sendState, int packetCount, std::span<const std::uint8_t> reply)
{
    if (reply.empty())
        return Verdict::Ignore;
    const Step step = stepOf(sendState, packetCount);
    if (step == Step::None)
        return Verdict::Fail;
    const bool accepted = ruleOf(step).acceptance == Acceptance::EndsWithRequest
                              ? endsWithRequest(reply)
                              : beginsWithAck(reply);
    if (step == Step::ClosingHeader)
        return accepted ? Verdict::Complete : Verdict::KeepWaiting;
    return accepted ? Verdict::Advance : Verdict::Fail;
}

bool awaitsRest(int sendState, int packetCount, std::span<const std::uint8_t> reply)
{
    const Step step = stepOf(sendState, packetCount);
    if (step == Step::None || reply.size() >= std::size_t(ruleOf(step).replyThreshold))
        return false;
    return reply.empty() || ruleOf(step).acceptance != Acceptance::BeginsWithAck ||
           beginsWithAck(reply);
}

namespace {

constexpr std::size_t kRepliesShown = 16; // bytes of a wrong reply that a reason spells out

// "15 18 43 (NAK CAN C)": each byte in hex, then what it means on this line.
std::string spell(std::span<const std::uint8_t> bytes)
{
    static const std::pair<std::uint8_t, const char*> kNames[] = {
        {SOH, "SOH"}, {STX, "STX"}, {EOT, "EOT"}, {ACK, "ACK"}, {NAK, "NAK"}, {CAN, "CAN"},
    };
    std::string hex, names;
    const std::size_t shown = std::min(bytes.size(), kRepliesShown);
    for (std::size_t i = 0; i < shown; ++i) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", bytes[i]);
        hex.append(i ? " " : "").append(two);
        std::string name =
            bytes[i] >= 0x21 && bytes[i] < 0x7F ? std::string(1, char(bytes[i])) : std::string("?");
        for (const auto& [byte, known] : kNames)
            if (bytes[i] == byte)
                name = known;
        names.append(i ? " " : "").append(name);
    }
    if (bytes.size() > shown)
        hex += " and " + std::to_string(bytes.size() - shown) + " more";
    return hex + " (" + names + ")";
}

} // namespace

std::string stepName(int sendState, int packetCount)
{
    if (sendState == kQueryState)
        return "the version command";
    const Step step = stepOf(sendState, packetCount);
    if (step == Step::None)
        return "state " + std::to_string(sendState);
    const std::string name = ruleOf(step).name;
    if (step != Step::Data)
        return name;
    return name + " " + std::to_string(sendState - 1) + " of " + std::to_string(packetCount);
}

std::string describe(const Failure& failure, int packetCount)
{
    const std::string step = stepName(failure.sendState, packetCount);
    const Step s = stepOf(failure.sendState, packetCount);
    const bool query = failure.sendState == kQueryState;
    switch (failure.cause) {
    case Cause::NoReply: {
        const int ms = query ? kQueryTimeoutMs : s == Step::None ? 0 : ruleOf(s).watchdogMs;
        const std::string within = " within " + std::to_string(ms / 1000) + " s";
        if (!failure.reply.empty())
            return "an incomplete answer to " + step + within + ": " + spell(failure.reply);
        if (!failure.detail.empty())
            return "an incomplete answer to " + step + within + " (" + failure.detail + ")";
        return "no answer to " + step + within;
    }
    case Cause::WrongReply:
        return "reply " + spell(failure.reply) + " to " + step +
               (query || s == Step::None ? "" : std::string(", expected ") + ruleOf(s).expected);
    case Cause::LineLost:
        return "the line was lost at " + step + " (" + failure.detail + ")";
    case Cause::PortRefused:
        return "the port refused " + step + " (" + failure.detail + ")";
    case Cause::ReplyTooLong:
        return "the version reply ran past " + std::to_string(kVersionReplyLimit) + " reads";
    case Cause::Interrupted:
        return "interrupted at " + step;
    case Cause::OtherProduct:
        return "the device runs " + failure.detail + ", another product's firmware";
    case Cause::Newer:
        return "the device runs " + failure.detail;
    case Cause::NotUpdated:
        return "the device reports " + failure.detail + " after the update";
    case Cause::Left:
        return (failure.reply.empty() ? "no answer to " : "no whole answer to ") + step +
               " before the next command" +
               (failure.reply.empty() ? "" : ": " + spell(failure.reply));
    }
    return step;
}

std::string percentText(float value, float maximum)
{
    if (!(maximum > 0.0f))
        return "0%";
    const float ratio = value / maximum;
    return std::to_string(std::lround(ratio * 100.0f)) + "%";
}

} // namespace qx::transfer
