#pragma once

// Two network namespaces made for one run and joined by a veth pair: the
// simulated instrument listens in one, and this process moves its sockets
// into the other to scan. Both go when the object goes, however the run
// ended; namespaces left by a killed run are removed by the next one.
// Used by the namespace test and the scan benchmark (root and iproute2).

#include "NetInterfaces.h"
#include "TcpLanScanner.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

class NetnsSandbox
{
public:
    // clientCidr: this process's address on the veth pair; instrumentCidr:
    // where the simulated instrument listens (port 1234).
    NetnsSandbox(const QString &clientCidr, const QString &instrumentCidr)
        : m_clientCidr(clientCidr), m_instrumentCidr(instrumentCidr)
    {
    }

    ~NetnsSandbox()
    {
        leaveClient();
        m_sim.terminate();
        if (!m_sim.waitForFinished(2000))
            m_sim.kill();
        ip({"netns", "del", m_client}); // each takes its end of the veth pair along
        ip({"netns", "del", m_server});
    }

    QString instrument() const { return m_instrumentCidr.section('/', 0, 0); }
    QString error() const { return m_error; }

    // Empty when namespaces can be built here, else why not.
    static QString unavailableReason()
    {
        if (::geteuid() != 0)
            return QStringLiteral("needs root to create network namespaces (running as uid %1)").arg(::geteuid());
        if (ipPath().isEmpty())
            return QStringLiteral("needs the 'ip' command (iproute2), which was not found");
        return {};
    }

    // Builds both namespaces and starts `simPath` listening in the instrument's.
    bool setUp(const QString &simPath)
    {
        for (const QString &name : QDir(QStringLiteral("/run/netns")).entryList({"tscan-*"}, QDir::Files)) {
            const int owner = name.section('-', -1).toInt();
            if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
                ip({"netns", "del", name});
        }
        ++s_serial;
        const QString id = QString::number(::getpid()), tag = QString::number(s_serial);
        m_client = "tscan-c" + tag + "-" + id;
        m_server = "tscan-s" + tag + "-" + id;
        const QString veth = "tsc" + tag + "x" + id, peer = "tss" + tag + "x" + id;
        for (const QStringList &args : QList<QStringList>{
                 {"netns", "add", m_client}, {"netns", "add", m_server},
                 {"link", "add", veth, "netns", m_client, "type", "veth", "peer", "name", peer, "netns", m_server},
                 {"-n", m_client, "addr", "add", m_clientCidr, "dev", veth},
                 {"-n", m_server, "addr", "add", m_instrumentCidr, "dev", peer},
                 {"-n", m_client, "link", "set", "lo", "up"}, {"-n", m_server, "link", "set", "lo", "up"},
                 {"-n", m_client, "link", "set", veth, "up"}, {"-n", m_server, "link", "set", peer, "up"}}) {
            if (!ip(args, &m_error))
                return false;
        }
        // Killed with us: a run stopped half-way leaves no instrument behind.
        m_sim.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        m_sim.start(ipPath(), {"netns", "exec", m_server, simPath, "--listen", instrument() + ":1234",
                               "--allow-any-address"});
        QByteArray out;
        while (!out.contains("listening on") && m_sim.waitForReadyRead(5000))
            out += m_sim.readAllStandardOutput();
        m_error = QString::fromLocal8Bit(out + m_sim.readAllStandardError());
        return out.contains("listening on");
    }

    // Moves this process's network namespace to the client side.
    bool enterClient()
    {
        m_home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        const int fd = ::open(qPrintable("/run/netns/" + m_client), O_RDONLY | O_CLOEXEC);
        m_error = QStringLiteral("cannot enter namespace %1").arg(m_client);
        const bool ok = m_home >= 0 && fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }

    void leaveClient()
    {
        if (m_home < 0)
            return;
        ::setns(m_home, CLONE_NEWNET);
        ::close(m_home);
        m_home = -1;
    }

    // Guard before scanning: every target the system's interfaces give must
    // lie in the client's own subnet, or the scan would leave the sandbox.
    bool confined() const
    {
        const auto subnet = QHostAddress::parseSubnet(m_clientCidr);
        const QList<TcpLanScanner::Probe> targets = TcpLanScanner::collectTargets(systemNetInterfaces());
        return !targets.isEmpty() && std::all_of(targets.cbegin(), targets.cend(), [&](const TcpLanScanner::Probe &p) {
            return QHostAddress(p.ip).isInSubnet(subnet);
        });
    }

private:
    static QString ipPath()
    {
        return QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    }

    static bool ip(const QStringList &args, QString *error = nullptr)
    {
        QProcess p;
        p.start(ipPath(), args);
        const bool ok = p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!ok && error)
            *error = QStringLiteral("ip %1: %2").arg(args.join(' '), QString::fromLocal8Bit(p.readAllStandardError()));
        return ok;
    }

    static inline int s_serial = 0;
    QString m_clientCidr, m_instrumentCidr, m_client, m_server, m_error;
    QProcess m_sim;
    int m_home = -1;
};
