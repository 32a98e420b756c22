#pragma once

// Wire format shared by the client and the simulated instrument:
// 0xF9, command, length, escaped payload, 0xFA. No checksum.

#include <QByteArray>
#include <QList>

namespace zrf {

constexpr unsigned char kStart = 0xF9;
constexpr unsigned char kEnd = 0xFA;
constexpr unsigned char kEsc = 0xFB;
constexpr unsigned char kFakeStart = 0xFC;
constexpr unsigned char kFakeEnd = 0xFD;
constexpr unsigned char kFakeEsc = 0xFE;

// Reply code that marks a failed or malformed frame.
constexpr unsigned char kFailed = 0x02;
// Value of an unset command or length field while decoding.
constexpr unsigned char kUnset = 0xFF;

constexpr int kMaxPayload = 255;
// Longest frame a sender can produce: header, every payload byte escaped, end byte.
constexpr int kMaxFrameBytes = 3 + 2 * kMaxPayload + 1;

// Command codes.
enum Command : unsigned char {
    kWeep = 0x0A,
    kReadIp = 0x0B,
    kReadNetmask = 0x0C,
    kReadGateway = 0x0D,
    kReadMode = 0x0E,
    kSetIp = 0x0F,
    kSetNetmask = 0x10,
    kSetGateway = 0x11,
    kSetDhcp = 0x12,
    kNetApply = 0x13,
    kSdac = 0x20,
    kCountQuery = 0x23,
    kPeriodQuery = 0x24,
    kPeriodSet = 0x25,
    kSdacQuery = 0x26,
};

struct Frame {
    unsigned char command = kFailed;
    QByteArray payload;
};

// Encodes one frame; only the first 255 payload bytes are sent.
QByteArray encodeFrame(unsigned char cmd, const QByteArray &payload);

// Decodes the bytes strictly between a start and an end byte. A malformed
// body yields command 0x02 with an empty payload.
Frame decodeBody(const QByteArray &body);

// Reference extractor working on a whole buffer: cuts every complete frame
// out of `buffer` (removing what it consumed) and decodes it. Kept for tests
// and fuzzing; the session uses FrameDecoder, which gives the same frames.
QList<Frame> extractFrames(QByteArray &buffer);

// Streaming form of the extractor and body decoder. Each byte is looked at
// once and at most 255 payload bytes are held, so a peer that never sends an
// end byte cannot grow memory; the frames produced are exactly those of
// extractFrames on the concatenated stream.
class FrameDecoder
{
public:
    // Consumes bytes of `data` from `pos` on until a frame ends. Returns true
    // with the decoded frame in `out` and `pos` just past its end byte;
    // returns false with `pos` at the end of `data` when no frame completed.
    bool feed(const QByteArray &data, qsizetype &pos, Frame &out);
    void reset();
    bool inFrame() const { return m_inFrame; }
    // Payload bytes held for the frame in progress.
    qsizetype heldBytes() const { return m_out.size(); }

private:
    void restartBody();
    Frame finish();

    bool m_inFrame = false;
    bool m_invalid = false;
    bool m_escape = false;
    unsigned char m_command = kUnset;
    unsigned char m_length = kUnset;
    qsizetype m_bodyBytes = 0;
    qsizetype m_outCount = 0;
    QByteArray m_out;
};

// Payload helpers: little-endian IEEE 754 binary64 lists.
QByteArray packDouble(double value);
QByteArray packDoubles(const QList<double> &values);
bool unpackDoubles(const QByteArray &payload, QList<double> *out);

} // namespace zrf
