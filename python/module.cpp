// The `tachyra` Python module: the Tachyra counter from scripts and
// notebooks, on the client's own session (opening exchange, command queue,
// time-outs, clamps, EEPROM rules and messages), with numpy arrays out.

#include "Pybind.h"

#include "Device.h"
#include "Errors.h"
#include "LimitsText.h"
#include "Results.h"

#include "Version.h"

#include <list>
#include <string>


namespace py = pybind11;

namespace {

// A docstring with the ranges filled in from the table of limits; kept for
// the module's life.
const char *withLimits(const char *text)
{
    static std::list<std::string> texts;
    return texts.emplace_back(limits::filled(text).toStdString()).c_str();
}

// dev.stream(): readings as they come, one by one or in batches.
struct Stream {
    std::shared_ptr<Device> device;
    bool batches = false;
};

const char kModuleDoc[] = R"(The Tachyra eight-channel pulse counter from Python.

The module runs the client's own session in a Qt thread of its own: a script
gets the same opening exchange, command queue, time-outs, clamps, EEPROM
writes and messages as the operator, and readings as numpy arrays.

    import tachyra
    with tachyra.connect(tcp="192.168.1.50") as dev:
        dev.period_ms = 50
        dev.set_threshold("all", 120)
        r = dev.read(seconds=10)          # every reading since connect() and 10 s more
        rates = r.counts / (r.period_ms[:, None] / 1000)

While a device is open its readings are kept in a bounded buffer, so a script
that does other things between reads loses none; a full buffer drops the
oldest and says so (BufferOverflowWarning, Device.dropped). Every wait
releases the GIL and ends on Ctrl-C within 0.1 s.
)";

const char kConnectDoc[] = R"(Opens the instrument and waits for the opening exchange (period, levels,
network settings, a first count). tcp: the instrument's IPv4 address (port
1234); serial: a serial port ("/dev/ttyACM0"); neither: the serial port the
client would pick (see ports()). buffer: readings kept for read() and
stream() (default 1,000,000, about 150 MB when full; the oldest go first).

Raises ValueError for an address or port the client would refuse (nothing is
sent), ConnectError with the transport's message when the link cannot be
opened, DeviceError("No COM port selected") when there is no port to pick.
The device is a context manager: leaving the block closes the link.)";

const char kReadDoc[] = R"(Readings as numpy arrays, oldest first, none twice and none lost:
    read()            what is buffered now, without waiting;
    read(n)           the next n readings, waiting for those not yet taken;
    read(seconds=s)   what is buffered and what comes within s seconds.
Returns Readings: counts (n, 8) float64, time (n,) datetime64[ms] UTC,
elapsed_s (n,) float64 since connect() on the steady clock, period_ms (n,)
int64, thresholds_mv (n, 8) float64 (NaN while the levels are unknown),
sweep (n,) bool.

Raises TimeoutError("No reply from device") when the instrument falls
silent while the read waits, LinkLostError with the transport's message when
the link ends, KeyboardInterrupt on Ctrl-C; the readings gathered so far stay
buffered for the next read. Readings dropped because the buffer was full and
replies that could not be read are reported as warnings.)";

const char kSweepDoc[] = R"(Calibration sweep of one channel: the other channels are muted ({max_mv} mV),
the channel's level steps from start_mv to stop_mv (whole mV, 0 to {max_mv}; the
sign of step_mv is ignored) and its count is read one gate period after each
step. The levels from before the sweep are put back at the end, on an error,
and on Ctrl-C (the KeyboardInterrupt is raised once they are back; a second
Ctrl-C leaves at once). Returns SweepPoints: threshold_mv, counts, time.

A link lost during the sweep (LinkLostError) may leave channels muted:
reopen() puts the levels back when the mutes are still there.)";

const char kCalibrateDoc[] = R"(Calibration of several channels one after another, each swept as sweep()
does (the others muted), the levels saved once before and put back once at
the end, on an error and on Ctrl-C (the KeyboardInterrupt is raised once they
are back). Then each channel's pulse-height spectrum, its valley and a
suggested threshold in it. With apply=True the suggested levels, and only
those, are set (and stored) afterwards. Returns Calibration: suggested_mv
(8,) with NaN where there is none, valley_low_mv, valley_high_mv,
uncertainty_mv, quality, reasons, reason_keys, points and spectrum (by
channel).)";

} // namespace

