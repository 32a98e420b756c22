#include "SimInstrument.h"

#include "DetectorModel.h"
#include "SimConnection.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kMinPeriodMs = 1;
constexpr int kMaxPeriodMs = 60000;
constexpr int kAllChannels = 15;
// The recordings are for tests; a long-running zrf-sim must not grow forever.
constexpr qsizetype kMaxRecordedFrames = 100000;
constexpr qsizetype kMaxRecordedBytes = qsizetype(4) * 1024 * 1024;

zrf::Frame ok(unsigned char cmd, const QByteArray &payload = {})
{
    return {cmd, payload};
}

zrf::Frame failed()
{
    return {zrf::kFailed, {}};
}

bool unusableCode(int code)
{
    return code == zrf::kFailed || code == zrf::kStart || code == zrf::kEnd || code == zrf::kUnset;
}

// A code the requester will not take for its own answer.
unsigned char otherCode(unsigned char cmd)
{
    unsigned char c = cmd ^ 0x01;
    while (unusableCode(c) || c == cmd)
        c = static_cast<unsigned char>(c + 0x10);
    return c;
}

// A length byte that disagrees with the payload but is still read as a length.
char otherLength(char length)
{
    auto l = static_cast<unsigned char>(length);
    do
        l = static_cast<unsigned char>(l + 1);
    while (l == zrf::kStart || l == zrf::kEnd || l == zrf::kUnset);
    return char(l);
}

QList<double> normalised(QList<double> v)
{
    v.resize(SimInstrument::kChannels, 0.0);
    return v;
}

} // namespace

SimInstrument::SimInstrument(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_thresholds = QList<double>(kChannels, 0.1);
    m_ip = QStringLiteral("192.168.1.50");
    m_netmask = QStringLiteral("255.255.255.0");
    m_gateway = QStringLiteral("192.168.1.1");
    // Distinct channels, so a plot shows them apart.
    for (int ch = 0; ch < kChannels; ++ch) {
        Channel c;
        c.rate = 2000.0 + 2500.0 * ch;
        c.mean = 0.25 + 0.035 * ch;
        c.sigma = 0.05 + 0.01 * ch;
        m_channels.append(c);
    }
}

SimInstrument::~SimInstrument()
{
    const auto conns = m_connections;
    m_connections.clear();
    for (SimConnection *c : conns)
        delete c;
}

bool SimInstrument::listenTcp(const QHostAddress &address, quint16 port)
{
    if (m_server)
        return false;
    m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            auto *conn = new SimConnection(this, socket);
            m_connections.append(conn);
            if (m_faults.flood)
                QTimer::singleShot(m_faults.floodDelayMs, conn, [this, conn] { conn->setFlood(m_faults.flood); });
            emit clientConnected();
        }
    });
    if (!m_server->listen(address, port)) {
        delete m_server;
        m_server = nullptr;
        return false;
    }
    return true;
}

QString SimInstrument::openPty()
{
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0)
        return {};
    const char *name = nullptr;
    if (::grantpt(fd) != 0 || ::unlockpt(fd) != 0 || !(name = ::ptsname(fd))) {
        ::close(fd);
        return {};
    }
    QString path = QString::fromLocal8Bit(name);
    // Raw from the start, so nothing is echoed or translated before a client
    // configures the slave itself.
    termios tio {};
    if (::tcgetattr(fd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(fd, TCSANOW, &tio);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        ::close(fd);
        return {};
    }
    m_connections.append(new SimConnection(this, fd, path));
    return path;
}

void SimInstrument::setFaults(const SimFaults &faults)
{
    m_faults = faults;
    for (SimConnection *c : std::as_const(m_connections))
        c->setFlood(faults.flood);
}

void SimInstrument::silenceFor(int ms)
{
    m_silentUntilMs = m_clock.elapsed() + qMax(0, ms);
}

bool SimInstrument::silentNow() const
{
    return m_silentUntilMs >= 0 && m_clock.elapsed() < m_silentUntilMs;
}

void SimInstrument::closeConnections()
{
    const auto conns = m_connections;
    for (SimConnection *c : conns) {
        if (c->isTcp())
            c->closeLink();
    }
}

QStringList SimInstrument::ptyPaths() const
{
    QStringList out;
    for (const SimConnection *c : m_connections) {
        if (!c->isTcp())
            out.append(c->ptyPath());
    }
    return out;
}

int SimInstrument::clientCount() const
{
    int n = 0;
    for (const SimConnection *c : m_connections)
        n += c->isTcp() ? 1 : 0;
    return n;
}

