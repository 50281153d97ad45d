// A pseudo-terminal standing in for the serial line: the program opens the slave as its
// port, the test (or the boot-loader simulator) holds the master.
#pragma once

#include "devicemap.h"

#include <QString>

class Pty
{
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool isOpen() const { return master_ >= 0; }
    int masterFd() const { return master_; }
    QString slavePath() const { return slavePath_; }
    // Closes the master: the line hangs up under the program's feet.
    void hangUp();
    // The kernel's view of a USB adapter pulled out: every open of the slave is hung up
    // (reads see end-of-file, writes EIO), as usb-serial does on disconnect.
    void removeAdapter();

    // The device map entry that puts this pty in the port list.
    qx::serial::SerialDevice device() const;

private:
    int master_ = -1;
    int slave_ = -1; // held open so the line stays up between the program's opens
    QString slavePath_;
};

// A device source listing exactly these ptys (they become COM97, COM98, ... in path order).
qx::serial::DeviceSource ptySource(const QList<const Pty*>& ptys);
