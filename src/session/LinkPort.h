#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// One transport to the instrument. The session opens it, writes whole frames
// and hears what comes back; whether it is a serial port, a TCP socket or a
// test's own stays behind this face.
class LinkPort : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Starts opening `target` (a port name or an IPv4 address): ends in
    // opened() or openFailed(), possibly before this returns.
    virtual void open(const QString &target) = 0;
    // Closes at once; nothing is signalled from inside the call.
    virtual void close() = 0;
    virtual void writeBytes(const QByteArray &bytes) = 0;

signals:
    void opened();
    void openFailed(const QString &message);
    void bytesReceived(const QByteArray &bytes);
    // The peer ended the link without an error of its own.
    void disconnected();
    // A transport error: with `fatal` the link is gone (the port is closed
    // already), otherwise only worth a message.
    void communicationError(const QString &message, bool fatal);
};
