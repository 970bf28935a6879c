// Whole installs of the sample product, each killed (SIGKILL to the installer's process group
// and its squashfuse) at a random moment or at a named stage, then run again to the end. Every
// install runs as an unprivileged user in a private mount namespace (tests/env/row.sh). After
// the kill and after the recovery the bundle, the menu entry and the setup log must each be in
// a state an interrupted install may leave: absent, the old copy, or the whole new one.
#include "soak.h"
#include "testhttpserver.h"
#include "testkeys.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace soak {
namespace {

using namespace testsupport;

const QString kApp = QStringLiteral("Quillmarsh.app");
const QString kLog = QStringLiteral("/.local/state/Logs/quillmarsh-installer.log");
const QString kEntry = QStringLiteral("/.local/share/applications/quillmarsh.desktop");
constexpr int kRunLimitMs = 45000;

// The named stages in the order they come, by the setup-log line that says they have begun (the
// log is written by a thread of its own, so the kill lands a little after the line). Alone: the
// installer alone is killed, its squashfuse left running as after a crash, and the next run
// follows in the same session. Each stage as a first install and as a replacement.
struct Stage
{
    const char *name, *line;
    bool alone;
};
// clang-format off
const Stage kStages[] = {
    {"download started", "DL: GET http[^ ]*/quillmarsh\\.dmg ", false},
    {"verified", "FLOW: image verified", false},
    {"mounting", "INST: mounting", false},
    {"mounted", "INST: mounted at", true},
    {"copying", "INST: copying", false},
    {"copying", "INST: copying", true},
    {"swapped", "INST: install SUCCESS at", false},
};
// clang-format on
constexpr int kStageCases = 2 * int(std::size(kStages));

// Every line of the setup log begins with its time stamp and ends with a newline.
QString brokenLogLine(const QString &log)
{
    static const QRegularExpression stamp(
        "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}  \\S");
    if (!log.isEmpty() && !log.endsWith('\n'))
        return "unfinished last line: " + log.section('\n', -1);
    for (const QString &line : log.split('\n', Qt::SkipEmptyParts))
        if (!stamp.match(line).hasMatch())
            return "line without its time stamp: " + line.left(200);
    return {};
}

// The live processes of a user. /proc/<pid>/stat reads "pid (name) state ppid pgrp ...": the
// name may hold spaces, the rest never.
struct Proc
{
    pid_t pid, group;
    QString name;
};
QList<Proc> processesOf(uint uid)
{
    QList<Proc> found;
    for (const QFileInfo &entry : QDir("/proc").entryInfoList(QDir::Dirs | QDir::NoSymLinks)) {
        const QString stat = entry.ownerId() == uid ? readText(entry.filePath() + "/stat") : "";
        const int open = stat.indexOf('('), close = stat.lastIndexOf(')');
        const QStringList rest = stat.mid(close + 2).split(' ');
        if (close > open && rest.size() > 2 && rest[0] != "Z")
            found.append(
                {entry.fileName().toInt(), rest[2].toInt(), stat.mid(open + 1, close - open - 1)});
    }
    return found;
}

class KillSoak : public Part
{
public:
    explicit KillSoak(quint64 seed, qint64 durationMs) : m_seed(seed), m_durationMs(durationMs)
    {
        repeat = "--kills 1 --net 0";
    }
    bool prepare() override;
    QStringList runCase(int index) override;

private:
    QString H() const { return m_row.H(); }
    QString apps() const { return H() + "/Applications"; }
    QString out(const QString &name) const { return m_row.out(name).trimmed(); }
    bool installed() const // by the last run
    {
        const QByteArray summary = out("summary").section('\n', -1).toUtf8();
        return out("rc") == "0" &&
               QJsonDocument::fromJson(summary)["outcome"].toString() == "installed";
    }

