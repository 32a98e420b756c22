#include "SimConnection.h"

#include "SimInstrument.h"

#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <cerrno>
#include <unistd.h>

namespace {
// While the pty slave is closed, the master reports hang-up on every poll;
// look again at this pace instead of spinning.
constexpr int kHangupPollMs = 50;
constexpr int kReadChunk = 4096;
// A flood keeps about this much waiting in the socket: enough that the
// kernel's buffers never run dry, little enough that the simulator stays small.
constexpr qint64 kFloodQueued = qint64(256) * 1024;
constexpr int kFloodBlockFrames = 1024;
} // namespace

SimConnection::SimConnection(SimInstrument *sim, QTcpSocket *socket)
    : QObject(sim), m_sim(sim), m_socket(socket)
{
    m_clock.start();
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = m_socket->readAll();
        if (!bytes.isEmpty())
            m_sim->handleBytes(this, bytes);
    });
    connect(socket, &QTcpSocket::disconnected, this, &SimConnection::finish);
    connect(socket, &QTcpSocket::bytesWritten, this, &SimConnection::topUpFlood);
    m_pumpTimer = new QTimer(this);
    m_pumpTimer->setSingleShot(true);
    m_pumpTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pumpTimer, &QTimer::timeout, this, &SimConnection::pump);
}

SimConnection::SimConnection(SimInstrument *sim, int masterFd, const QString &slavePath)
    : QObject(sim), m_sim(sim), m_fd(masterFd), m_ptyPath(slavePath)
{
    m_clock.start();
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimConnection::readPty);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &SimConnection::flushPty);
    m_hangupPoll = new QTimer(this);
    m_hangupPoll->setInterval(kHangupPollMs);
    connect(m_hangupPoll, &QTimer::timeout, this, &SimConnection::readPty);
    m_pumpTimer = new QTimer(this);
    m_pumpTimer->setSingleShot(true);
    m_pumpTimer->setTimerType(Qt::PreciseTimer);
    connect(m_pumpTimer, &QTimer::timeout, this, &SimConnection::pump);
}

SimConnection::~SimConnection()
{
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    if (m_fd >= 0)
        ::close(m_fd);
}

void SimConnection::queue(const QByteArray &bytes, int delayMs, int gapMs, bool closeAfter)
{
    if (m_closing)
        return;
    Piece p;
    p.bytes = bytes;
    p.notBeforeMs = m_clock.elapsed() + qMax(0, delayMs);
    p.gapMs = qMax(0, gapMs);
    p.closeAfter = closeAfter;
    if (closeAfter)
        m_closing = true; // later requests on this link get nothing
    m_pieces.append(p);
    pump();
}

void SimConnection::pump()
{
    while (!m_pieces.isEmpty() && !m_finished) {
        const Piece &head = m_pieces.first();
        const qint64 due = qMax(head.notBeforeMs, m_lastWriteMs + head.gapMs);
        const qint64 now = m_clock.elapsed();
        if (due > now) {
            m_pumpTimer->start(int(due - now));
            return;
        }
        const Piece piece = m_pieces.takeFirst();
        writeNow(piece.bytes);
        m_lastWriteMs = m_clock.elapsed();
        if (piece.closeAfter) {
            m_pieces.clear();
            closeLink();
            return;
        }
    }
}

void SimConnection::writeNow(const QByteArray &bytes)
{
    if (m_socket) {
        m_socket->write(bytes);
        return;
    }
    // With the slave closed the kernel still takes the bytes and hands them
    // to the next client as a stale reply; drop them instead.
    if (m_fd < 0 || m_hangupPoll->isActive())
        return;
    m_ptyOut.append(bytes);
    flushPty();
}

void SimConnection::flushPty()
{
    while (!m_ptyOut.isEmpty() && m_fd >= 0) {
        const ssize_t n = ::write(m_fd, m_ptyOut.constData(), size_t(m_ptyOut.size()));
        if (n > 0) {
            m_ptyOut.remove(0, qsizetype(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            m_writeNotifier->setEnabled(true);
            return;
        }
        // Nobody on the slave side: the bytes are lost, as on an unplugged cable.
        m_ptyOut.clear();
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void SimConnection::readPty()
{
    if (m_fd < 0)
        return;
    char buf[kReadChunk];
    for (;;) {
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            m_hangupPoll->stop();
            m_readNotifier->setEnabled(true);
            m_sim->handleBytes(this, QByteArray(buf, qsizetype(n)));
            if (m_fd < 0)
                return; // closed while handling
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // Slave open and idle: back to waiting on the notifier.
            m_hangupPoll->stop();
            m_readNotifier->setEnabled(true);
            return;
        }
        // EIO (or end of file): the slave is closed. Keep the master so the
        // path stays valid for the next client, and poll slowly until then.
        m_readNotifier->setEnabled(false);
        if (!m_hangupPoll->isActive())
            m_hangupPoll->start();
        m_ptyOut.clear();
        return;
    }
}

void SimConnection::closeLink()
{
    m_closing = true;
    m_pieces.clear();
    m_pumpTimer->stop();
    if (m_socket) {
        // Sends what is already written, then closes; disconnected() finishes.
        m_socket->disconnectFromHost();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            finish();
        return;
    }
    if (m_fd >= 0) {
        flushPty();
        delete m_readNotifier;
        m_readNotifier = nullptr;
        delete m_writeNotifier;
        m_writeNotifier = nullptr;
        m_hangupPoll->stop();
        ::close(m_fd);
        m_fd = -1;
    }
    finish();
}

void SimConnection::setFlood(bool on)
{
    if (!m_socket || on == m_flood)
        return;
    m_flood = on;
    if (on && m_floodBlock.isEmpty()) {
        const QByteArray frame = zrf::encodeFrame(zrf::kCountQuery, zrf::packDoubles({1, 2, 3, 4, 5, 6, 7, 8}));
        m_floodBlock = frame.repeated(kFloodBlockFrames);
    }
    topUpFlood();
}

void SimConnection::topUpFlood()
{
    while (m_flood && !m_closing && m_socket->state() == QAbstractSocket::ConnectedState
           && m_socket->bytesToWrite() < kFloodQueued)
        m_socket->write(m_floodBlock);
}

void SimConnection::finish()
{
    if (m_finished)
        return;
    m_finished = true;
    m_pumpTimer->stop();
    m_sim->connectionFinished(this);
}
