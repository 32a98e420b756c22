#include "TcpLinkPort.h"

#include <QNetworkProxy>

#include <utility>

namespace {
// What a link may hold unread (as the serial port).
constexpr qint64 kMaxUnreadBytes = qint64(64) * 1024;
} // namespace

TcpLinkPort::TcpLinkPort(QObject *parent) : LinkPort(parent)
{
    m_socket.setReadBufferSize(kMaxUnreadBytes);
    m_socket.setProxy(QNetworkProxy::NoProxy);
    connect(&m_socket, &QTcpSocket::connected, this, &TcpLinkPort::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = m_socket.readAll();
        if (!bytes.isEmpty())
            emit bytesReceived(bytes);
    });
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) { onError(); });
    connect(&m_socket, &QTcpSocket::disconnected, this, &TcpLinkPort::onDisconnected);

    m_connectTimer.setSingleShot(true);
    m_connectTimer.setInterval(kConnectTimeoutMs);
    connect(&m_connectTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Connecting)
            failOpening(QStringLiteral("TCP connect timeout"));
    });
}

QString TcpLinkPort::errorText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QStringLiteral("Connection refused");
    case QAbstractSocket::RemoteHostClosedError: return QStringLiteral("Remote host closed the connection");
    case QAbstractSocket::HostNotFoundError: return QStringLiteral("Host not found");
    case QAbstractSocket::SocketAccessError: return QStringLiteral("TCP access denied");
    case QAbstractSocket::SocketResourceError: return QStringLiteral("TCP resource error");
    case QAbstractSocket::SocketTimeoutError: return QStringLiteral("TCP timeout");
    case QAbstractSocket::NetworkError: return QStringLiteral("Network error");
    case QAbstractSocket::AddressInUseError: return QStringLiteral("Address already in use");
    case QAbstractSocket::SocketAddressNotAvailableError: return QStringLiteral("TCP address not available");
    case QAbstractSocket::UnsupportedSocketOperationError: return QStringLiteral("TCP operation not supported");
    case QAbstractSocket::TemporaryError: return QStringLiteral("Temporary TCP error");
    default: return QStringLiteral("TCP error");
    }
}

void TcpLinkPort::open(const QString &address)
{
    m_quiet = true;
    m_socket.abort();
    if (!m_local.isNull())
        m_socket.bind(m_local, 0);
    m_quiet = false;
    m_state = State::Connecting;
    // Armed first: a connect that fails at once must not leave it running
    // for the next attempt.
    m_connectTimer.start();
    m_socket.connectToHost(QHostAddress(address), kPort, QIODevice::ReadWrite);
}

void TcpLinkPort::close()
{
    m_state = State::Closed;
    m_connectTimer.stop();
    const bool quiet = std::exchange(m_quiet, true);
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
    m_quiet = quiet;
}

void TcpLinkPort::writeBytes(const QByteArray &bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

void TcpLinkPort::failOpening(const QString &message)
{
    close();
    emit openFailed(message);
}

void TcpLinkPort::onConnected()
{
    if (m_state != State::Connecting)
        return;
    m_connectTimer.stop();
    m_state = State::Open;
    emit opened();
}

void TcpLinkPort::onError()
{
    if (m_quiet || m_state == State::Closed)
        return;
    const QString text = errorText(m_socket.error());
    if (m_state == State::Connecting) {
        failOpening(text);
        return;
    }
    close();
    emit communicationError(text, true);
}

void TcpLinkPort::onDisconnected()
{
    if (m_quiet || m_state == State::Closed)
        return;
    if (m_state == State::Connecting) {
        failOpening(QStringLiteral("TCP connection closed"));
        return;
    }
    m_state = State::Closed;
    emit disconnected();
}
