// Address text typed by the operator or read from the instrument: parseIpv4
// and the host cleaning must hold their rules for any text.
#include "FuzzCheck.h"
#include "Ipv4.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstring>

namespace {

// The normalised form: four plain decimal numbers 0..255, no sign, no
// leading zero, no blanks.
bool isPlainQuad(const QString &s)
{
    const QStringList parts = s.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    if (parts.size() != 4)
        return false;
    for (const QString &p : parts) {
        if (p.isEmpty() || p.size() > 3 || (p.size() > 1 && p.at(0) == QLatin1Char('0')))
            return false;
        for (const QChar c : p) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
        if (p.toInt() > 255)
            return false;
    }
    return true;
}

void checkText(const QString &text)
{
    const QString sentinel = QStringLiteral("untouched");
    QString normalised = sentinel;
    if (ipv4::parseIpv4(text, &normalised)) {
        FUZZ_CHECK(isPlainQuad(normalised));
        QString again = sentinel;
        FUZZ_CHECK(ipv4::parseIpv4(normalised, &again));
        FUZZ_CHECK(again == normalised);
        FUZZ_CHECK(ipv4::parseIpv4(text, nullptr));
    } else {
        FUZZ_CHECK(normalised == sentinel);
        FUZZ_CHECK(!ipv4::parseIpv4(text, nullptr));
    }

    const QString host = ipv4::cleanHost(text);
    FUZZ_CHECK(ipv4::cleanHost(host) == host);
    // The port behind a colon always goes, whatever stood before it.
    FUZZ_CHECK(!host.contains(QLatin1Char(':')));
    FUZZ_CHECK(host == host.trimmed());
    const QString beforeColon = text.section(QLatin1Char(':'), 0, 0);
    QString quad;
    if (ipv4::parseIpv4(beforeColon, &quad))
        FUZZ_CHECK(host == quad);
    QString hostQuad;
    if (ipv4::parseIpv4(host, &hostQuad))
        FUZZ_CHECK(hostQuad == host);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 512)
        return 0; // host texts are short; long inputs only slow the search
    const auto *chars = reinterpret_cast<const char *>(data);
    checkText(QString::fromUtf8(chars, qsizetype(size)));
    checkText(QString::fromLatin1(chars, qsizetype(size)));
    // Raw UTF-16, lone surrogates and all.
    QString utf16(qsizetype(size / 2), Qt::Uninitialized);
    std::memcpy(utf16.data(), data, size_t(utf16.size()) * sizeof(QChar));
    checkText(utf16);
    return 0;
}
