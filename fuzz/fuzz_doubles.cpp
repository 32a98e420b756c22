// zrf::unpackDoubles takes any payload: it accepts exactly the non-empty
// multiples of 8 bytes, yields size/8 values, and packDoubles gives the same
// bytes back (bit for bit, NaN payloads included).
#include "FuzzCheck.h"
#include "zrf.h"

#include <QByteArray>
#include <QList>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray payload(reinterpret_cast<const char *>(data), qsizetype(size));
    const bool acceptable = size > 0 && size % 8 == 0;

    QList<double> values{1.0, 2.0, 3.0}; // must be emptied on every path
    const bool ok = zrf::unpackDoubles(payload, &values);
    FUZZ_CHECK(ok == acceptable);
    FUZZ_CHECK(zrf::unpackDoubles(payload, nullptr) == ok);
    if (!ok) {
        FUZZ_CHECK(values.isEmpty());
        return 0;
    }
    FUZZ_CHECK(values.size() == qsizetype(size / 8));
    FUZZ_CHECK(zrf::packDoubles(values) == payload);
    for (qsizetype i = 0; i < values.size(); ++i)
        FUZZ_CHECK(zrf::packDouble(values.at(i)) == payload.mid(i * 8, 8));
    return 0;
}