void SimInstrument::connectionFinished(SimConnection *conn)
{
    if (!m_connections.removeOne(conn))
        return;
    if (conn->isTcp())
        emit clientDisconnected();
    conn->deleteLater();
}

void SimInstrument::setNetwork(bool dhcp, const QString &ip, const QString &netmask,
                               const QString &gateway)
{
    m_dhcp = dhcp;
    m_ip = ip;
    m_netmask = netmask;
    m_gateway = gateway;
}

void SimInstrument::setChannelModel(int channel, double ratePerSecond, double meanVolts,
                                    double sigmaVolts)
{
    if (channel < 0 || channel >= m_channels.size())
        return;
    Channel &c = m_channels[channel];
    c.rate = std::isfinite(ratePerSecond) ? qMax(0.0, ratePerSecond) : 0.0;
    c.mean = std::isfinite(meanVolts) ? meanVolts : 0.0;
    c.sigma = std::isfinite(sigmaVolts) ? qMax(1e-6, sigmaVolts) : 1e-6;
}

double SimInstrument::expectedCount(int channel) const
{
    if (channel < 0 || channel >= m_channels.size())
        return 0;
    const Channel &c = m_channels.at(channel);
    const double threshold = channel < m_thresholds.size() ? m_thresholds.at(channel) : 0.0;
    if (m_detectorModel)
        return detector::rateAbove(detector::channel(channel), threshold * 1000.0) * (m_periodMs / 1000.0);
    // Share of pulses taller than the threshold under a Gaussian height spread.
    const double above = 0.5 * std::erfc((threshold - c.mean) / (c.sigma * std::sqrt(2.0)));
    return c.rate * (m_periodMs / 1000.0) * above;
}

void SimInstrument::overrideReply(unsigned char cmd, const QByteArray &payload, int times)
{
    if (times == 0) {
        m_overrides.remove(cmd);
        return;
    }
    m_overrides.insert(cmd, Override{payload, times});
}

QList<unsigned char> SimInstrument::receivedCommands() const
{
    QList<unsigned char> out;
    out.reserve(m_received.size());
    for (const zrf::Frame &f : m_received)
        out.append(f.command);
    return out;
}

zrf::Frame SimInstrument::respond(const zrf::Frame &request)
{
    const unsigned char cmd = request.command;
    const QByteArray &p = request.payload;

    auto ov = m_overrides.find(cmd);
    if (ov != m_overrides.end()) {
        const QByteArray payload = ov->payload;
        if (ov->times > 0 && --ov->times == 0)
            m_overrides.erase(ov);
        return ok(cmd, payload);
    }

    switch (cmd) {
    case zrf::kWeep:
        if (!m_statePath.isEmpty() && !saveState())
            return failed();
        ++m_eepromWrites;
        m_stored = {normalised(m_thresholds), m_dhcp, m_ip, m_netmask, m_gateway};
        return ok(cmd);
    case zrf::kReadIp:
        return ok(cmd, m_ip.toUtf8());
    case zrf::kReadNetmask:
        return ok(cmd, m_netmask.toUtf8());
    case zrf::kReadGateway:
        return ok(cmd, m_gateway.toUtf8());
    case zrf::kReadMode:
        return ok(cmd, QByteArray(1, m_dhcp ? char(1) : char(0)));
    case zrf::kSetIp:
        m_ip = QString::fromUtf8(p);
        return ok(cmd);
    case zrf::kSetNetmask:
        m_netmask = QString::fromUtf8(p);
        return ok(cmd);
    case zrf::kSetGateway:
        m_gateway = QString::fromUtf8(p);
        return ok(cmd);
    case zrf::kSetDhcp:
        if (p.size() != 1)
            return failed();
        m_dhcp = p.at(0) != 0;
        return ok(cmd);
    case zrf::kNetApply:
        ++m_networkApplies;
        return ok(cmd);
    case zrf::kSdac: {
        QList<double> v;
        if (p.size() != 16 || !zrf::unpackDoubles(p, &v))
            return failed();
        const double chan = v.at(0);
        const double volts = v.at(1);
        if (!std::isfinite(volts) || !std::isfinite(chan) || chan != std::floor(chan))
            return failed();
        const int channel = int(chan);
        if (!(channel >= 0 && channel < kChannels) && channel != kAllChannels)
            return failed();
        // The DAC cannot go outside its range.
        const double level = qBound(0.0, volts, 1.0);
        m_thresholds = normalised(m_thresholds);
        if (channel == kAllChannels)
            m_thresholds.fill(level);
        else
            m_thresholds[channel] = level;
        return ok(cmd);
    }
    case zrf::kCountQuery: {
        if (!m_countRows.isEmpty()) {
            const QList<double> &row = m_countRows.at(m_countRow);
            m_countRow = (m_countRow + 1) % m_countRows.size();
            return ok(cmd, zrf::packDoubles(row));
        }
        QList<double> counts;
        for (int ch = 0; ch < kChannels; ++ch) {
            const double mean = expectedCount(ch);
            if (m_detectorModel) {
                // Real Poisson scatter: the analysis of a sweep relies on it at low counts too.
                counts.append(mean > 0 ? double(std::poisson_distribution<qint64>(mean)(m_rng)) : 0.0);
                continue;
            }
            // Poisson noise, normal approximation; a count is never negative.
            const double sd = std::sqrt(mean);
            double u1 = m_rng.generateDouble();
            const double u2 = m_rng.generateDouble();
            if (u1 < 1e-300)
                u1 = 1e-300;
            const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * M_PI * u2);
            counts.append(std::max(0.0, std::round(mean + sd * z)));
        }
        return ok(cmd, zrf::packDoubles(counts));
    }
    case zrf::kPeriodQuery:
        return ok(cmd, zrf::packDouble(m_periodMs));
    case zrf::kPeriodSet: {
        QList<double> v;
        if (p.size() != 8 || !zrf::unpackDoubles(p, &v) || std::isnan(v.at(0)))
            return failed();
        const double ms = qBound(double(kMinPeriodMs), v.at(0), double(kMaxPeriodMs));
        m_periodMs = int(std::lround(ms));
        return ok(cmd);
    }
    case zrf::kSdacQuery:
        return ok(cmd, zrf::packDoubles(normalised(m_thresholds)));
    default:
        return failed();
    }
}

