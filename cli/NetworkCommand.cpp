#include "NetworkCommand.h"

#include "DeviceSession.h"

namespace {

// The instrument's text on one line: control characters would break the
// key=value lines a script reads.
QByteArray field(const char *key, const QString &value)
{
    QString text = value;
    for (QChar &c : text) {
        if (c.category() == QChar::Other_Control || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = QChar::ReplacementCharacter;
    }
    return QByteArray(key) + '=' + text.toUtf8() + '\n';
}

} // namespace

NetworkCommand::NetworkCommand(DeviceSession &session, const Change &change, QObject *parent)
    : DeviceCommand(session, parent), m_change(change)
{
}

void NetworkCommand::ready(bool, const QByteArray &)
{
    if (!m_change.apply) {
        // The opening exchange has just queued the four reads.
        m_reading = true;
        m_readsLeft = {zrf::kReadMode, zrf::kReadIp, zrf::kReadGateway, zrf::kReadNetmask};
        return;
    }
    beginWrite();
    // The end of the chain (success, rejection or time-out) clears the flag;
    // its message, if any, is set right after, so look once the handler is done.
    connect(&m_session, &DeviceSession::networkApplyingChanged, this, &NetworkCommand::onApplyingChanged,
            Qt::QueuedConnection);
    m_session.applyNetwork(m_change.dhcp, m_change.ip, m_change.netmask, m_change.gateway);
    if (!m_session.networkApplying())
        fail(m_session.lastError().isEmpty() ? QStringLiteral("the network change did not start")
                                             : m_session.lastError());
}

void NetworkCommand::onApplyingChanged()
{
    if (writing() && !m_session.networkApplying() && endWrite())
        conclude(exitcode::kOk);
}

void NetworkCommand::replied(unsigned char command, bool, const QByteArray &)
{
    readDone(command);
}

void NetworkCommand::timedOut(unsigned char command)
{
    readDone(command);
}

void NetworkCommand::readDone(unsigned char command)
{
    // A read the instrument refused leaves its field empty, as in the client.
    if (!m_reading || !m_readsLeft.remove(command) || !m_readsLeft.isEmpty())
        return;
    m_reading = false;
    const QByteArray text = field("mode", m_session.networkMode()) + field("ip", m_session.ipAddress())
        + field("netmask", m_session.netmask()) + field("gateway", m_session.gateway());
    if (writeResult(text))
        conclude(exitcode::kOk);
}
