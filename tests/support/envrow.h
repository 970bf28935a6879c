#pragma once

// One row of the environment matrix (tests/env/row.sh): root builds the row's conditions in a
// private mount namespace, then qm-envrun installs as an unprivileged user of the row's own. The
// environment test and the kill soak both run whole installs this way.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>

#include <memory>

namespace testsupport {

// Where an install keeps its setup log and its private folder, below the user's home.
inline const QString kSetupLog = QStringLiteral("/.local/state/Logs/quillmarsh-installer.log");
inline const QString kPrivateFolder = QStringLiteral("/.cache/quillmarsh-installer");

class EnvRow
{
public:
    // The runner copied into the shared folder, where the user can run it even when the build
    // tree is in a folder only root may enter. The user id has no account, no process and no
    // other row using it (which would take this one's processes for its own leftovers).
    EnvRow()
    {
        shell("chmod 0755 \"$1\" && cp \"$2\" \"$1/qm-envrun\"", {m_shared.path(), QM_ENVRUN});
        for (uid = 48611; uid < 48811; ++uid) {
            const QString free =
                shell("getent passwd $1 || pgrep -u $1 || echo free", {QString::number(uid)});
            m_uidLock = std::make_unique<QLockFile>(QStringLiteral("/tmp/qm-row-%1.lock").arg(uid));
            m_uidLock->setStaleLockTime(0); // held as long as this process lives
            if (free == "free\n" && m_uidLock->tryLock(0))
                return;
        }
    }
    ~EnvRow() { end(); }

    QString dir(const QString &name) const { return m_shared.filePath(name); }
    QString R() const { return dir("row"); }
    QString H() const { return R() + "/home"; }
    QString out(const QString &name) const { return readText(R() + "/out/" + name); }
    // A path as the row's namespace sees it, its mounts included, until end().
    QString inRow(const QString &path) const
    {
        return QStringLiteral("/proc/%1/root%2").arg(m_namespace.processId()).arg(path);
    }
    // Processes, FUSE mounts, files in /tmp and anything in the private folder.
    QString leftBehind() const
    {
        return out("processes") + out("mounts") + out("tmp") + entries(H() + kPrivateFolder);
    }

    // row.sh with SETUP, its environment (KEEP_HOME=1, TWICE=1), then the user's command: the
    // runner with the download address and the install folder.
    void start(const QString &setup, const QStringList &env, const QString &url,
               const QString &folder, const QString &imageKey = {})
    {
        end();
        QDir(R() + "/out").removeRecursively(); // what the last run left is no answer for this one
        m_namespace.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_namespace.start("env", QStringList{"R=" + R(), "U=" + QString::number(uid),
                                             "FAKE=" QM_BINARY_DIR "/bin/fakes/pkexec"} +
                                     env +
                                     QStringList{"unshare", "-m", "--propagation", "private",
                                                 "/bin/sh", QM_SOURCE_DIR "/tests/env/row.sh",
                                                 setup, "QM_ENV_IMAGE_KEY=" + imageKey,
                                                 dir("qm-envrun"), url, folder});
    }
    // Until row.sh has recorded in out/ what the run left behind; false if it never did.
    bool wait(int ms)
    {
        return (m_namespace.bytesAvailable() > 0 || m_namespace.waitForReadyRead(ms)) &&
               m_namespace.readAll() == "done\n";
    }
    // Its input closed, row.sh ends, and every mount the row made goes with its namespace.
    void end()
    {
        m_namespace.closeWriteChannel();
        if (!m_namespace.waitForFinished(10000))
            m_namespace.kill(), m_namespace.waitForFinished(5000);
    }

    uint uid = 0;

private:
    QTemporaryDir m_shared{"/tmp/qm-row-XXXXXX"};
    std::unique_ptr<QLockFile> m_uidLock;
    QProcess m_namespace;
};

} // namespace testsupport
