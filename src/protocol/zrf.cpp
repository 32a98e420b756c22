#include "zrf.h"

#include <QtEndian>
#include <cstring>

namespace zrf {

QByteArray encodeFrame(unsigned char cmd, const QByteArray &payload)
{
    const qsizetype n = qMin<qsizetype>(payload.size(), kMaxPayload);
    QByteArray out;
    out.reserve(n + 8);
    out.append(char(kStart));
    out.append(char(cmd));
    out.append(char(n));
    for (qsizetype i = 0; i < n; ++i) {
        const auto b = static_cast<unsigned char>(payload.at(i));
        if (b == kStart) {
            out.append(char(kEsc));
            out.append(char(kFakeStart));
        } else if (b == kEnd) {
            out.append(char(kEsc));
            out.append(char(kFakeEnd));
        } else if (b == kEsc) {
            out.append(char(kEsc));
            out.append(char(kFakeEsc));
        } else {
            out.append(char(b));
        }
    }
    out.append(char(kEnd));
    return out;
}

Frame decodeBody(const QByteArray &body)
{
    if (body.size() < 2)
        return {};
    QByteArray output;
    unsigned char command = kUnset;
    unsigned char length = kUnset;
    bool escape = false;
    for (const char c : body) {
        const auto b = static_cast<unsigned char>(c);
        if (escape) {
            if (b == kFakeEnd)
                output.append(char(kEnd));
            else if (b == kFakeStart)
                output.append(char(kStart));
            else if (b == kFakeEsc)
                output.append(char(kEsc));
            else
                return {};
            escape = false;
        } else if (b == kStart) {
            output.clear();
            command = kUnset;
            length = kUnset;
        } else if (command == kUnset) {
            command = b;
        } else if (length == kUnset) {
            length = b;
        } else if (b == kEsc) {
            escape = true;
        } else {
            output.append(char(b));
        }
    }
    if (escape || output.size() != qsizetype(length))
        return {};
    return {command, output};
}

QList<Frame> extractFrames(QByteArray &buffer)
{
    QList<Frame> frames;
    for (;;) {
        const qsizetype start = buffer.indexOf(char(kStart));
        if (start < 0) {
            buffer.clear();
            break;
        }
        buffer.remove(0, start);
        const qsizetype end = buffer.indexOf(char(kEnd), 1);
        if (end < 0)
            break;
        frames.append(decodeBody(buffer.mid(1, end - 1)));
        buffer.remove(0, end + 1);
    }
    return frames;
}

void FrameDecoder::reset()
{
    m_inFrame = false;
    restartBody();
    m_bodyBytes = 0;
}

void FrameDecoder::restartBody()
{
    m_invalid = false;
    m_escape = false;
    m_command = kUnset;
    m_length = kUnset;
    m_outCount = 0;
    m_out.clear();
}

Frame FrameDecoder::finish()
{
    Frame f;
    if (m_bodyBytes >= 2 && !m_invalid && !m_escape && m_outCount == qsizetype(m_length)) {
        f.command = m_command;
        f.payload = m_out;
    }
    reset();
    return f;
}

bool FrameDecoder::feed(const QByteArray &data, qsizetype &pos, Frame &out)
{
    const qsizetype size = data.size();
    const auto *bytes = reinterpret_cast<const unsigned char *>(data.constData());
    while (pos < size) {
        const unsigned char b = bytes[pos++];
        if (!m_inFrame) {
            if (b == kStart) {
                m_inFrame = true;
                restartBody();
                m_bodyBytes = 0;
            }
            continue;
        }
        if (b == kEnd) {
            out = finish();
            return true;
        }
        ++m_bodyBytes;
        if (m_invalid)
            continue; // decoding stopped; wait for the end byte
        if (m_escape) {
            unsigned char v;
            if (b == kFakeEnd)
                v = kEnd;
            else if (b == kFakeStart)
                v = kStart;
            else if (b == kFakeEsc)
                v = kEsc;
            else {
                m_invalid = true;
                m_out.clear();
                continue;
            }
            m_escape = false;
            if (++m_outCount <= kMaxPayload)
                m_out.append(char(v));
        } else if (b == kStart) {
            // A start byte inside a body: the earlier frame was cut off.
            restartBody();
        } else if (m_command == kUnset) {
            m_command = b;
        } else if (m_length == kUnset) {
            m_length = b;
        } else if (b == kEsc) {
            m_escape = true;
        } else if (++m_outCount <= kMaxPayload) {
            // Beyond 255 bytes the length can never match; only the count matters.
            m_out.append(char(b));
        }
    }
    return false;
}

QByteArray packDouble(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    QByteArray out(8, Qt::Uninitialized);
    qToLittleEndian(bits, out.data());
    return out;
}

QByteArray packDoubles(const QList<double> &values)
{
    QByteArray out;
    out.reserve(values.size() * 8);
    for (double v : values)
        out.append(packDouble(v));
    return out;
}

bool unpackDoubles(const QByteArray &payload, QList<double> *out)
{
    if (out)
        out->clear();
    if (payload.isEmpty() || payload.size() % 8 != 0)
        return false;
    if (!out)
        return true;
    out->reserve(payload.size() / 8);
    for (qsizetype i = 0; i < payload.size(); i += 8) {
        const quint64 bits = qFromLittleEndian<quint64>(payload.constData() + i);
        double v;
        std::memcpy(&v, &bits, sizeof v);
        out->append(v);
    }
    return true;
}

} // namespace zrf