void SimInstrument::handleBytes(SimConnection *conn, const QByteArray &bytes)
{
    if (m_rawReceived.size() + bytes.size() > kMaxRecordedBytes)
        m_rawReceived.remove(0, qMin(m_rawReceived.size(), m_rawReceived.size() / 2 + bytes.size()));
    m_rawReceived.append(bytes);

    qsizetype pos = 0;
    zrf::Frame frame;
    while (conn->decoder.feed(bytes, pos, frame)) {
        if (m_received.size() >= kMaxRecordedFrames)
            m_received.remove(0, kMaxRecordedFrames / 2);
        m_received.append(frame);
        emit requestReceived(frame.command, frame.payload);
        ++conn->requestsSeen;
        const qint64 nthOfCode = ++m_requestsByCode[frame.command];
        ++m_requestCount;
        if (m_faults.silentAfter > 0 && m_requestCount == m_faults.silentAfter + 1)
            silenceFor(m_faults.silentForMs);
        if (m_faults.dropLinkAfter > 0 && conn->isTcp() && conn->requestsSeen >= m_faults.dropLinkAfter) {
            m_faults.dropLinkAfter = 0;
            conn->closeLink();
            break;
        }
        if (m_faults.silent || silentNow() || conn->isClosing() || conn->requestsSeen <= m_faults.ignoreFirst
            || (m_faults.answerOnly > 0 && conn->requestsSeen > m_faults.answerOnly))
            continue;
        if (m_faults.dropNthCommand == frame.command && nthOfCode == m_faults.dropNth) {
            respond(frame); // carried out; the reply is lost on the way
            continue;
        }
        // A refused command is not carried out.
        const bool refused = m_faults.rejectAll || m_faults.rejectCommand == frame.command
            || (m_faults.rejectNthCommand == frame.command && nthOfCode == m_faults.rejectNth);
        sendReply(conn, refused ? failed() : respond(frame), frame.command);
        if (conn->isClosing() && !conn->isTcp())
            break; // a closed pty cannot take more
    }
}

