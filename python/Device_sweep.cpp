// Calibration sweeps: one channel (sweep) or several one after another
// (calibrate), the levels put back before Ctrl-C's KeyboardInterrupt leaves.
#include "Device.h"

#include "DeviceSession.h"
#include "Errors.h"
#include "EventThread.h"
#include "LimitsText.h"
#include "Promise.h"
#include "Wait.h"

#include <cmath>

namespace py = pybind11;

namespace {

constexpr int kMaxWholeMv = limits::kMaxWholeLevelMv;

std::string limitsText(const char *text)
{
    return limits::filled(text).toStdString();
}

} // namespace

SweepPoints Device::sweep(const py::handle &channel, const py::handle &startMv, const py::handle &stopMv,
                          const py::handle &stepMv)
{
    const int ch = int(wholeArgument(channel, 0, DeviceSession::kChannelCount - 1,
                                     limitsText("the channel wants 0 to {last_channel}")));
    const auto run = runSweep({ch}, startMv, stopMv, stepMv);
    const std::lock_guard<std::mutex> lock(run->mutex);
    return SweepPoints::from(ch, run->points);
}

Calibration Device::calibrate(const py::handle &channels, const py::handle &fromMv, const py::handle &toMv,
                              const py::handle &stepMv, bool apply)
{
    QList<int> list;
    for (const py::handle item : py::iter(channels)) {
        const int ch = int(wholeArgument(item, 0, DeviceSession::kChannelCount - 1,
                                         limitsText("channels want 0 to {last_channel}")));
        if (list.contains(ch))
            errors::invalid("channels want each channel once");
        list.append(ch);
    }
    if (list.isEmpty())
        errors::invalid("channels want at least one channel");
    const auto run = runSweep(list, fromMv, toMv, stepMv);
    std::vector<SweepPoint> points;
    {
        const std::lock_guard<std::mutex> lock(run->mutex);
        points = run->points;
    }
    Calibration result = Calibration::from(list, points);
    // All asked at once; the session stores them by its own rules. Ctrl-C
    // waits for the levels under way, as set_threshold does.
    QList<std::pair<int, double>> levels;
    for (int ch : std::as_const(list)) {
        const double mv = result.suggestedAt(ch);
        if (apply && std::isfinite(mv))
            levels.append({ch, mv});
    }
    if (levels.isEmpty())
        return result;
    runOrRaise([levels](DeviceSession &session, const Done &done) { session.setLevelsMv(levels, done); });
    return result;
}

std::shared_ptr<SweepRun> Device::runSweep(const QList<int> &channels, const py::handle &startMv,
                                           const py::handle &stopMv, const py::handle &stepMv)
{
    const std::string range = limitsText("start_mv and stop_mv want whole mV from 0 to {max_mv}");
    const std::string steps = limitsText("step_mv wants whole mV, not 0, at most {max_mv}");
    const int from = int(wholeArgument(startMv, 0, kMaxWholeMv, range));
    const int to = int(wholeArgument(stopMv, 0, kMaxWholeMv, range));
    const int step = int(wholeArgument(stepMv, -kMaxWholeMv, kMaxWholeMv, steps));
    if (step == 0)
        errors::invalid(steps);

    const auto link = m_link;
    auto run = std::make_shared<SweepRun>(); // returned: moved out
    const Promise<Outcome> result;
    if (!EventThread::instance().post([link, run, result, channels, from, to, step] {
            link->startSweep(run, channels, from, to, step, [result](const Outcome &o) { result.set(o); });
        }))
        errors::raise(Outcome(DeviceError::NotConnected));
    if (!wait::interruptibly([&](auto slice) { return result.waitFor(slice); })) {
        // Ctrl-C (or another signal handler's exception): the sweep stops and
        // the levels go back before the exception leaves. A second Ctrl-C
        // leaves at once.
        py::error_already_set first; // taken out while the levels go back
        EventThread::instance().post([link, run] { link->stopSweep(run); });
        if (!wait::interruptibly([&](auto slice) { return result.waitFor(slice); }))
            errors::rethrowPending();
        throw first;
    }
    Outcome outcome = result.value();
    if (outcome.error == DeviceError::NotConnected && link->refusal().error == DeviceError::LinkLost)
        outcome = link->refusal();
    if (!outcome.ok())
        errors::raise(outcome);
    return run;
}
