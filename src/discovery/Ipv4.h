#pragma once

#include <QString>

namespace ipv4 {

// Dotted-quad check: four base-10 parts, each 0..255, surrounding white space
// allowed. On success `normalised` (if given) receives the plain form
// (192.168.001.010 -> 192.168.1.10); on failure it is left untouched.
bool parseIpv4(const QString &text, QString *normalised);

// How the address boxes read what is typed: four dot-separated pieces, each
// read from its leading number (leading white space skipped, reading stops
// at the first non-digit, so "12ab" is 12), each 0..255. On success the plain
// form; else `fallback`.
QString normalizeLenient(const QString &text, const QString &fallback);
// A box's text that names a host: it reads as four numbers, not 0.0.0.0.
bool isHostAddress(const QString &text);

// Cleans text typed as a TCP host: trims, drops a ":port" suffix and
// normalises a dotted quad; any other text is kept as cleaned.
QString cleanHost(const QString &text);

} // namespace ipv4