void SimInstrument::sendReply(SimConnection *conn, const zrf::Frame &reply, unsigned char requestCmd)
{
    const SimFaults &f = m_faults;
    if (f.closeAfterReplies == 0) {
        conn->closeLink();
        return;
    }
    zrf::Frame out = reply;
    if (f.rejectAll || f.rejectCommand == requestCmd)
        out = failed();
    else if (f.wrongCodeCommand == requestCmd)
        out.command = otherCode(requestCmd);

    ++m_replyCounter;
    if (f.dropEvery > 0 && m_replyCounter % f.dropEvery == 0)
        return;
    if (f.dropProbability > 0 && m_rng.generateDouble() < f.dropProbability)
        return;

    QByteArray bytes = zrf::encodeFrame(out.command, out.payload);
    if (f.wrongLengthCommand == requestCmd)
        bytes[2] = otherLength(bytes.at(2));
    bytes.prepend(f.garbage);

    const int delayMs = f.replyDelayMs + (f.lateCommand == requestCmd ? f.lateDelayMs : 0);
    ++conn->repliesQueued;
    const bool closeAfter = f.closeAfterReplies > 0 && conn->repliesQueued >= f.closeAfterReplies;
    if (f.splitChunk <= 0 || f.splitChunk >= bytes.size()) {
        conn->queue(bytes, delayMs, 0, closeAfter);
        return;
    }
    for (qsizetype i = 0; i < bytes.size(); i += f.splitChunk) {
        const bool first = i == 0;
        const bool last = i + f.splitChunk >= bytes.size();
        conn->queue(bytes.mid(i, f.splitChunk), first ? delayMs : 0,
                    first ? 0 : f.splitDelayMs, last && closeAfter);
    }
}

bool SimInstrument::saveState() const
{
    QJsonArray thresholds;
    for (double v : normalised(m_thresholds))
        thresholds.append(v);
    QJsonObject o;
    o.insert(QStringLiteral("thresholds"), thresholds);
    o.insert(QStringLiteral("periodMs"), m_periodMs);
    o.insert(QStringLiteral("dhcp"), m_dhcp);
    o.insert(QStringLiteral("ip"), m_ip);
    o.insert(QStringLiteral("netmask"), m_netmask);
    o.insert(QStringLiteral("gateway"), m_gateway);
    QSaveFile file(m_statePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(o).toJson());
    return file.commit();
}

bool SimInstrument::loadState()
{
    QFile file(m_statePath);
    if (m_statePath.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    // A state file is small; anything large is not ours.
    if (file.size() > qint64(64) * 1024)
        return false;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll());
    if (!doc.isObject())
        return false;
    const QJsonObject o = doc.object();
    const QJsonArray arr = o.value(QStringLiteral("thresholds")).toArray();
    const QJsonValue period = o.value(QStringLiteral("periodMs"));
    const QJsonValue dhcp = o.value(QStringLiteral("dhcp"));
    const QJsonValue ip = o.value(QStringLiteral("ip"));
    const QJsonValue netmask = o.value(QStringLiteral("netmask"));
    const QJsonValue gateway = o.value(QStringLiteral("gateway"));
    if (arr.size() != kChannels || !period.isDouble() || !dhcp.isBool() || !ip.isString()
        || !netmask.isString() || !gateway.isString())
        return false;
    QList<double> thresholds;
    for (const auto &v : arr) {
        if (!v.isDouble() || v.toDouble() < 0.0 || v.toDouble() > 1.0)
            return false;
        thresholds.append(v.toDouble());
    }
    const double ms = period.toDouble();
    if (!(ms >= kMinPeriodMs && ms <= kMaxPeriodMs))
        return false;
    m_thresholds = thresholds;
    m_periodMs = int(std::lround(ms));
    setNetwork(dhcp.toBool(), ip.toString(), netmask.toString(), gateway.toString());
    return true;
}

void SimInstrument::setFixedCounts(const QList<double> &counts)
{
    setCountRotation(counts.isEmpty() ? QList<QList<double>>() : QList<QList<double>>{counts});
}

void SimInstrument::setCountRotation(const QList<QList<double>> &rows)
{
    m_countRows = rows;
    m_countRow = 0;
}

QList<QList<double>> SimInstrument::extremeCountRows()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double max = std::numeric_limits<double>::max();
    const double denormal = std::numeric_limits<double>::denorm_min();
    // A NaN with a payload, as a garbled line might carry.
    const quint64 bits = 0x7FF4DEADBEEF0001ULL;
    double nanPayload = 0;
    std::memcpy(&nanPayload, &bits, sizeof nanPayload);
    return {
        QList<double>(kChannels, max),
        QList<double>(kChannels, 9.3e307),
        QList<double>(kChannels, 3e15),
        {nan, inf, -inf, -0.0, denormal, 1e308, -1e308, 42},
        QList<double>(kChannels, nan),
        QList<double>(kChannels, inf),
        {0, 50, 2000, 3e15, 3e15 + 1, nanPayload, -max, 1},
        QList<double>(kChannels, 8.8e307),
        {1e-300, denormal, -denormal, 0.5, 0.926, 0.999, 1, 2},
    };
}
