#include "Device.h"

#include "DeviceSession.h"
#include "Errors.h"
#include "EventThread.h"
#include "LimitsText.h"
#include "Promise.h"
#include "Wait.h"

#include <QObject>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kMaxBuffer = 100000000;
constexpr double kMaxSeconds = 1e7;
// Closing at exit: the held-back write's time-out and a little more.
constexpr auto kCloseAllLimit = std::chrono::milliseconds(2 * DeviceSession::kCommandTimeoutMs + 1500);

// Links that may still be open, for the exit.
std::mutex g_linksMutex;
std::vector<std::weak_ptr<Link>> g_links;

void remember(const std::shared_ptr<Link> &link)
{
    const std::lock_guard<std::mutex> lock(g_linksMutex);
    g_links.erase(std::remove_if(g_links.begin(), g_links.end(), [](const auto &w) { return w.expired(); }),
                  g_links.end());
    g_links.push_back(link);
}

// --- arguments: checked before anything is sent, ValueError otherwise -----

bool isNumber(const py::handle &v)
{
    return !PyBool_Check(v.ptr()) && (PyLong_Check(v.ptr()) || PyFloat_Check(v.ptr()) || PyIndex_Check(v.ptr())
                                      || PyNumber_Check(v.ptr()))
        && !PyUnicode_Check(v.ptr());
}

std::optional<double> numberOf(const py::handle &v)
{
    if (!isNumber(v))
        return std::nullopt;
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    return d;
}

double number(const py::handle &v, double min, double max, const std::string &message)
{
    const auto d = numberOf(v);
    if (!d || !std::isfinite(*d) || *d < min || *d > max)
        errors::invalid(message);
    return *d;
}

long long wholeNumber(const py::handle &v, long long min, long long max, const std::string &message)
{
    const auto d = numberOf(v);
    if (!d || !std::isfinite(*d) || std::floor(*d) != *d || *d < double(min) || *d > double(max))
        errors::invalid(message);
    return static_cast<long long>(*d);
}

std::optional<QString> textOf(const py::handle &v)
{
    if (!PyUnicode_Check(v.ptr()))
        return std::nullopt;
    return QString::fromStdString(v.cast<std::string>());
}

// A message with the ranges of the table of limits.
std::string limitsText(const char *text)
{
    return limits::filled(text).toStdString();
}

// The channel as the session takes it: 0..7, or kAllChannels for "all".
int channelOf(const py::handle &v)
{
    const auto text = textOf(v);
    if (text && text->trimmed().compare(QLatin1String("all"), Qt::CaseInsensitive) == 0)
        return DeviceSession::kAllChannels;
    return int(wholeNumber(v, 0, DeviceSession::kChannelCount - 1,
                           limitsText("the channel wants 0 to {last_channel} or \"all\"")));
}

double levelMvOf(const py::handle &v)
{
    return number(v, 0.0, limits::kMaxLevelMv, limitsText("the level wants a number of mV from 0 to {max_mv}"));
}

// An address the client's own check takes, with its message.
QString address(const py::handle &v, DeviceError invalid, bool zeroAllowed)
{
    const auto text = textOf(v);
    QString normalised;
    if (!text || !DeviceSession::parseIpv4(*text, &normalised)
        || (!zeroAllowed && normalised == QLatin1String("0.0.0.0")))
        errors::invalid(deviceErrorText(invalid).toStdString());
    return normalised;
}

std::string plural(std::uint64_t n, const char *one, const char *many)
{
    return std::to_string(n) + ' ' + (n == 1 ? one : many);
}

} // namespace

// --- opening and closing ---------------------------------------------------

