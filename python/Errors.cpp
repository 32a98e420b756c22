#include "Errors.h"

namespace py = pybind11;

namespace {

// Owned references, kept for the process's life (never released at exit,
// when the interpreter may be gone).
PyObject *g_deviceError = nullptr;
PyObject *g_connectError = nullptr;
PyObject *g_linkLostError = nullptr;
PyObject *g_timeoutError = nullptr;
PyObject *g_rejectedError = nullptr;
PyObject *g_badReplyError = nullptr;
PyObject *g_busyError = nullptr;
PyObject *g_overflowWarning = nullptr;
PyObject *g_deviceWarning = nullptr;

PyObject *newClass(py::module_ &m, const char *name, const char *doc, py::tuple bases)
{
    const std::string qualified = std::string("tachyra.") + name;
    PyObject *cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases.ptr(), nullptr);
    if (!cls)
        throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;
}

PyObject *classFor(DeviceError error)
{
    switch (error) {
    case DeviceError::ConnectFailed: return g_connectError;
    case DeviceError::LinkLost: return g_linkLostError;
    case DeviceError::NoReply:
    case DeviceError::CalibrationNoReply: return g_timeoutError;
    case DeviceError::PeriodRejected:
    case DeviceError::DacRejected:
    case DeviceError::EepromRejected:
    case DeviceError::DhcpRejected:
    case DeviceError::IpRejected:
    case DeviceError::NetmaskRejected:
    case DeviceError::GatewayRejected:
    case DeviceError::NetworkApplyRejected: return g_rejectedError;
    case DeviceError::BadPeriodReply:
    case DeviceError::BadCountReply:
    case DeviceError::BadDacReply:
    case DeviceError::CalibrationBadCounts: return g_badReplyError;
    case DeviceError::Busy: return g_busyError;
    default: return g_deviceError;
    }
}

bool warn(PyObject *category, const std::string &message)
{
    return PyErr_WarnEx(category, message.c_str(), 1) == 0;
}

} // namespace

namespace errors {

const char *codeName(DeviceError error)
{
    switch (error) {
    case DeviceError::None: return "None";
    case DeviceError::NotConnected: return "NotConnected";
    case DeviceError::Busy: return "Busy";
    case DeviceError::InvalidArgument: return "InvalidArgument";
    case DeviceError::NoPortSelected: return "NoPortSelected";
    case DeviceError::InvalidIpAddress: return "InvalidIpAddress";
    case DeviceError::ConnectFailed: return "ConnectFailed";
    case DeviceError::LinkLost: return "LinkLost";
    case DeviceError::NoReply: return "NoReply";
    case DeviceError::PeriodRejected: return "PeriodRejected";
    case DeviceError::BadPeriodReply: return "BadPeriodReply";
    case DeviceError::BadCountReply: return "BadCountReply";
    case DeviceError::DacRejected: return "DacRejected";
    case DeviceError::BadDacReply: return "BadDacReply";
    case DeviceError::EepromRejected: return "EepromRejected";
    case DeviceError::ThresholdNotStored: return "ThresholdNotStored";
    case DeviceError::CalibrationNoReply: return "CalibrationNoReply";
    case DeviceError::CalibrationBadCounts: return "CalibrationBadCounts";
    case DeviceError::CalibrationStopped: return "CalibrationStopped";
    case DeviceError::LevelsNotRestored: return "LevelsNotRestored";
    case DeviceError::DhcpRejected: return "DhcpRejected";
    case DeviceError::IpRejected: return "IpRejected";
    case DeviceError::NetmaskRejected: return "NetmaskRejected";
    case DeviceError::GatewayRejected: return "GatewayRejected";
    case DeviceError::NetworkApplyRejected: return "NetworkApplyRejected";
    case DeviceError::InvalidNetmask: return "InvalidNetmask";
    case DeviceError::InvalidGateway: return "InvalidGateway";
    }
    return "Unknown";
}

void define(py::module_ &m)
{
    const py::module_ builtins = py::module_::import("builtins");
    g_deviceError = newClass(m, "DeviceError",
                             "The instrument or the link failed. str(e) and e.message are the client's own text; "
                             "e.code names the cause (\"DacRejected\", \"NoReply\", ...).",
                             py::make_tuple(builtins.attr("Exception")));
    const py::handle base(g_deviceError);
    g_connectError = newClass(m, "ConnectError", "The link could not be opened (the transport's message). "
                                                  "Also a ConnectionError.",
                              py::make_tuple(base, builtins.attr("ConnectionError")));
    g_linkLostError = newClass(m, "LinkLostError", "The link ended under an operation or a read (the transport's "
                                                    "message). Also a ConnectionError.",
                               py::make_tuple(base, builtins.attr("ConnectionError")));
    g_timeoutError = newClass(m, "TimeoutError", "The instrument did not answer in time. Also the builtin "
                                                  "TimeoutError.",
                              py::make_tuple(base, builtins.attr("TimeoutError")));
    g_rejectedError = newClass(m, "RejectedError", "The instrument refused a command (\"SDAC rejected\").",
                               py::make_tuple(base));
    g_badReplyError = newClass(m, "BadReplyError", "The instrument's reply could not be read.", py::make_tuple(base));
    g_busyError = newClass(m, "BusyError", "A sweep or a network change holds the instrument.", py::make_tuple(base));
    g_overflowWarning = newClass(m, "BufferOverflowWarning",
                                 "Readings were dropped because the buffer was full before they were read.",
                                 py::make_tuple(builtins.attr("RuntimeWarning")));
    g_deviceWarning = newClass(m, "DeviceWarning", "A reply the polling could not use (the reading is skipped).",
                               py::make_tuple(builtins.attr("RuntimeWarning")));
}

void raise(const Outcome &outcome)
{
    const std::string message = outcome.message.isEmpty() ? std::string(deviceErrorText(outcome.error).toStdString())
                                                           : outcome.message.toStdString();
    py::object exception = py::reinterpret_borrow<py::object>(classFor(outcome.error))(message);
    exception.attr("message") = message;
    exception.attr("code") = codeName(outcome.error);
    PyErr_SetObject(classFor(outcome.error), exception.ptr());
    throw py::error_already_set();
}

void invalid(const std::string &message)
{
    throw py::value_error(message);
}

void rethrowPending()
{
    if (!PyErr_Occurred())
        PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

bool warnOverflow(const std::string &message)
{
    return warn(g_overflowWarning, message);
}

bool warnDevice(const std::string &message)
{
    return warn(g_deviceWarning, message);
}

} // namespace errors
