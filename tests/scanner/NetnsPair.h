#pragma once

// Two network namespaces made for one run and joined by a veth pair: the
// instrument side ("server") and the client side, where this same program
// runs again to scan. Everything is removed when the object goes; namespaces
// left by a run that was killed are removed by the next one.

#include "NetInterfaces.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>

#include <sys/prctl.h>
#include <unistd.h>

class NetnsPair
{
public:
    // Set in the environment of the copy that runs inside the client namespace.
    static constexpr const char *kRoleVariable = "TACHYRA_NETNS_CLIENT";

    static bool isClientRun() { return qEnvironmentVariableIsSet(kRoleVariable); }

    // Guard for the copy that scans: every usable IPv4 entry it can see must
    // lie in the namespace's own subnet, or the scan would leave the sandbox.
    static bool interfacesConfinedTo(const QString &cidr)
    {
        const auto subnet = QHostAddress::parseSubnet(cidr);
        bool any = false;
        for (const NetInterface &iface : systemNetInterfaces()) {
            if (!iface.up || iface.loopback)
                continue;
            for (const NetAddressEntry &e : iface.entries) {
                if (e.ip.protocol() != QAbstractSocket::IPv4Protocol)
                    continue;
                if (!e.ip.isInSubnet(subnet))
                    return false;
                any = true;
            }
        }
        return any;
    }

    // Empty when namespaces can be built here, else the reason they cannot.
    static QString unavailableReason()
    {
        if (::geteuid() != 0)
            return QStringLiteral("needs root to create network namespaces (running as uid %1)")
                .arg(::geteuid());
        if (ipPath().isEmpty())
            return QStringLiteral("needs the 'ip' command (iproute2), which was not found");
        return {};
    }

    NetnsPair()
        : m_client(QStringLiteral("tscan-c-%1").arg(::getpid())),
          m_server(QStringLiteral("tscan-s-%1").arg(::getpid())),
          m_vethClient(QStringLiteral("tsc%1").arg(::getpid())),
          m_vethServer(QStringLiteral("tss%1").arg(::getpid()))
    {
    }

    ~NetnsPair() { tearDown(); }

    NetnsPair(const NetnsPair &) = delete;
    NetnsPair &operator=(const NetnsPair &) = delete;

    QString error() const { return m_error; }
    QString clientNamespace() const { return m_client; }

    // Addresses in CIDR form, for example 10.231.77.1/24 and 10.231.77.2/24.
    bool setUp(const QString &clientCidr, const QString &serverCidr)
    {
        removeStale();
        if (!ip({"netns", "add", m_client}))
            return false;
        m_created = true;
        return ip({"netns", "add", m_server})
            && ip({"link", "add", m_vethClient, "netns", m_client, "type", "veth", "peer", "name",
                   m_vethServer, "netns", m_server})
            && ip({"-n", m_client, "addr", "add", clientCidr, "dev", m_vethClient})
            && ip({"-n", m_server, "addr", "add", serverCidr, "dev", m_vethServer})
            && ip({"-n", m_client, "link", "set", "lo", "up"})
            && ip({"-n", m_server, "link", "set", "lo", "up"})
            && ip({"-n", m_client, "link", "set", m_vethClient, "up"})
            && ip({"-n", m_server, "link", "set", m_vethServer, "up"});
    }

    // Starts a program inside the server namespace and waits until it
    // prints readyText on its standard output.
    bool startInServer(const QString &program, const QStringList &args, const QString &readyText)
    {
        m_serverProcess = std::make_unique<QProcess>();
        diesWithUs(*m_serverProcess);
        m_serverProcess->setProcessChannelMode(QProcess::SeparateChannels);
        m_serverProcess->start(ipPath(), QStringList{"netns", "exec", m_server, program} + args);
        QByteArray out;
        while (m_serverProcess->waitForReadyRead(5000)) {
            out += m_serverProcess->readAllStandardOutput();
            if (out.contains(readyText.toUtf8()))
                return true;
        }
        m_error = QStringLiteral("%1 did not start in %2: %3 %4")
                      .arg(program, m_server, QString::fromLocal8Bit(out),
                           QString::fromLocal8Bit(m_serverProcess->readAllStandardError()));
        return false;
    }

    // Runs this executable again inside the client namespace with the
    // given arguments; its output goes straight to ours. Returns its exit code.
    int runSelfInClient(const QStringList &args)
    {
        QProcess child;
        diesWithUs(child);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QString::fromLatin1(kRoleVariable), QStringLiteral("1"));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(ipPath(), QStringList{"netns", "exec", m_client,
                                          QCoreApplication::applicationFilePath()} + args);
        if (!child.waitForStarted(5000) || !child.waitForFinished(-1))
            return 1;
        return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
    }

    void tearDown()
    {
        if (m_serverProcess) {
            m_serverProcess->terminate();
            if (!m_serverProcess->waitForFinished(2000)) {
                m_serverProcess->kill();
                m_serverProcess->waitForFinished(2000);
            }
            m_serverProcess.reset();
        }
        if (m_created) {
            // Deleting a namespace takes its end of the veth pair, and so both.
            ip({"netns", "del", m_client});
            ip({"netns", "del", m_server});
            m_created = false;
        }
    }

private:
    static QString ipPath()
    {
        QString path = QStandardPaths::findExecutable(QStringLiteral("ip"));
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
        return path;
    }

    // A test killed half-way must not leave the sim or the client copy behind.
    static void diesWithUs(QProcess &process)
    {
        process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }

    bool ip(const QStringList &args)
    {
        QProcess p;
        p.start(ipPath(), args);
        const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit
            && p.exitCode() == 0;
        if (!ok && m_error.isEmpty())
            m_error = QStringLiteral("ip %1 failed: %2")
                          .arg(args.join(QLatin1Char(' ')),
                               QString::fromLocal8Bit(p.readAllStandardError()).trimmed());
        return ok;
    }

    // Namespaces of an earlier run whose process is gone.
    void removeStale()
    {
        QProcess p;
        p.start(ipPath(), {"netns", "list"});
        p.waitForFinished(10000);
        const QStringList lines = QString::fromLocal8Bit(p.readAllStandardOutput()).split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            const QString name = line.section(QLatin1Char(' '), 0, 0);
            if (!name.startsWith(QLatin1String("tscan-")))
                continue;
            bool ok = false;
            const int pid = name.section(QLatin1Char('-'), -1).toInt(&ok);
            if (ok && pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
                QProcess del;
                del.start(ipPath(), {"netns", "del", name});
                del.waitForFinished(10000);
            }
        }
    }

    QString m_client;
    QString m_server;
    QString m_vethClient;
    QString m_vethServer;
    QString m_error;
    bool m_created = false;
    std::unique_ptr<QProcess> m_serverProcess;
};