std::shared_ptr<Device> Device::connect(const py::object &tcp, const py::object &serial, const py::object &buffer)
{
    LinkTarget target;
    if (!tcp.is_none() && !serial.is_none())
        errors::invalid("connect takes tcp or serial, not both");
    if (!tcp.is_none() || !serial.is_none()) {
        // The client's own checks, with its messages.
        const bool overTcp = !tcp.is_none();
        DeviceError why = overTcp ? DeviceError::InvalidIpAddress : DeviceError::NoPortSelected;
        const auto text = textOf(overTcp ? tcp : serial);
        std::optional<LinkTarget> chosen;
        if (text)
            chosen = overTcp ? LinkTarget::tcp(*text, &why) : LinkTarget::serial(*text, &why);
        if (!chosen)
            errors::invalid(deviceErrorText(why).toStdString());
        target = *chosen;
    }
    std::size_t capacity = kDefaultBuffer;
    if (!buffer.is_none())
        capacity = std::size_t(wholeNumber(buffer, 1, kMaxBuffer, "buffer wants a whole number of readings from 1 to "
                                                                      + std::to_string(kMaxBuffer)));

    const auto link = std::make_shared<Link>(target, capacity);
    remember(link);
    const Promise<Outcome> opened;
    if (!EventThread::instance().post([link, opened] { link->open([opened](const Outcome &o) { opened.set(o); }); }))
        throw std::runtime_error("tachyra has shut down (the interpreter is exiting)");
    if (!wait::interruptibly([&](auto slice) { return opened.waitFor(slice); })) {
        // Ctrl-C while opening: the attempt is given up.
        EventThread::instance().post([link] { link->close({}); });
        errors::rethrowPending();
    }
    const Outcome outcome = opened.value();
    if (!outcome.ok())
        errors::raise(outcome);
    return std::make_shared<Device>(link);
}

Device::~Device()
{
    if (EventThread::stopped())
        return;
    const auto link = m_link;
    EventThread::instance().post([link] { link->close({}); });
}

void Device::close()
{
    const auto link = m_link;
    const Promise<Outcome> closed;
    if (!EventThread::instance().post([link, closed] { link->close([closed](const Outcome &o) { closed.set(o); }); }))
        return; // the thread has gone, and the link with it
    if (!wait::interruptibly([&](auto slice) { return closed.waitFor(slice); })) {
        // Ctrl-C: closed at once (asked again, the session does not wait).
        EventThread::instance().post([link] {
            if (DeviceSession *session = link->session())
                session->disconnectFromDevice();
        });
        errors::rethrowPending();
    }
    // A level the instrument runs but has not stored, or a sweep's levels
    // left live, is worth an exception; anything else has closed the link
    // all the same.
    const Outcome outcome = closed.value();
    if (outcome.error == DeviceError::ThresholdNotStored || outcome.error == DeviceError::LevelsNotRestored)
        errors::raise(outcome);
}

void Device::reopen()
{
    const auto link = m_link;
    const Promise<Outcome> opened;
    if (!EventThread::instance().post([link, opened] { link->reopen([opened](const Outcome &o) { opened.set(o); }); }))
        errors::raise(Outcome(DeviceError::NotConnected));
    if (!wait::interruptibly([&](auto slice) { return opened.waitFor(slice); }))
        errors::rethrowPending();
    const Outcome outcome = opened.value();
    if (!outcome.ok())
        errors::raise(outcome);
}

void Device::closeAll()
{
    std::vector<std::shared_ptr<Link>> links;
    {
        const std::lock_guard<std::mutex> lock(g_linksMutex);
        for (const auto &weak : g_links) {
            if (auto link = weak.lock())
                links.push_back(std::move(link));
        }
        g_links.clear();
    }
    const py::gil_scoped_release unlocked;
    std::vector<Promise<Outcome>> closing;
    if (!EventThread::stopped()) {
        for (const auto &link : links) {
            const Promise<Outcome> closed;
            if (EventThread::instance().post([link, closed] {
                    link->close([closed](const Outcome &o) { closed.set(o); });
                }))
                closing.push_back(closed);
        }
    }
    const auto until = Clock::now() + kCloseAllLimit;
    for (const auto &closed : closing) {
        while (!closed.waitFor(wait::kSlice) && Clock::now() < until) {
        }
    }
    EventThread::shutdown();
}

bool Device::connected() const
{
    const std::lock_guard<std::mutex> lock(m_link->mutex);
    return m_link->state == Link::State::Open;
}

// --- operations --------------------------------------------------------------

Outcome Device::run(Start start)
{
    const auto link = m_link;
    const Promise<Outcome> result;
    const bool posted = EventThread::instance().post([link, start = std::move(start), result] {
        DeviceSession *session = link->session();
        if (!session || !session->connected()) {
            result.set(link->refusal());
            return;
        }
        start(*session, [result](const Outcome &o) { result.set(o); });
    });
    if (!posted)
        return Outcome(DeviceError::NotConnected);
    if (!wait::interruptibly([&](auto slice) { return result.waitFor(slice); }))
        errors::rethrowPending();
    Outcome outcome = result.value();
    // Refused because the link has gone meanwhile: say why it went.
    if (outcome.error == DeviceError::NotConnected) {
        Outcome why = link->refusal();
        if (why.error == DeviceError::LinkLost)
            return why;
    }
    return outcome;
}

