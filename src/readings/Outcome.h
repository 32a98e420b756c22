#pragma once

#include <QMetaType>
#include <QString>

#include <functional>

// Why an operation of the session did not do what was asked.
enum class DeviceError {
    None,
    // Refused before anything was sent (no message in the status bar).
    NotConnected,
    Busy,            // a sweep or a network change holds the instrument
    InvalidArgument, // a channel, level, period or range the session does not take
    // Link.
    NoPortSelected,
    InvalidIpAddress,
    ConnectFailed, // the transport's own message
    LinkLost,      // the transport's own message, or "Disconnected"
    // Replies.
    NoReply,
    PeriodRejected,
    BadPeriodReply,
    BadCountReply,
    DacRejected,
    BadDacReply,
    EepromRejected,
    ThresholdNotStored,
    CalibrationNoReply,
    CalibrationBadCounts,
    CalibrationStopped, // ended early by stopCalibration; the levels are back
    LevelsNotRestored,  // a sweep's levels may still be live: they go back when this link opens again
    DhcpRejected,
    IpRejected,
    NetmaskRejected,
    GatewayRejected,
    NetworkApplyRejected,
    InvalidNetmask,
    InvalidGateway,
};

// The client's text for each error: the one table every front end shows.
// ConnectFailed and LinkLost carry the transport's text instead.
inline QString deviceErrorText(DeviceError error)
{
    switch (error) {
    case DeviceError::None: return {};
    case DeviceError::NotConnected: return QStringLiteral("Not connected");
    case DeviceError::Busy: return QStringLiteral("The instrument is busy with a sweep or a network change");
    case DeviceError::InvalidArgument: return QStringLiteral("Invalid argument");
    case DeviceError::NoPortSelected: return QStringLiteral("No COM port selected");
    case DeviceError::InvalidIpAddress: return QStringLiteral("Invalid IP address");
    case DeviceError::ConnectFailed: return QStringLiteral("Connection failed");
    case DeviceError::LinkLost: return QStringLiteral("Disconnected");
    case DeviceError::NoReply: return QStringLiteral("No reply from device");
    case DeviceError::PeriodRejected: return QStringLiteral("PERD rejected");
    case DeviceError::BadPeriodReply: return QStringLiteral("Bad PERD? reply");
    case DeviceError::BadCountReply: return QStringLiteral("Bad COUN? reply");
    case DeviceError::DacRejected: return QStringLiteral("SDAC rejected");
    case DeviceError::BadDacReply: return QStringLiteral("Bad SDAC? reply");
    case DeviceError::EepromRejected: return QStringLiteral("WEEP rejected");
    case DeviceError::ThresholdNotStored: return QStringLiteral("threshold not stored");
    case DeviceError::CalibrationNoReply: return QStringLiteral("Calibration: no reply from device");
    case DeviceError::CalibrationBadCounts: return QStringLiteral("Calibration: bad COUN?");
    case DeviceError::CalibrationStopped: return QStringLiteral("Calibration stopped");
    case DeviceError::LevelsNotRestored: return QStringLiteral("thresholds of the sweep not restored");
    case DeviceError::DhcpRejected: return QStringLiteral("DHCP set rejected");
    case DeviceError::IpRejected: return QStringLiteral("IP set rejected");
    case DeviceError::NetmaskRejected: return QStringLiteral("Netmask set rejected");
    case DeviceError::GatewayRejected: return QStringLiteral("Gateway set rejected");
    case DeviceError::NetworkApplyRejected: return QStringLiteral("Network apply rejected");
    case DeviceError::InvalidNetmask: return QStringLiteral("Invalid netmask");
    case DeviceError::InvalidGateway: return QStringLiteral("Invalid gateway");
    }
    return {};
}

// What one operation of the session came to, handed to its caller once.
struct Outcome {
    DeviceError error = DeviceError::None;
    QString message; // the client's text; empty when it went well

    Outcome() = default;
    explicit Outcome(DeviceError e) : error(e), message(deviceErrorText(e)) {}
    Outcome(DeviceError e, const QString &text) : error(e), message(text) {}

    bool ok() const { return error == DeviceError::None; }
    // The instrument did not answer in time (a script may wait and try again).
    bool timedOut() const { return error == DeviceError::NoReply || error == DeviceError::CalibrationNoReply; }
    // Refused by the session itself, before anything reached the instrument.
    bool refusedHere() const
    {
        return error == DeviceError::NotConnected || error == DeviceError::Busy
            || error == DeviceError::InvalidArgument || error == DeviceError::NoPortSelected
            || error == DeviceError::InvalidIpAddress || error == DeviceError::InvalidNetmask
            || error == DeviceError::InvalidGateway;
    }
};

// Called once when an operation is over, whatever became of it.
using Done = std::function<void(const Outcome &)>;

Q_DECLARE_METATYPE(Outcome)
