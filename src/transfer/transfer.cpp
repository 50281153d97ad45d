// The update transfer's state machine.
#include "transfer.h"

#include <cmath>

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

std::string percentText(float value, float maximum)
{
    if (!(maximum > 0.0f))
        return "0%";
    const float ratio = value / maximum;
    return std::to_string(std::lround(ratio * 100.0f)) + "%";
}

} // namespace qx::transfer