void Device::runOrRaise(Start start)
{
    const Outcome outcome = run(std::move(start));
    if (!outcome.ok())
        errors::raise(outcome);
}

int Device::periodMs()
{
    const auto period = std::make_shared<int>(0);
    // As `tachyra-cli period`: the instrument's own value, read now.
    runOrRaise([period](DeviceSession &session, const Done &done) {
        DeviceSession *s = &session;
        session.refreshPeriod([s, period, done](const Outcome &o) {
            *period = s->periodMs();
            done(o);
        });
    });
    return *period;
}

void Device::setPeriodMs(const py::handle &value)
{
    const int ms = int(wholeNumber(value, limits::kMinPeriodMs, limits::kMaxPeriodMs,
                                   limitsText("period_ms wants a whole number of ms from {min_period_ms} to "
                                              "{max_period_ms}")));
    const auto kept = std::make_shared<int>(0);
    runOrRaise([ms, kept](DeviceSession &session, const Done &done) {
        DeviceSession *s = &session;
        session.applyPeriod(ms, [s, kept, done](const Outcome &o) {
            *kept = s->periodMs();
            done(o);
        });
    });
    // The instrument may round or clamp; its own value is what counts.
    if (*kept != ms && !errors::warnDevice("the instrument keeps a gate period of " + std::to_string(*kept) + " ms"))
        throw py::error_already_set();
}

py::array Device::thresholdsMv()
{
    const auto mv = std::make_shared<std::array<double, Reading::kChannels>>();
    // As `tachyra-cli threshold`: the levels read on this link, read again
    // when the opening could not.
    runOrRaise([mv](DeviceSession &session, const Done &done) {
        session.readLevelsMv([mv, done](const Outcome &o, const DeviceSession::Levels &levels) {
            *mv = levels;
            done(o);
        });
    });
    py::array out = py::array_t<double>(Reading::kChannels);
    std::copy(mv->begin(), mv->end(), static_cast<double *>(out.mutable_data()));
    return out;
}

void Device::setThreshold(const py::handle &channel, const py::handle &mv)
{
    const int ch = channelOf(channel);
    const double level = levelMvOf(mv);
    runOrRaise([ch, level](DeviceSession &session, const Done &done) { session.setLevelMv(ch, level, done); });
}

void Device::setThresholdsMv(const py::handle &value)
{
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
        setThreshold(py::str("all"), value);
        return;
    }
    const auto seq = py::reinterpret_borrow<py::sequence>(value);
    if (seq.size() != std::size_t(Reading::kChannels))
        errors::invalid("thresholds_mv takes one level for all channels or a sequence of 8");
    QList<std::pair<int, double>> levels;
    for (int ch = 0; ch < Reading::kChannels; ++ch)
        levels.append({ch, levelMvOf(seq[ch])});
    // Eight levels queued at once; over when all are stored (the first failure wins).
    runOrRaise([levels](DeviceSession &session, const Done &done) { session.setLevelsMv(levels, done); });
}

NetworkSettings Device::network()
{
    const auto net = std::make_shared<NetworkSettings>();
    // As `tachyra-cli network`: the settings read at opening, read again if
    // the instrument did not say then.
    runOrRaise([net](DeviceSession &session, const Done &done) {
        DeviceSession *s = &session;
        const auto take = [s, net, done](const Outcome &o) {
            net->mode = s->networkMode().toStdString();
            net->ip = s->ipAddress().toStdString();
            net->netmask = s->netmask().toStdString();
            net->gateway = s->gateway().toStdString();
            done(o);
        };
        if (session.networkMode().isEmpty())
            session.refreshNetwork(take);
        else
            take(Outcome());
    });
    return *net;
}

