// Cost per received byte of cutting frames out of the stream: 10 000 count
// replies arriving in one chunk against one reply per chunk. Linear
// extraction keeps both within a small factor of each other.
#include "zrf.h"

#include <QElapsedTimer>
#include <cstdio>

namespace {

double nsPerByte(const QList<QByteArray> &chunks, qsizetype totalBytes, int repeats)
{
    QElapsedTimer clock;
    qint64 best = -1;
    for (int r = 0; r < repeats; ++r) {
        zrf::FrameDecoder decoder;
        zrf::Frame f;
        qsizetype frames = 0;
        clock.start();
        for (const QByteArray &chunk : chunks) {
            qsizetype pos = 0;
            while (decoder.feed(chunk, pos, f))
                ++frames;
        }
        const qint64 ns = clock.nsecsElapsed();
        if (frames != 10000)
            std::fprintf(stderr, "decoded %lld frames\n", static_cast<long long>(frames));
        if (best < 0 || ns < best)
            best = ns;
    }
    return double(best) / double(totalBytes);
}

} // namespace

int main()
{
    QList<double> counts;
    for (int i = 0; i < 8; ++i)
        counts.append(1000.0 * i + 0.5);
    const QByteArray frame = zrf::encodeFrame(zrf::kCountQuery, zrf::packDoubles(counts));
    QByteArray all;
    QList<QByteArray> perFrame;
    for (int i = 0; i < 10000; ++i) {
        all += frame;
        perFrame.append(frame);
    }
    const double one = nsPerByte({all}, all.size(), 20);
    const double many = nsPerByte(perFrame, all.size(), 20);
    std::printf("frame extraction, %lld bytes in 10000 frames\n", static_cast<long long>(all.size()));
    std::printf("  one chunk:        %.2f ns/byte\n", one);
    std::printf("  frame per chunk:  %.2f ns/byte\n", many);
    std::printf("  ratio:            %.2f (goal: within 2x)\n", one > many ? one / many : many / one);
    return 0;
}
