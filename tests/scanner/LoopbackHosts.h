#pragma once

// Made-up interfaces whose subnets lie on loopback, and the listeners that
// play instruments there. A probe needs only the TCP handshake, so a plain
// listener counts as an instrument.

#include "NetInterfaces.h"
#include "TcpLanScanner.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTest>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

inline NetInterface fakeInterface(const QString &name, const QList<QPair<QString, QString>> &entries)
{
    NetInterface iface;
    iface.name = name;
    iface.up = true;
    for (const auto &e : entries)
        iface.entries.append({QHostAddress(e.first), QHostAddress(e.second)});
    return iface;
}

inline std::unique_ptr<QTcpServer> listenOn(const QString &ip)
{
    auto server = std::make_unique<QTcpServer>();
    if (!server->listen(QHostAddress(ip), TcpLanScanner::kPort))
        qWarning("cannot listen on %s: %s", qPrintable(ip), qPrintable(server->errorString()));
    return server;
}

// An address whose handshakes hang: a listener with a full accept queue
// drops further SYNs, so a probe there stays open until its time limit.
class SilentHost
{
public:
    explicit SilentHost(const char *ip)
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(TcpLanScanner::kPort);
        inet_pton(AF_INET, ip, &addr.sin_addr);
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        m_ok = m_listener >= 0
            && ::bind(m_listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0
            && ::listen(m_listener, 0) == 0;
        // Backlog 0 still queues one connection; fill it (and a spare).
        for (int i = 0; m_ok && i < 2; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
            m_fillers.push_back(fd);
        }
        QTest::qWait(50);
    }
    ~SilentHost()
    {
        for (int fd : m_fillers)
            ::close(fd);
        if (m_listener >= 0)
            ::close(m_listener);
    }
    bool ok() const { return m_ok; }

private:
    int m_listener = -1;
    bool m_ok = false;
    std::vector<int> m_fillers;
};