void Device::setNetwork(const py::object &dhcp, const py::object &ip, const py::object &netmask,
                        const py::object &gateway)
{
    const bool useDhcp = !dhcp.is_none() && py::bool_(dhcp);
    const bool fixed = !ip.is_none() || !netmask.is_none() || !gateway.is_none();
    if (useDhcp == fixed)
        errors::invalid("set_network takes dhcp=True, or ip, netmask and gateway");
    QString a, m, g;
    if (fixed) {
        if (ip.is_none() || netmask.is_none() || gateway.is_none())
            errors::invalid("a static address needs ip, netmask and gateway");
        // The client's own checks and messages (no gateway is 0.0.0.0).
        a = address(ip, DeviceError::InvalidIpAddress, false);
        m = address(netmask, DeviceError::InvalidNetmask, false);
        g = address(gateway, DeviceError::InvalidGateway, true);
    }
    runOrRaise([useDhcp, a, m, g](DeviceSession &session, const Done &done) { session.applyNetwork(useDhcp, a, m, g, done); });
}

// --- readings ----------------------------------------------------------------

std::size_t Device::buffered() const
{
    const std::lock_guard<std::mutex> lock(m_link->mutex);
    return m_link->buffer.size();
}

std::uint64_t Device::dropped() const
{
    const std::lock_guard<std::mutex> lock(m_link->mutex);
    return m_link->dropped;
}

std::uint64_t Device::taken() const
{
    const std::lock_guard<std::mutex> lock(m_link->mutex);
    return m_link->taken;
}

void Device::clear()
{
    const std::lock_guard<std::mutex> lock(m_link->mutex);
    m_link->buffer.clear();
}

bool Device::reportSkipped()
{
    std::uint64_t drops = 0;
    std::uint64_t bad = 0;
    std::uint64_t silences = 0;
    std::string badText;
    std::string silenceText;
    {
        Link &l = *m_link;
        const std::lock_guard<std::mutex> lock(l.mutex);
        drops = l.dropped - std::exchange(l.droppedReported, l.dropped);
        bad = l.badReplies - std::exchange(l.badRepliesReported, l.badReplies);
        badText = l.badReplyText.toStdString();
        // Time-outs the instrument has recovered from; a silence still going
        // on is raised by the read that waits.
        if (l.taken != l.takenAtTimeOut) {
            silences = l.timeOuts - std::exchange(l.timeOutsReported, l.timeOuts);
            silenceText = l.timeOutText.toStdString();
        }
    }
    if (drops > 0
        && !errors::warnOverflow(plural(drops, "reading", "readings") + " dropped: the buffer of "
                                 + std::to_string(m_link->capacity)
                                 + " was full (read more often, or connect with a larger buffer)"))
        return false;
    if (bad > 0 && !errors::warnDevice(badText + ": " + plural(bad, "reading", "readings") + " skipped"))
        return false;
    if (silences > 0
        && !errors::warnDevice(silenceText + ": " + plural(silences, "request", "requests") + " unanswered"))
        return false;
    return true;
}

void Device::raiseWith(std::vector<Reading> &got, const Outcome &outcome)
{
    m_link->putBack(std::move(got));
    errors::raise(outcome);
}

void Device::collect(std::vector<Reading> &got, std::size_t need, std::size_t most,
                     std::optional<Clock::time_point> until, bool closedEnds, bool *closed)
{
    Link &l = *m_link;
    Outcome failure;
    bool ended = false;
    // Under the mutex: takes what there is; true once the wait is over.
    const auto settle = [&] {
        while (!l.buffer.empty() && got.size() < most) {
            got.push_back(l.buffer.front());
            l.buffer.pop_front();
        }
        if (got.size() >= need)
            return true;
        if (l.timeOuts > l.timeOutsReported && l.taken == l.takenAtTimeOut) {
            // The instrument has gone silent: said once per time-out.
            l.timeOutsReported = l.timeOuts;
            failure = Outcome(DeviceError::NoReply, l.timeOutText);
            return true;
        }
        if (l.state == Link::State::Lost) {
            failure = Outcome(DeviceError::LinkLost, l.lostMessage);
            return true;
        }
        if (l.state == Link::State::Closed) {
            if (closedEnds)
                ended = true;
            else
                failure = Outcome(DeviceError::NotConnected);
            return true;
        }
        return until && Clock::now() >= *until;
    };
    const bool done = wait::interruptibly([&](std::chrono::milliseconds slice) {
        std::unique_lock<std::mutex> lock(l.mutex);
        if (settle())
            return true;
        if (until)
            slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(*until - Clock::now())
                                        + std::chrono::milliseconds(1));
        return l.changed.wait_for(lock, slice, settle);
    });
    if (!done) {
        m_link->putBack(std::move(got));
        errors::rethrowPending();
    }
    if (!failure.ok())
        raiseWith(got, failure);
    if (closed)
        *closed = ended;
}

