#pragma once

// The HTTP side of `serve`: GET /metrics in the Prometheus text format.
//
// prometheus-cpp's exposer (civetweb underneath) rather than Qt HTTP Server:
// it answers from a small thread pool of its own, so a scrape or a hostile
// client never runs on the Qt thread that polls the instrument; civetweb
// bounds each connection (request size, a deadline for the whole request
// header) and queues at most a fixed number of accepted connections, leaving
// the rest in the kernel's listen backlog. Qt HTTP Server 6.4 runs on the
// event loop, buffers a request body whole and has no deadline for a slow
// client. The exposition (escaping, number format, gzip) is the library's,
// and its registry is safe to update from one thread while others collect.
//
// Read-only: GET /metrics is the one request served; any other path is 404,
// any other method on /metrics 405.

#include <QString>

#include <memory>
#include <optional>

namespace prometheus {
class Collectable;
class Exposer;
} // namespace prometheus

class MetricsEndpoint
{
public:
    // Limits of the HTTP server: connections in service at once, accepted
    // ones waiting for a thread, the kernel's queue behind them, the time a
    // client has for its whole request header, and the largest header.
    static constexpr int kThreads = 4;
    static constexpr int kQueuedConnections = 16;
    static constexpr int kListenBacklog = 64;
    static constexpr int kRequestTimeoutMs = 2000;
    static constexpr int kMaxRequestBytes = 8192;

    struct Address {
        QString host; // an IPv4 or IPv6 address
        quint16 port = 0;

        bool isIpv6() const { return host.contains(QLatin1Char(':')); }
        // "127.0.0.1:9472", "[::1]:9472"
        QString hostPort() const;
    };

    // "PORT" (on 127.0.0.1), "IPV4:PORT", "localhost:PORT" or "[IPV6]:PORT";
    // nullopt with the reason in `why`.
    static std::optional<Address> parseAddress(const QString &text, QString *why);

    MetricsEndpoint();
    ~MetricsEndpoint();

    MetricsEndpoint(const MetricsEndpoint &) = delete;
    MetricsEndpoint &operator=(const MetricsEndpoint &) = delete;

    // Serves `metrics` at /metrics; false with the reason in `error` when
    // nothing listens. Port 0 takes a free one (see port()).
    bool start(const Address &address, const std::weak_ptr<prometheus::Collectable> &metrics, QString *error);
    // Stops serving; returns once the server's threads have ended.
    void stop();
    bool listening() const { return m_exposer != nullptr; }
    quint16 port() const { return m_port; }

private:
    std::unique_ptr<prometheus::Exposer> m_exposer;
    quint16 m_port = 0;
};
