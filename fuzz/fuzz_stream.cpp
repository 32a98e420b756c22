// The streaming FrameDecoder, fed the bytes in random chunk sizes the way
// readyRead delivers them, must produce exactly the frames of the reference
// whole-buffer extractor; every frame it yields must be well formed.
#include "FuzzCheck.h"
#include "zrf.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QByteArray>
#include <QList>

#include <cstdint>

namespace {

bool sameFrame(const zrf::Frame &a, const zrf::Frame &b)
{
    return a.command == b.command && a.payload == b.payload;
}

// Payload sizes the one length byte cannot carry: 0xF9 and 0xFA read as start
// and end bytes, 0xFF as "unset".
bool lengthCarried(qsizetype n)
{
    return n != zrf::kStart && n != zrf::kEnd && n != zrf::kUnset;
}

bool commandCarried(unsigned char c)
{
    return c != zrf::kStart && c != zrf::kEnd && c != zrf::kUnset;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider fdp(data, size);
    // Chunk sizes come from the tail of the input, the stream from the rest.
    const uint32_t chunkSeed = fdp.ConsumeIntegral<uint32_t>();
    const std::string rest = fdp.ConsumeRemainingBytesAsString();
    const QByteArray stream(rest.data(), qsizetype(rest.size()));

    QByteArray buffer = stream;
    const QList<zrf::Frame> expected = zrf::extractFrames(buffer);

    QList<zrf::Frame> got;
    zrf::FrameDecoder decoder;
    uint32_t lcg = chunkSeed | 1u;
    qsizetype offset = 0;
    while (offset < stream.size()) {
        lcg = lcg * 1664525u + 1013904223u;
        // Mostly short chunks, sometimes one byte, sometimes long ones.
        qsizetype len = qsizetype((lcg >> 24) % 17) + 1;
        if ((lcg & 0xF) == 0)
            len = qsizetype((lcg >> 8) % 600) + 1;
        const QByteArray chunk = stream.mid(offset, len);
        offset += chunk.size();
        qsizetype pos = 0;
        zrf::Frame frame;
        while (pos < chunk.size()) {
            const qsizetype before = pos;
            if (!decoder.feed(chunk, pos, frame)) {
                FUZZ_CHECK(pos == chunk.size());
                break;
            }
            FUZZ_CHECK(pos > before && pos <= chunk.size());
            got.append(frame);
        }
        FUZZ_CHECK(decoder.heldBytes() <= zrf::kMaxPayload);
    }

    FUZZ_CHECK(got.size() == expected.size());
    for (qsizetype i = 0; i < got.size(); ++i)
        FUZZ_CHECK(sameFrame(got.at(i), expected.at(i)));
    // What the reference keeps (an unfinished frame from its start byte on)
    // is exactly what the decoder is still inside.
    FUZZ_CHECK(buffer.isEmpty() != decoder.inFrame());
    FUZZ_CHECK(buffer.isEmpty() || quint8(buffer.at(0)) == zrf::kStart);

    for (const zrf::Frame &f : expected) {
        FUZZ_CHECK(f.payload.size() <= zrf::kMaxPayload);
        if (f.command == zrf::kFailed)
            continue; // a failed frame may be a malformed one: nothing more to hold
        // A well-formed frame survives the encoder and the extractor unchanged
        // whenever its code and length can be carried at all.
        if (!commandCarried(f.command) || !lengthCarried(f.payload.size()))
            continue;
        QByteArray wire = zrf::encodeFrame(f.command, f.payload);
        FUZZ_CHECK(wire.size() <= zrf::kMaxFrameBytes);
        const QList<zrf::Frame> again = zrf::extractFrames(wire);
        FUZZ_CHECK(again.size() == 1 && sameFrame(again.at(0), f) && wire.isEmpty());
    }
    return 0;
}
