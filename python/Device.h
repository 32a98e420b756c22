#pragma once

// The Python face of one instrument. Every exchange is one of the session's
// operations run in the module's Qt thread; the calling Python thread waits
// for its outcome with the GIL released and Ctrl-C live.

#include "Pybind.h"

#include "Link.h"
#include "Results.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class DeviceSession;

class Device
{
public:
    static constexpr std::size_t kDefaultBuffer = 1000000;

    static std::shared_ptr<Device> connect(const pybind11::object &tcp, const pybind11::object &serial,
                                           const pybind11::object &buffer);
    explicit Device(std::shared_ptr<Link> link) : m_link(std::move(link)) {}
    // Without close(): the link is closed in the background.
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    void close();
    void reopen();
    bool connected() const;
    std::string label() const { return m_link->label.toStdString(); }
    std::size_t capacity() const { return m_link->capacity; }
    std::size_t buffered() const;
    std::uint64_t dropped() const;
    std::uint64_t taken() const;
    void clear();

    int periodMs();
    void setPeriodMs(const pybind11::handle &value);
    pybind11::array thresholdsMv();
    void setThresholdsMv(const pybind11::handle &value);
    void setThreshold(const pybind11::handle &channel, const pybind11::handle &mv);
    NetworkSettings network();
    void setNetwork(const pybind11::object &dhcp, const pybind11::object &ip, const pybind11::object &netmask,
                    const pybind11::object &gateway);

    Readings read(const pybind11::object &n, const pybind11::object &seconds);
    // For stream(): one reading, or all there are (at least one); nullopt
    // once the device has been closed.
    std::optional<std::vector<Reading>> next(bool all);
    qint64 originNs() const { return m_link->originNs; }
    SweepPoints sweep(const pybind11::handle &channel, const pybind11::handle &startMv, const pybind11::handle &stopMv,
                      const pybind11::handle &stepMv);
    Calibration calibrate(const pybind11::handle &channels, const pybind11::handle &fromMv, const pybind11::handle &toMv,
                          const pybind11::handle &stepMv, bool apply);

    // At interpreter exit: closes every open link (each within its bound).
    static void closeAll();

private:
    using Start = std::function<void(DeviceSession &session, const Done &done)>;
    // A whole number from min to max, else ValueError(message).
    static long long wholeArgument(const pybind11::handle &v, long long min, long long max, const std::string &message);
    // The session's sweep of `channels` one after another; raises when it
    // failed, and on Ctrl-C once the levels are back.
    std::shared_ptr<SweepRun> runSweep(const QList<int> &channels, const pybind11::handle &startMv,
                                       const pybind11::handle &stopMv, const pybind11::handle &stepMv);
    // Runs one operation in the Qt thread and waits for its outcome.
    Outcome run(Start start);
    // run(), raising the outcome's exception when it failed.
    void runOrRaise(Start start);
    // Warnings for readings dropped and replies skipped since the last call;
    // false when a warning filter raised.
    bool reportSkipped();
    // Takes readings into `got` until `enough`; raises (with `got` put back)
    // on a time-out, a lost link or Ctrl-C.
    // At least `need` (when they come before `until`), at most `most`. A
    // closed link ends the wait quietly with closedEnds (then *closed).
    void collect(std::vector<Reading> &got, std::size_t need, std::size_t most,
                 std::optional<std::chrono::steady_clock::time_point> until, bool closedEnds, bool *closed);
    [[noreturn]] void raiseWith(std::vector<Reading> &got, const Outcome &outcome);

    std::shared_ptr<Link> m_link;
};

// tachyra.ports() and tachyra.scan(), on a session of their own.
std::vector<PortInfo> listPorts();
std::vector<std::string> scanHosts();
