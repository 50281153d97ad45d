// The serial-port control as the transfer's Port, the control's events routed to the session
// and the job on it: receive events (code 2) to the one, the lost line to the other.
#pragma once

#include "commport.h"
#include "portjob.h"
#include "session.h"

namespace qx::service {

class CommLink : public transfer::Port
{
public:
    explicit CommLink(serial::CommPort& port) : port_(port) {}

    // Raises `session`'s receive events and `job`'s line loss from the port's.
    void route(transfer::Session& session, transfer::PortJob& job)
    {
        QObject::connect(&port_, &serial::CommPort::commEvent, &session, [&session](int code) {
            if (code == serial::CommPort::comEvReceive)
                session.receive();
        });
        QObject::connect(&port_, &serial::CommPort::linkLost, &job, &transfer::PortJob::lineLost);
    }

    void setHandshakingNone() override
    {
        port_.setHandshaking(serial::CommPort::Handshaking::None);
    }
    void setDtr(bool on) override { port_.setDtrEnable(on); }
    void setTextInput(bool text) override
    {
        port_.setInputMode(text ? serial::CommPort::InputMode::Text
                                : serial::CommPort::InputMode::Binary);
    }
    void setReplyThreshold(int bytes) override { port_.setRThreshold(bytes); }
    void clearReceive() override { port_.clearReceive(); }
    void clearTransmit() override { port_.clearTransmit(); }
    void write(std::span<const std::uint8_t> bytes) override { port_.output(bytes); }
    QByteArray read() override
    {
        const serial::CommPort::Input input = port_.input();
        if (const auto* text = std::get_if<QString>(&input))
            return text->toLatin1();
        return std::get<QByteArray>(input);
    }
    qint64 waiting() const override { return port_.bytesWaiting(); }

private:
    serial::CommPort& port_;
};

} // namespace qx::service
