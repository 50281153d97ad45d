// The serial-port control as the transfer's Port, the control's events routed to the session
// and the job on it: receive events (code 2) to the one, the lost line to the other. Here,
// where the job meets its port, the job's trace is taken: each write with its state, each
// read as it arrives, what a clear drops, a refusal and the lost line.
#pragma once

#include "commport.h"
#include "portjob.h"
#include "session.h"
#include "trace.h"

#include <exception>

namespace qx::service {

class CommLink : public transfer::Port
{
public:
    explicit CommLink(serial::CommPort& port) : port_(port) {}

    // Raises `session`'s receive events and `job`'s line loss from the port's.
    void route(transfer::Session& session, transfer::PortJob& job)
    {
        QObject::connect(&port_, &serial::CommPort::received, &session,
                         [this](const QByteArray& bytes) {
                             if (trace_)
                                 trace_->read(bytes);
                         });
        QObject::connect(&port_, &serial::CommPort::commEvent, &session, [&session](int code) {
            if (code == serial::CommPort::comEvReceive)
                session.receive();
        });
        QObject::connect(&port_, &serial::CommPort::linkLost, &job,
                         [this, &job](const QString& description) {
                             if (trace_)
                                 trace_->line(transfer::LineEvent::Lost, description);
                             job.lineLost(description);
                         });
    }
    // The current job's trace; none: nothing is kept.
    void setTrace(transfer::Trace* trace) { trace_ = trace; }

    void setHandshakingNone() override
    {
        traced([this] { port_.setHandshaking(serial::CommPort::Handshaking::None); });
    }
    void setDtr(bool on) override
    {
        traced([this, on] { port_.setDtrEnable(on); });
    }
    void setTextInput(bool text) override
    {
        traced([this, text] {
            port_.setInputMode(text ? serial::CommPort::InputMode::Text
                                    : serial::CommPort::InputMode::Binary);
        });
    }
    void setReplyThreshold(int bytes) override { port_.setRThreshold(bytes); }
    // What waits is read first, so that the trace has it as it came, then kept as dropped.
    void clearReceive() override
    {
        traced([this] {
            if (trace_ && port_.bytesWaiting() > 0)
                trace_->read(read(), true);
            port_.clearReceive();
        });
    }
    void clearTransmit() override
    {
        traced([this] { port_.clearTransmit(); });
    }
    void write(int sendState, std::span<const std::uint8_t> bytes) override
    {
        if (trace_)
            trace_->sent(sendState, bytes);
        traced([this, bytes] { port_.output(bytes); });
    }
    QByteArray read() override
    {
        const serial::CommPort::Input input = port_.input();
        if (const auto* text = std::get_if<QString>(&input))
            return text->toLatin1();
        return std::get<QByteArray>(input);
    }
    qint64 waiting() const override { return port_.bytesWaiting(); }

private:
    // Runs a port operation; a refusal is kept in the trace, in the port's words, and thrown on.
    template <typename Operation> void traced(Operation operation)
    {
        try {
            operation();
        } catch (const std::exception& error) {
            if (trace_)
                trace_->line(transfer::LineEvent::Refused, QString::fromUtf8(error.what()));
            throw;
        }
    }

    serial::CommPort& port_;
    transfer::Trace* trace_ = nullptr;
};

} // namespace qx::service
