#include "ScanCommand.h"

#include "DeviceCommand.h"
#include "DeviceSession.h"
#include "Output.h"

#include <QMetaObject>

ScanCommand::ScanCommand(DeviceSession &session, QObject *parent)
    : QObject(parent), m_session(session)
{
}

void ScanCommand::start()
{
    connect(&m_session, &DeviceSession::tcpScanProgressChanged, this, [this] {
        if (m_session.tcpScanning())
            output::progress(QStringLiteral("scanning: %1 %").arg(m_session.tcpScanProgress(), 0, 'f', 0));
    });
    connect(&m_session, &DeviceSession::tcpScanningChanged, this, &ScanCommand::onScanningChanged);
    m_session.startTcpScan();
    // No interface to scan: the scan is over before it is seen running.
    if (!m_session.tcpScanning())
        printHosts(exitcode::kOk);
}

void ScanCommand::onScanningChanged()
{
    if (!m_session.tcpScanning())
        printHosts(exitcode::kOk);
}

void ScanCommand::interrupt()
{
    if (m_done)
        return;
    m_session.stopTcpScan(); // keeps the hosts found so far
    printHosts(exitcode::kStopped);
}

void ScanCommand::printHosts(int exitCode)
{
    if (m_done)
        return;
    m_done = true;
    m_session.disconnect(this);
    output::endProgress();
    QByteArray text;
    for (const QVariant &host : m_session.tcpHosts())
        text += host.toMap().value(QStringLiteral("name")).toString().toUtf8() + '\n';
    if (text.isEmpty()) {
        output::message(QStringLiteral("no instrument answered"));
    } else if (output::line(text) == output::Write::Failed) {
        output::message(QStringLiteral("cannot write the output: ") + output::lastWriteError());
        exitCode = exitcode::kDevice;
    }
    QMetaObject::invokeMethod(this, [this, exitCode] { emit finished(exitCode); }, Qt::QueuedConnection);
}