PYBIND11_MODULE(tachyra, m)
{
    m.doc() = kModuleDoc;
    m.attr("__version__") = tachyra::kVersion;
    m.attr("CHANNELS") = Reading::kChannels;
    errors::define(m);

    py::class_<PortInfo>(m, "Port", "A serial port as the client lists it.")
        .def_readonly("name", &PortInfo::name, "What connect(serial=...) opens.")
        .def_readonly("description", &PortInfo::description)
        .def_readonly("preferred", &PortInfo::preferred,
                      "Looks like the instrument; connect() picks the first such port, else the first port.")
        .def("__repr__", &PortInfo::repr);

    py::class_<NetworkSettings>(m, "Network", "The instrument's network settings.")
        .def_readonly("mode", &NetworkSettings::mode, "\"DHCP\", \"Static\", or \"\" when the instrument did not say.")
        .def_property_readonly("dhcp", &NetworkSettings::dhcp)
        .def_readonly("ip", &NetworkSettings::ip)
        .def_readonly("netmask", &NetworkSettings::netmask)
        .def_readonly("gateway", &NetworkSettings::gateway)
        .def("__repr__", &NetworkSettings::repr);

    py::class_<OneReading>(m, "Reading", "One reading, as stream() yields it.")
        .def_readonly("counts", &OneReading::counts, "(8,) float64, as the instrument sent them.")
        .def_readonly("time", &OneReading::time, "numpy.datetime64 in ms, UTC: when it arrived.")
        .def_readonly("elapsed_s", &OneReading::elapsedS, "Seconds since connect(), steady clock.")
        .def_readonly("period_ms", &OneReading::periodMs, "Gate period in force.")
        .def_readonly("thresholds_mv", &OneReading::thresholdsMv, "(8,) float64 levels in force; NaN while unknown.")
        .def_readonly("sweep", &OneReading::sweep, "Taken during a calibration sweep.")
        .def("__repr__", &OneReading::repr);

    py::class_<Readings>(m, "Readings", "Readings as columns, one numpy array each (see Device.read).")
        .def_readonly("counts", &Readings::counts, "(n, 8) float64.")
        .def_readonly("time", &Readings::time, "(n,) datetime64[ms], UTC.")
        .def_readonly("elapsed_s", &Readings::elapsedS, "(n,) float64, seconds since connect() (steady clock).")
        .def_readonly("period_ms", &Readings::periodMs, "(n,) int64.")
        .def_readonly("thresholds_mv", &Readings::thresholdsMv, "(n, 8) float64, NaN while the levels are unknown.")
        .def_readonly("sweep", &Readings::sweep, "(n,) bool.")
        .def("__len__", &Readings::size)
        .def("__getitem__", &Readings::at, py::arg("index"), "One reading.")
        .def("__getitem__", &Readings::slice, py::arg("range"), "Some readings (views of the arrays).")
        .def("as_dict", &Readings::asDict, "The arrays by name, e.g. for numpy.savez(path, **r.as_dict()).")
        .def("__repr__", &Readings::repr);

    py::class_<SweepPoints>(m, "SweepPoints", "The points of a calibration sweep, in the order stepped.")
        .def_readonly("channel", &SweepPoints::channel)
        .def_readonly("threshold_mv", &SweepPoints::thresholdMv, "(n,) float64: the level stepped to.")
        .def_readonly("counts", &SweepPoints::counts, "(n,) float64: the swept channel's count there.")
        .def_readonly("time", &SweepPoints::time, "(n,) datetime64[ms], UTC.")
        .def("__len__", &SweepPoints::size)
        .def("__repr__", &SweepPoints::repr);

    py::class_<Calibration>(m, "Calibration", "Suggested thresholds of a calibration (see Device.calibrate).")
        .def_readonly("suggested_mv", &Calibration::suggestedMv, "(8,) float64, NaN where there is no suggestion.")
        .def_readonly("valley_low_mv", &Calibration::valleyLowMv, "(8,) float64: the valley band's low end.")
        .def_readonly("valley_high_mv", &Calibration::valleyHighMv, "(8,) float64: the valley band's high end.")
        .def_readonly("uncertainty_mv", &Calibration::uncertaintyMv, "(8,) float64.")
        .def_readonly("quality", &Calibration::quality, "(8,) float64: the valley's depth in standard errors.")
        .def_readonly("reasons", &Calibration::reasons, "8 texts; empty for a channel not swept.")
        .def_readonly("reason_keys", &Calibration::reasonKeys, "8 fixed keys ('valley', 'too-few-counts', ...).")
        .def_readonly("points", &Calibration::points, "{channel: SweepPoints}.")
        .def_readonly("spectrum", &Calibration::spectrum,
                      "{channel: {'threshold_mv', 'per_mv', 'error_per_mv'}}: -dN/dV in counts per gate per mV.")
        .def("__repr__", &Calibration::repr);

    py::class_<Stream>(m, "Stream", "Iterator over readings as they come (see Device.stream).")
        .def("__iter__", [](Stream &s) -> Stream & { return s; }, py::return_value_policy::reference_internal)
        .def("__next__", [](Stream &s) -> py::object {
            const auto got = s.device->next(s.batches);
            if (!got)
                throw py::stop_iteration();
            const Readings r = Readings::from(*got, s.device->originNs());
            return s.batches ? py::cast(r) : py::cast(r.at(0));
        });

    py::class_<Device, std::shared_ptr<Device>>(m, "Device", "An open instrument (see connect).")
        .def("__enter__", [](const std::shared_ptr<Device> &d) { return d; })
        .def("__exit__", [](Device &d, const py::args &) {
                d.close();
                return false;
            })
        .def("close", &Device::close,
             "Closes the link: a level's EEPROM write still held back is sent first and the reply on the wire is "
             "waited for (at most about 4.5 s). Raises DeviceError(\"threshold not stored\") if a level could not "
             "be stored. Readings still buffered can be read afterwards.")
        .def("reopen", &Device::reopen,
             "Opens the same link again after it was lost. Levels of a sweep the loss cut off are put back if the "
             "instrument still shows its mutes.")
        .def_property_readonly("connected", &Device::connected)
        .def_property_readonly("link", &Device::label, "The host or serial port.")
        .def_property(
            "period_ms", &Device::periodMs, &Device::setPeriodMs,
            withLimits("Gate period in ms. Reading asks the instrument; setting ({min_period_ms} to {max_period_ms}) "
                       "waits until the instrument has reported it back, and warns when it keeps another value."))
        .def_property(
            "thresholds_mv", &Device::thresholdsMv, &Device::setThresholdsMv,
            withLimits("Comparator levels in mV, (8,) float64. Setting takes one level for all channels or eight, each "
                       "0 to {max_mv} mV, and waits until the instrument has stored them in its EEPROM."))
        .def("set_threshold", &Device::setThreshold, py::arg("channel"), py::arg("mv"),
             withLimits("Sets channel 0-{last_channel} (or \"all\") to mv (0 to {max_mv}) and waits until the "
                        "instrument has taken the level and stored it in its EEPROM. RejectedError(\"SDAC rejected\") "
                        "or (\"WEEP rejected\") when refused."))
        .def_property_readonly("network", &Device::network,
                               "The instrument's network settings (read at opening; again if it did not say then).")
        .def("set_network", &Device::setNetwork, py::kw_only(), py::arg("dhcp") = py::none(),
             py::arg("ip") = py::none(), py::arg("netmask") = py::none(), py::arg("gateway") = py::none(),
             "set_network(dhcp=True) or set_network(ip=..., netmask=..., gateway=...): applies the settings and "
             "stores them in the instrument's EEPROM. The instrument may then answer on its new address only. "
             "ValueError for an address the client refuses (nothing is sent).")
        .def("read", &Device::read, py::arg("n") = py::none(), py::kw_only(), py::arg("seconds") = py::none(),
             kReadDoc)
        .def(
            "stream",
            [](const std::shared_ptr<Device> &d, bool batches) { return Stream{d, batches}; },
            py::kw_only(), py::arg("batches") = false,
            "Iterates over readings as they come: one Reading at a time, or with batches=True a Readings of all "
            "that have come (at least one). Ends when the device is closed; raises as read() does.")
        .def("sweep", &Device::sweep, py::arg("channel"), py::arg("start_mv"), py::arg("stop_mv"), py::arg("step_mv"),
             withLimits(kSweepDoc))
        .def("calibrate", &Device::calibrate, py::arg("channels") = py::module_::import("builtins").attr("range")(8),
             py::kw_only(), py::arg("from_mv"), py::arg("to_mv"), py::arg("step_mv"), py::arg("apply") = false,
             kCalibrateDoc)
        .def_property_readonly("buffered", &Device::buffered, "Readings waiting to be read.")
        .def_property_readonly("buffer_size", &Device::capacity, "Readings the buffer keeps at most.")
        .def_property_readonly("dropped", &Device::dropped,
                               "Readings dropped since connect() because the buffer was full.")
        .def_property_readonly("taken", &Device::taken, "Readings taken since connect(), read or not.")
        .def("clear", &Device::clear, "Drops the buffered readings (e.g. before a read(seconds=...)).")
        .def("__repr__", [](const Device &d) {
            return "<tachyra.Device " + d.label() + (d.connected() ? " connected>" : " closed>");
        });

    m.def("connect", &Device::connect, py::arg("tcp") = py::none(), py::arg("serial") = py::none(), py::kw_only(),
          py::arg("buffer") = py::none(), kConnectDoc);
    m.def("ports", &listPorts,
          "The serial ports as the client lists them (those named in TACHYRA_EXTRA_PORTS first); preferred marks "
          "the ones that look like the instrument.");
    m.def("scan", &scanHosts,
          "Probes port 1234 on every address of the attached IPv4 subnets, as the client's TCP mode does, and "
          "returns the hosts that answered. Takes a few seconds; Ctrl-C stops it.");

    // Links still open at exit are closed (held-back writes stored) before
    // the Qt thread ends.
    py::module_::import("atexit").attr("register")(py::cpp_function(&Device::closeAll));
}
