#pragma once

#include "Ipv4.h"
#include "Outcome.h"

#include <QString>

#include <optional>

// How a front end reaches the instrument: the serial port the client would
// pick, a host over TCP, or a serial port by name. Built through the same
// checks (and messages) as the client's own connect.
struct LinkTarget {
    enum class Kind { ClientsPort, Tcp, Serial };
    Kind kind = Kind::ClientsPort;
    QString target; // host or port path; empty for the client's pick

    bool overTcp() const { return kind == Kind::Tcp; }

    // A dotted IPv4 address other than 0.0.0.0, normalised; else InvalidIpAddress.
    static std::optional<LinkTarget> tcp(const QString &host, DeviceError *why)
    {
        QString address;
        if (!ipv4::parseIpv4(host, &address) || address == QLatin1String("0.0.0.0")) {
            *why = DeviceError::InvalidIpAddress;
            return std::nullopt;
        }
        return LinkTarget{Kind::Tcp, address};
    }
    // A port name, trimmed; an empty one is NoPortSelected.
    static std::optional<LinkTarget> serial(const QString &port, DeviceError *why)
    {
        const QString name = port.trimmed();
        if (name.isEmpty()) {
            *why = DeviceError::NoPortSelected;
            return std::nullopt;
        }
        return LinkTarget{Kind::Serial, name};
    }
};
