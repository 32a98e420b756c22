#include "MetricsEndpoint.h"

#include "Ipv4.h"

#include <CivetServer.h>
#include <civetweb.h>
#include <prometheus/exposer.h>

#include <QHostAddress>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

namespace {

// civetweb tells why it could not listen only through its log callback,
// which has no user pointer at that stage; one start runs at a time.
std::mutex s_startMutex;
std::string s_startError;
bool s_starting = false;

int logMessage(const mg_connection *, const char *message)
{
    const std::lock_guard<std::mutex> lock(s_startMutex);
    if (s_starting && s_startError.empty() && message)
        s_startError = message;
    // Nothing on stderr: a hostile client must not fill the journal.
    return 1;
}

int answer(mg_connection *conn, int status, const char *reason, const char *extraHeader, const char *body)
{
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n%s\r\n%s",
              status, reason, std::strlen(body), extraHeader, body);
    return status;
}

// Runs on the server's threads before any handler: everything but GET
// /metrics is answered here, so nothing else reaches a handler.
int filterRequest(mg_connection *conn)
{
    const mg_request_info *info = mg_get_request_info(conn);
    const char *path = info ? info->local_uri : nullptr;
    if (!path || std::strcmp(path, "/metrics") != 0)
        return answer(conn, 404, "Not Found", "", "Only /metrics is served here.\n");
    if (!info->request_method || std::strcmp(info->request_method, "GET") != 0)
        return answer(conn, 405, "Method Not Allowed", "Allow: GET\r\n", "Only GET is served here.\n");
    return 0;
}

} // namespace

QString MetricsEndpoint::Address::hostPort() const
{
    return (isIpv6() ? QLatin1Char('[') + host + QLatin1Char(']') : host) + QLatin1Char(':')
        + QString::number(port);
}

std::optional<MetricsEndpoint::Address> MetricsEndpoint::parseAddress(const QString &text, QString *why)
{
    const auto refuse = [why](const QString &reason) -> std::optional<Address> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    const QString t = text.trimmed();
    Address a;
    QString portText;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.indexOf(QLatin1String("]:"));
        if (close < 0)
            return refuse(QStringLiteral("an IPv6 address wants brackets and a port: [::1]:9472"));
        const QHostAddress v6(t.mid(1, close - 1));
        // A scope (fe80::1%eth0) names an interface; civetweb takes none.
        if (v6.protocol() != QAbstractSocket::IPv6Protocol || t.mid(1, close - 1).contains(QLatin1Char('%')))
            return refuse(QStringLiteral("\"%1\" is not an IPv6 address").arg(t.mid(1, close - 1)));
        a.host = v6.toString();
        portText = t.mid(close + 2);
    } else if (!t.contains(QLatin1Char(':'))) {
        a.host = QStringLiteral("127.0.0.1");
        portText = t;
    } else {
        const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
        const QString host = t.left(colon);
        portText = t.mid(colon + 1);
        if (host == QLatin1String("localhost"))
            a.host = QStringLiteral("127.0.0.1");
        else if (!ipv4::parseIpv4(host, &a.host))
            return refuse(QStringLiteral("\"%1\" is not an IPv4 address (IPv6 goes in brackets: [::1]:9472)").arg(host));
    }
    bool ok = !portText.isEmpty() && std::all_of(portText.cbegin(), portText.cend(), [](QChar c) { return c.isDigit(); });
    const uint port = ok ? portText.toUInt(&ok, 10) : 0;
    if (!ok || port < 1 || port > 65535)
        return refuse(QStringLiteral("the port wants a whole number from 1 to 65535"));
    a.port = quint16(port);
    return a;
}

MetricsEndpoint::MetricsEndpoint() = default;

MetricsEndpoint::~MetricsEndpoint()
{
    stop();
}

bool MetricsEndpoint::start(const Address &address, const std::weak_ptr<prometheus::Collectable> &metrics,
                            QString *error)
{
    stop();
    // Feature 8 is IPv6; Debian 12's civetweb is built without it.
    if (address.isIpv6() && !mg_check_feature(8)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1: this build's HTTP server (civetweb) has no IPv6")
                         .arg(address.hostPort());
        return false;
    }
    const std::vector<std::string> options = {
        "listening_ports", address.hostPort().toStdString(),
        "num_threads", std::to_string(kThreads),
        "connection_queue", std::to_string(kQueuedConnections),
        "listen_backlog", std::to_string(kListenBacklog),
        "request_timeout_ms", std::to_string(kRequestTimeoutMs),
        "max_request_size", std::to_string(kMaxRequestBytes),
        // One request per connection: an idle kept-alive client would hold
        // one of the few threads.
        "enable_keep_alive", "no",
    };
    CivetCallbacks callbacks;
    callbacks.begin_request = filterRequest;
    callbacks.log_message = logMessage;

    {
        const std::lock_guard<std::mutex> lock(s_startMutex);
        s_starting = true;
        s_startError.clear();
    }
    std::string reason;
    try {
        m_exposer = std::make_unique<prometheus::Exposer>(options, &callbacks);
        m_exposer->RegisterCollectable(metrics);
        const std::vector<int> ports = m_exposer->GetListeningPorts();
        m_port = ports.empty() ? address.port : quint16(ports.front());
    } catch (const std::exception &e) {
        m_exposer.reset();
        reason = e.what();
    }
    {
        const std::lock_guard<std::mutex> lock(s_startMutex);
        s_starting = false;
        if (!s_startError.empty())
            reason = s_startError;
    }
    if (m_exposer)
        return true;
    if (error)
        *error = QStringLiteral("cannot listen on %1: %2").arg(address.hostPort(), QString::fromStdString(reason).trimmed());
    return false;
}

void MetricsEndpoint::stop()
{
    m_exposer.reset();
    m_port = 0;
}
