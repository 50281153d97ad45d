// What the program needs of the operating system besides the serial line, one implementation a
// platform: requests to end the process, keeping the machine awake, where the service record
// lives and who writes it, and creating and appending to a file that other programs append to.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>
#include <memory>

class QProcess;

namespace qx::platform {

// Every way the process is asked to end, as one Qt signal on the main thread, so that a face
// can record what runs as interrupted and close its ports before it exits: Ctrl+C, SIGTERM and
// SIGHUP on Linux (SIGPIPE is ignored from then on: a reader that goes away ends nothing); on
// Windows the console closing, and for a program without windows of its own the session
// ending. Made after the application object.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject* parent = nullptr);
    ~InterruptWatcher() override; // the console may close now: the ports are closed

signals:
    void interrupted(const QString& what); // "Ctrl+C", "the terminal went away", ...

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// Keeps the machine from sleeping while held: a logind inhibitor lock ("sleep:idle") on the
// system bus, or SetThreadExecutionState. Where the platform refuses, nothing is held, and the
// refusal is named once a process on standard error.
class SleepHold : public QObject
{
    Q_OBJECT

public:
    explicit SleepHold(QObject* parent = nullptr);
    ~SleepHold() override; // released
    void hold(const QString& why);
    void release();

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The user's folder for the service record: $XDG_STATE_HOME/qx-lp4r-updater (by default
// ~/.local/state/qx-lp4r-updater), or %LOCALAPPDATA%\QX-LP4R Firmware Updater.
QString serviceRecordFolder();
QString userName();

// The station's default profile, which only an administrator may write:
// /etc/qx-lp4r-updater/station.ini, or %ProgramData%\QX-LP4R Firmware Updater\station.ini.
QString defaultProfilePath();
// Whether the running user is the administrator: root, or an elevated Windows administrator.
bool isAdministrator();
// Whether the running user could change `path` (a file, or a folder's entries).
bool userMayWrite(const QString& path);

// Makes `path` hold `bytes` unless it exists: nobody ever sees it without them (but on a file
// system that can neither link nor rename without replacing). False if it could not be made
// (it may exist all the same).
bool createWith(const QString& path, const QByteArray& bytes);
#ifndef Q_OS_WIN
// How createWith() links its file into place; tests stand in a file system without hard links.
extern int (*makeHardLink)(const char* from, const char* to);
#endif
// Appends `bytes` in one write on a handle opened for appending, so that lines of other
// programs appending at the same time are neither cut nor interleaved, and flushes them to
// the disk. A write cut short leaves nothing behind where no other program wrote meanwhile.
// The reason in words when it fails (a locked, read-only or full file), else empty.
QString appendWhole(const QString& path, const QByteArray& bytes);

// Writes `line` and a line end to standard output or error (`stream`) in one write, in UTF-8,
// or as the console's own characters where it is a Windows console.
void printLine(std::FILE* stream, const QString& line);

// Ties a child `process`, before it is started, to this one: when this process ends in any way,
// SIGKILL included, the child is ended too (a parent-death signal; a job object on Windows).
void endsWithThisProcess(QProcess& process);

} // namespace qx::platform
