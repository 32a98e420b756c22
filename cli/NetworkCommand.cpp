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

void NetworkCommand::run()
{
    if (!m_change.apply) {
        // Read while opening; a read the instrument refused leaves its field
        // empty, as in the client.
        const QByteArray text = field("mode", m_session.networkMode()) + field("ip", m_session.ipAddress())
            + field("netmask", m_session.netmask()) + field("gateway", m_session.gateway());
        if (writeResult(text))
            conclude(exitcode::kOk);
        return;
    }
    beginWrite();
    m_session.applyNetwork(m_change.dhcp, m_change.ip, m_change.netmask, m_change.gateway,
                           [this](const Outcome &applied) {
                               if (!applied.ok())
                                   fail(applied.message);
                               else if (endWrite())
                                   conclude(exitcode::kOk);
                           });
}