    // One run of the installer of that release, in the row's home as the last run left it
    // (keep), afresh or afresh with the old install in it; twice in one namespace (TWICE=1).
    enum Home { Keep, Fresh, OldCopy };
    void startRow(const QString &release, Home home, bool twice = false)
    {
        m_row.start(home == OldCopy ? "cp -a " + m_row.dir("old-home") + "/. $H" : "",
                    {twice ? "TWICE=1" : "TWICE=", home == Keep ? "KEEP_HOME=1" : "KEEP_HOME="},
                    m_server.url('/' + release), apps(), m_key);
    }
    QString installRow(const QString &release)
    {
        startRow(release, Fresh);
        if (m_row.wait(kRunLimitMs) && installed())
            return {};
        return "install did not succeed: " + out("summary") + out("stderr").right(2000) +
               readText(H() + kLog).right(3000);
    }
    QStringList stateProblems(bool replacing, bool recovered) const;

    quint64 m_seed;
    qint64 m_durationMs;
    EnvRow m_row;
    TestHttpServer m_server; // the old release under /old, the new one under /new
    QByteArray m_key;
    QString m_oldTree, m_newTree, m_oldEntry, m_newEntry;
};

bool KillSoak::prepare()
{
    const QString shared = m_row.dir(""), sampleApp = QStringLiteral(QM_SAMPLE_APP);
    const auto fail = [](const QString &why) {
        return std::printf("kill soak: %s\n", qPrintable(why)), false;
    };
    m_key = testsupport::makeEd25519Key(shared + "/key.pem");
    // An older release: the sample with a file more, one less, and another menu entry.
    const QString oldApp = shared + "/old-root/" + kApp;
    int status = 0;
    output("/bin/sh",
           {"-c",
            "mkdir -p \"$1/old-root\" \"$1/old\" \"$1/new\" && cp -a \"$2\" \"$1/old-root/\" && "
            "printf '0.9\\n' > \"$3/old-version\" && rm \"$3/quillmarsh.svg\" && "
            "sed -i 's/^Icon=.*/Icon=utilities-terminal/' \"$3/quillmarsh.desktop\" && "
            "mksquashfs \"$1/old-root\" \"$1/old/quillmarsh.dmg\" -noappend -quiet -no-progress "
            "-all-root && cp \"$4\" \"$1/new/quillmarsh.dmg\"",
            "sh", shared, sampleApp, oldApp, QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg"},
           &status);
    if (status != 0 || m_key.isEmpty() ||
        !signImage(shared + "/key.pem", shared + "/old/quillmarsh.dmg", 1) ||
        !signImage(shared + "/key.pem", shared + "/new/quillmarsh.dmg", 2))
        return fail("cannot build the releases");
    m_server.serveDirectory(shared);

    // The old copy installed as a user would have, kept to start each replacement from.
    if (const QString error = installRow("old"); !error.isEmpty())
        return fail("old install: " + error);
    m_oldTree = describeTree(apps() + '/' + kApp);
    m_oldEntry = readText(H() + kEntry);
    output("cp", {"-a", H(), m_row.dir("old-home")}, &status);
    if (m_oldTree != describeTree(oldApp) || m_oldEntry.isEmpty() || status != 0)
        return fail("old install differs from its image");
    // A whole install, after the first (which warmed the caches), timed by row.sh: the kills are
    // drawn over its length.
    if (const QString error = installRow("new"); !error.isEmpty())
        return fail("install: " + error);
    m_durationMs = m_durationMs > 0 ? m_durationMs : out("ms").toLongLong();
    m_newTree = describeTree(apps() + '/' + kApp);
    m_newEntry = readText(H() + kEntry);
    if (m_newTree != describeTree(sampleApp))
        return fail("install differs from the image");
    repeat += QStringLiteral(" --duration %1").arg(m_durationMs);
    std::printf("kill soak: one install takes %lld ms (user %u)\n", m_durationMs, m_row.uid);
    return std::fflush(stdout), true;
}

QStringList KillSoak::stateProblems(bool replacing, bool recovered) const
{
    QStringList problems;
    const QString tree = describeTree(apps() + '/' + kApp), entry = readText(H() + kEntry);
    if (tree != m_newTree && (recovered || tree != (replacing ? m_oldTree : "absent\n")))
        problems << "bundle is neither the new copy nor what was there before:\n" + tree.left(3000);
    if (entry != m_newEntry &&
        (recovered || !(entry.isEmpty() || (replacing && entry == m_oldEntry))))
        problems << "menu entry is not a whole one:\n" + entry;
    if (const QString broken = brokenLogLine(readText(H() + kLog)); !broken.isEmpty())
        problems << "setup log: " + broken;
    // Right after a kill, FUSE mounts and files in /tmp may be there still: they go with the row.
    if (const QString left = recovered ? m_row.leftBehind() : out("processes"); !left.isEmpty())
        problems << "left behind: " + left;
    if (recovered && entries(apps()) != QStringList{kApp})
        problems << "left in the install folder: " + entries(apps()).join(' ');
    return problems;
}

QStringList KillSoak::runCase(int index)
{
    Draw draw(m_seed, 1, index);
    const bool replacing = index % 2 == 1;
    const Stage *stage = index < kStageCases ? &kStages[index / 2] : nullptr;
    // Half the random kills, too, leave squashfuse running for the next run.
    const bool alone = stage ? stage->alone : index % 4 >= 2;
    const qint64 killMs = qint64(draw.uniform() * 1.1 * double(m_durationMs));
    const qint64 logFrom = replacing ? QFileInfo(m_row.dir("old-home") + kLog).size() : 0;
    startRow("new", replacing ? OldCopy : Fresh, alone);

    // The kill: at the drawn moment of the installer's run, or once the stage's log line is
    // there; never of a second run.
    const QRegularExpression stageLine(stage ? stage->line : "^$");
    bool killed = false, ended = false;
    pid_t first = 0;
    QElapsedTimer clock, since; // since the row started, since the installer was first seen
    clock.start();
    while (!killed && !ended && clock.elapsed() < kRunLimitMs) {
        const QList<Proc> procs = processesOf(m_row.uid);
        const auto installer = std::find_if(procs.begin(), procs.end(),
                                            [](const Proc &p) { return p.name == "qm-envrun"; });
        const bool running = installer != procs.end() && (!first || installer->pid == first);
        if (running && !first)
            first = installer->pid, since.start();
        const bool due =
            stage ? readText(H() + kLog, logFrom).contains(stageLine) : since.elapsed() >= killMs;
        ended = QFile::exists(m_row.R() + "/out/rc") || (first && !running);
        if (due && running) {
            ::kill(alone ? installer->pid : -installer->group, SIGKILL);
            // Then its squashfuse, looked for once the installer is gone: also one it was starting.
            for (const Proc &p : alone ? QList<Proc>() : processesOf(m_row.uid))
                if (p.name == "squashfuse")
                    ::kill(p.pid, SIGKILL);
            killed = true;
        } else {
            QThread::msleep(2);
        }
    }
    // Random kills are counted by the last stage the log had reached.
    QString during = "before the download";
    for (const Stage &s : kStages)
        if (readText(H() + kLog, logFrom).contains(QRegularExpression(s.line)))
            during = s.name;
    const QString kind = (stage ? "at stage " + QString(stage->name) : "random, during " + during) +
                         (alone ? ", installer alone, next run in the same session" : "");
    ++counts[killed ? kind : "ended before the kill"];
    const QString what =
        QStringLiteral("(%1%2, %3) ")
            .arg(replacing ? "replacement" : "first install",
                 stage ? QString() : QStringLiteral(", at %1 ms of its run").arg(killMs), kind);
    if (!m_row.wait(kRunLimitMs))
        return {what + "the row did not end"};
    QStringList problems;
    if (!alone) {
        if (killed && !out("mounts").isEmpty())
            ++counts["FUSE mount left by the kill (gone with the namespace)"];
        for (const QString &p : stateProblems(replacing, false))
            problems << what + "after the kill: " + p;
        // The recovery: the installer again, to the end.
        startRow("new", Keep);
        m_row.wait(kRunLimitMs);
    }
    if (!installed())
        problems << what + "recovery run did not install: " + out("summary") +
                        out("stderr").right(1000);
    for (const QString &p : stateProblems(replacing, true))
        problems << what + "after the recovery: " + p;
    if (!problems.isEmpty())
        problems << "log:\n" + readText(H() + kLog, logFrom).right(4000);
    return problems;
}

} // namespace

std::unique_ptr<Part> killSoak(quint64 seed, qint64 durationMs)
{
    if (::geteuid() == 0)
        return std::make_unique<KillSoak>(seed, durationMs);
    std::printf("kill soak: skipped, needs root to make the user's namespaces\n");
    return nullptr;
}

} // namespace soak
