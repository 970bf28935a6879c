// Whole installs of the sample product, each killed (SIGKILL to the installer's process group
// and its squashfuse) at a random moment or at a named stage, then run again to the end. Every
// install runs as an unprivileged user in a private mount namespace (tests/env/row.sh). After
// the kill and after the recovery the bundle, the menu entry and the setup log must each be in
// a state an interrupted install may leave: absent, the old copy, or the whole new one.
#include "soak.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <csignal>

namespace soak {
namespace {

const QString kApp = QStringLiteral("Quillmarsh.app");
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
    KillSoak(quint64 seed, qint64 durationMs) : m_seed(seed), m_durationMs(durationMs)
    {
        repeat = "--kills 1 --net 0", failed = setUp();
    }
    QStringList runCase(int index) override;

private:
    QString H() const { return m_row.H(); }
    QString apps() const { return H() + "/Applications"; }
    QString out(const QString &name) const { return m_row.out(name).trimmed(); }
    // The bundle and the menu entry.
    QStringList state() const
    {
        return {describeTree(apps() + '/' + kApp), readText(H() + kEntry)};
    }

    // One run of the installer of that release, in the row's home as the last run left it
    // (keep), afresh or afresh with the old install in it; twice in one namespace.
    enum Home { Keep, Fresh, OldCopy };
    void startRow(const QString &release, Home home, bool twice = false)
    {
        m_row.start(home == OldCopy ? "cp -a " + m_row.dir("old-home") + "/. $H" : "",
                    {twice ? "TWICE=1" : "TWICE=", home == Keep ? "KEEP_HOME=1" : "KEEP_HOME="},
                    m_server.url('/' + release), apps(), m_key);
    }
    // Whether the last run installed; if not, what it said.
    QString notInstalled() const
    {
        if (out("rc") == "0" && out("summary").endsWith(R"({"outcome":"installed"})"))
            return {};
        return "did not install: " + out("summary") + out("stderr").right(1000);
    }
    QString setUp();
    QStringList stateProblems(bool replacing, bool recovered) const;