Readings Device::read(const py::object &n, const py::object &seconds)
{
    if (!n.is_none() && !seconds.is_none())
        errors::invalid("read takes n or seconds, not both");
    std::size_t need = 0;
    std::size_t most = std::numeric_limits<std::size_t>::max();
    std::optional<Clock::time_point> until;
    if (!n.is_none()) {
        need = most = std::size_t(wholeNumber(n, 0, std::numeric_limits<std::int32_t>::max(),
                                              "n wants a whole number of readings, 0 or more"));
    } else if (!seconds.is_none()) {
        const double s = number(seconds, 0.0, kMaxSeconds, "seconds wants a number from 0 to 1e7");
        need = most;
        until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }
    if (!reportSkipped())
        throw py::error_already_set();
    std::vector<Reading> got;
    got.reserve(std::min<std::size_t>(most, buffered() + 1024));
    if (n.is_none() && seconds.is_none()) {
        // What is there now; only an empty buffer tells of a silence or a loss.
        collect(got, 1, most, Clock::now(), false, nullptr);
    } else if (need > 0) {
        collect(got, need, most, until, false, nullptr);
    }
    if (!reportSkipped()) {
        m_link->putBack(std::move(got));
        throw py::error_already_set();
    }
    return Readings::from(got, m_link->originNs);
}

std::optional<std::vector<Reading>> Device::next(bool all)
{
    if (!reportSkipped())
        throw py::error_already_set();
    std::vector<Reading> got;
    bool closed = false;
    collect(got, 1, all ? std::numeric_limits<std::size_t>::max() : 1, std::nullopt, true, &closed);
    if (closed && got.empty())
        return std::nullopt;
    return got;
}

long long Device::wholeArgument(const py::handle &v, long long min, long long max, const std::string &message)
{
    return wholeNumber(v, min, max, message);
}

// --- without a device --------------------------------------------------------

std::vector<PortInfo> listPorts()
{
    const Promise<std::vector<PortInfo>> result;
    if (!EventThread::instance().post([result] {
            // A session lists the ports as the client shows them.
            DeviceSession session;
            std::vector<PortInfo> ports;
            for (const QVariant &v : session.ports()) {
                const QVariantMap port = v.toMap();
                ports.push_back({port.value(QStringLiteral("name")).toString().toStdString(),
                                 port.value(QStringLiteral("description")).toString().toStdString(),
                                 port.value(QStringLiteral("preferred")).toBool()});
            }
            result.set(ports);
        }))
        throw std::runtime_error("tachyra has shut down (the interpreter is exiting)");
    if (!wait::interruptibly([&](auto slice) { return result.waitFor(slice); }))
        errors::rethrowPending();
    return result.value();
}

std::vector<std::string> scanHosts()
{
    struct Scan {
        DeviceSession *session = nullptr; // Qt thread only
    };
    const auto scan = std::make_shared<Scan>();
    const Promise<std::vector<std::string>> result;
    if (!EventThread::instance().post([scan, result] {
            auto *session = new DeviceSession(EventThread::instance().context());
            scan->session = session;
            const auto finish = [scan, result] {
                if (!scan->session || scan->session->tcpScanning())
                    return;
                std::vector<std::string> hosts;
                for (const QVariant &host : scan->session->tcpHosts())
                    hosts.push_back(host.toMap().value(QStringLiteral("name")).toString().toStdString());
                scan->session->deleteLater();
                scan->session = nullptr;
                result.set(hosts);
            };
            QObject::connect(session, &DeviceSession::tcpScanningChanged, session, finish);
            session->startTcpScan();
            // No interface to scan: over before it was seen running.
            finish();
        }))
        throw std::runtime_error("tachyra has shut down (the interpreter is exiting)");
    if (!wait::interruptibly([&](auto slice) { return result.waitFor(slice); })) {
        EventThread::instance().post([scan] {
            if (scan->session)
                scan->session->stopTcpScan();
        });
        errors::rethrowPending();
    }
    return result.value();
}
