#pragma once

#include "LinkPort.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

// The instrument on TCP port 1234, reached without a proxy and from the
// local address of the interface that leads to it.
class TcpLinkPort : public LinkPort
{
    Q_OBJECT
public:
    static constexpr quint16 kPort = 1234;
    static constexpr int kConnectTimeoutMs = 3000;

    explicit TcpLinkPort(QObject *parent = nullptr);

    // Bound to this local address at the next open (null: any).
    void setLocalAddress(const QHostAddress &address) { m_local = address; }
    void open(const QString &address) override;
    void close() override;
    void writeBytes(const QByteArray &bytes) override;

    static QString errorText(QAbstractSocket::SocketError error);

private:
    enum class State { Closed, Connecting, Open };
    void onConnected();
    void onError();
    void onDisconnected();
    void failOpening(const QString &message);

    QTcpSocket m_socket;
    QTimer m_connectTimer;
    QHostAddress m_local;
    State m_state = State::Closed;
    bool m_quiet = false; // the socket's own signals from inside abort() and bind()
};