    quint64 m_seed;
    qint64 m_durationMs;
    EnvRow m_row;
    TestHttpServer m_server;               // the old release under /old, the new one under /new
    qint64 m_imageSize = 0, m_sigSize = 0; // of the new release
    QByteArray m_key;
    QStringList m_old, m_new; // state()
};

QString KillSoak::setUp()
{
    // An older release: the sample with a file more, one less, and another menu entry. The new one
    // carries 2 MiB that do not compress, so that its download takes a while to kill.
    const QString built = shell(
        "mkdir -p \"$1/old-root\" \"$1/new-root\" \"$1/old\" \"$1/new\" && "
        "cp -a \"$2\" \"$1/old-root/\" && cp -a \"$2\" \"$1/new-root/\" && "
        "head -c 2097152 /dev/urandom > \"$1/new-root/Quillmarsh.app/payload\" && "
        "mksquashfs \"$1/new-root\" \"$1/new/quillmarsh.dmg\" -noappend -quiet -no-progress "
        "-all-root && "
        "cd \"$1/old-root/Quillmarsh.app\" && printf '0.9\\n' > old-version && "
        "rm quillmarsh.svg && sed -i 's/^Icon=.*/Icon=utilities-terminal/' quillmarsh.desktop && "
        "mksquashfs \"$1/old-root\" \"$1/old/quillmarsh.dmg\" -noappend -quiet -no-progress "
        "-all-root && echo built",
        {m_row.dir(""), QM_SAMPLE_APP});
    m_key = signReleases(m_row.dir(""),
                         {m_row.dir("old/quillmarsh.dmg"), m_row.dir("new/quillmarsh.dmg")});
    if (!built.endsWith("built\n") || m_key.isEmpty())
        return "cannot build the releases";
    const QString root = m_row.dir("");
    m_server.setHandler([root](const HttpRequest &request) {
        HttpResponse r = TestHttpServer::fileResponse(request, root + request.path());
        // The image as over a line of about 3 MB/s.
        if (!request.path().endsWith(".sig"))
            r.pieceSize = 16 * 1024, r.pieceDelayMs = 5;
        return r;
    });
    m_imageSize = QFileInfo(m_row.dir("new/quillmarsh.dmg")).size();
    m_sigSize = QFileInfo(m_row.dir("new/quillmarsh.dmg.sig")).size();

    // The old copy installed as a user would have, kept to start each replacement from; then a
    // whole install, after the first (which warmed the caches), timed by row.sh: the kills are
    // drawn over its length.
    for (const QString release : {"old", "new"}) {
        startRow(release, Fresh);
        if (const QString error = m_row.wait(kRunLimitMs) ? notInstalled() : "the row did not end";
            !error.isEmpty())
            return release + " release: " + error;
        (release == "old" ? m_old : m_new) = state();
        if (release == "old")
            shell("cp -a \"$1\" \"$2\"", {H(), m_row.dir("old-home")});
    }
    m_durationMs = m_durationMs > 0 ? m_durationMs : out("ms").toLongLong();
    repeat += QStringLiteral(" --duration %1").arg(m_durationMs);
    std::printf("kill soak: one install takes %lld ms (user %u)\n", m_durationMs, m_row.uid);
    return std::fflush(stdout), QString();
}

// After the kill, each of the bundle and the menu entry is the new copy, what was there before,
// or (the menu entry) absent; after the recovery, the new copy. Nothing is left behind.
QStringList KillSoak::stateProblems(bool replacing, bool recovered) const
{
    QStringList problems;
    const QString when = recovered ? "after the recovery: " : "after the kill: ";
    const QStringList now = state();
    if (now[0] != m_new[0] && (recovered || now[0] != (replacing ? m_old[0] : "absent\n")))
        problems << when + "bundle is neither the new copy nor what was there before:\n" +
                        now[0].left(3000);
    if (now[1] != m_new[1] &&
        (recovered || !(now[1].isEmpty() || (replacing && now[1] == m_old[1]))))
        problems << when + "menu entry is not a whole one:\n" + now[1];
    if (const QString broken = brokenLogLine(readText(H() + kSetupLog)); !broken.isEmpty())
        problems << when + "setup log: " + broken;
    // Right after a kill, FUSE mounts and files in /tmp may be there still: they go with the row.
    if (const QString left = recovered ? m_row.leftBehind() : out("processes"); !left.isEmpty())
        problems << when + "left behind: " + left;
    if (recovered && entries(apps()) != kApp)
        problems << when + "left in the install folder: " + entries(apps());
    if (const QString error = notInstalled(); recovered && !error.isEmpty())
        problems << when + error;
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
    const qint64 logFrom = replacing ? QFileInfo(m_row.dir("old-home") + kSetupLog).size() : 0;
    m_server.clearBodyBytesSent();
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
        const bool due = stage ? readText(H() + kSetupLog, logFrom).contains(stageLine)
                               : since.elapsed() >= killMs;
        ended = QFile::exists(m_row.R() + "/out/rc") || (first && !running);
        if (due && running) {
            ::kill(alone ? installer->pid : -installer->group, SIGKILL);
            // Then its squashfuse, looked for once the installer is gone until three looks in a
            // row find none: also one it was starting, which may show itself a moment later.
            for (int quiet = 0, looks = 0; !alone && quiet < 3 && looks < 100; ++looks) {
                bool seen = false;
                for (const Proc &p : processesOf(m_row.uid)) {
                    if (p.name == "squashfuse") {
                        seen = true;
                        ::kill(p.pid, SIGKILL);
                    }
                }
                quiet = seen ? 0 : quiet + 1;
                QThread::msleep(10);
            }
            killed = true;
        } else {
            QThread::msleep(2);
        }
    }
    // Random kills are counted by the last stage the log had reached.
    QString during = "before the download";
    for (const Stage &s : kStages)
        if (readText(H() + kSetupLog, logFrom).contains(QRegularExpression(s.line)))
            during = s.name;
    const QString kind = (stage ? "at stage " + QString(stage->name) : "random, during " + during) +
                         (alone ? ", installer alone, next run in the same session" : "");
    ++counts[killed ? kind : "ended before the kill"];
    const QString what =
        QStringLiteral("(%1%2, %3)")
            .arg(replacing ? "replacement" : "first install",
                 stage ? QString() : QStringLiteral(", at %1 ms of its run").arg(killMs), kind);
    if (!m_row.wait(kRunLimitMs))
        return {what + " the row did not end"};
    QStringList problems;
    if (!alone) {
        if (killed && !out("mounts").isEmpty())
            ++counts["FUSE mount left by the kill (gone with the namespace)"];
        problems = stateProblems(replacing, false);
        // The recovery: the installer again, to the end.
        startRow("new", Keep);
        m_row.wait(kRunLimitMs);
    }
    problems += stateProblems(replacing, true);
    // What the install cost over all its runs, against what one uninterrupted install fetches. A
    // kill after the copy was in place ends a whole install: the next run is another.
    const qint64 installs =
        qMax<qint64>(1, readText(H() + kSetupLog, logFrom).count("INST: install SUCCESS at"));
    const qint64 image = m_server.bodyBytesSent("/new/quillmarsh.dmg"),
                 sig = m_server.bodyBytesSent("/new/quillmarsh.dmg.sig");
    imageRatios << double(image) / double(installs * m_imageSize);
    allRatios << double(image + sig) / double(installs * (m_imageSize + m_sigSize));
    if (!problems.isEmpty())
        problems = QStringList{what} + problems +
                   QStringList{"log:\n" + readText(H() + kSetupLog, logFrom).right(4000)};
    return problems;
}

} // namespace

std::unique_ptr<Part> killSoak(quint64 seed, qint64 durationMs)
{
    return std::make_unique<KillSoak>(seed, durationMs);
}

} // namespace soak
