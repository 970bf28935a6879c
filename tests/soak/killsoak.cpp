// Whole installs of the sample product, each killed (SIGKILL to the installer's process group
// and its squashfuse) at a random moment or at a named stage, then run again to the end. Every
// install runs as an unprivileged user in a private mount namespace (tests/env/row.sh). After
// the kill and after the recovery the bundle, the menu entry and the setup log must each be in
// a state an interrupted install may leave: absent, the old copy, or the whole new one.
#include "download/imagesignature.h"
#include "soak.h"
#include "testhttpserver.h"
#include "testkeys.h"
#include "tools/signing.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLockFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace download;

using testsupport::TestHttpServer;

namespace soak {
namespace {

const QString kApp = QStringLiteral("Quillmarsh.app");
const QString kLog = QStringLiteral("/.local/state/Logs/quillmarsh-installer.log");
const QString kEntry = QStringLiteral("/.local/share/applications/quillmarsh.desktop");
constexpr int kRunLimitMs = 45000;

// The named stages, by the setup-log line that says they have begun. The log is written by a
// thread of its own, so the kill lands a little after the line.
struct Stage
{
    const char *name;
    const char *line;
};
const Stage kStages[] = {
    {"download started", "DL: GET http[^ ]*/quillmarsh\\.dmg "},
    {"verified", "FLOW: image verified"},
    {"mounting", "INST: mounting"},
    {"copying", "INST: copying"},
    {"swapped", "INST: install SUCCESS at"},
};
// The installer alone killed (its squashfuse left running, as after a crash) at the stages
// that have one, and the next run in the same session.
const Stage kAloneStages[] = {{"mounted", "INST: mounted at"}, {"copying", "INST: copying"}};
// Each as a first install and a replacement.
constexpr int kStageCases = 2 * int(std::size(kStages) + std::size(kAloneStages));

QString readText(const QString &path, qint64 from = 0)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.seek(from) ? QString::fromUtf8(f.readAll()) : QString();
}

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

// The processes of a user, by pid, with their process group and name.
struct Proc
{
    pid_t pid;
    pid_t group;
    QString name;
};
QList<Proc> processesOf(uint uid)
{
    QList<Proc> found;
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        struct stat st
        {
        };
        if (!number || ::stat(QFile::encodeName("/proc/" + entry).constData(), &st) != 0 ||
            st.st_uid != uid)
            continue;
        // "pid (name) state ppid pgrp ...": the name may hold spaces, the rest never.
        const QString stat = readText("/proc/" + entry + "/stat");
        const int close = stat.lastIndexOf(')');
        const QStringList rest = stat.mid(close + 2).split(' ');
        if (close > 0 && rest.size() > 2 && rest[0] != "Z")
            found.append({pid, pid_t(rest[2].toInt()),
                          stat.section('(', 1).left(close - stat.indexOf('(') - 1)});
    }
    return found;
}

// An unused user id: no account, no process, and no other soak using it (which would see this
// one's processes as its own leftovers). The lock holds it for the run.
uint freeUid(std::unique_ptr<QLockFile> &lock)
{
    for (uint uid = 48711; uid < 48811; ++uid) {
        int status = 0;
        output("getent", {"passwd", QString::number(uid)}, &status);
        lock = std::make_unique<QLockFile>(QStringLiteral("/tmp/qm-soak-uid-%1.lock").arg(uid));
        if (status == 2 && lock->tryLock(0) && processesOf(uid).isEmpty())
            return uid;
    }
    lock.reset();
    return 65534;
}

class Soak
{
public:
    explicit Soak(const KillOptions &options, Tally &tally) : m_options(options), m_tally(tally) {}
    ~Soak() { endRow(); }

    bool prepare();
    void runCase(int index);

private:
    QString R() const { return m_shared.filePath("row"); }
    QString H() const { return R() + "/home"; }
    QString apps() const { return H() + "/Applications"; }
    bool freshRow(bool withOldCopy);
    void startRow(const QString &url, bool twice = false);
    bool waitRow(int limitMs);
    void endRow();
    QString out(const char *name) const { return readText(R() + "/out/" + name).trimmed(); }
    QString repeat(int index) const
    {
        return QStringLiteral("scripts/soak --seed %1 --kills 1 --net 0 --case %2 --duration %3")
            .arg(m_options.seed)
            .arg(index)
            .arg(m_durationMs);
    }
    bool installRow(const QString &url, bool withOldCopy, QString *error);
    QString lastStage(qint64 logFrom) const;
    QStringList stateProblems(bool replacing, bool recovered) const;

    KillOptions m_options;
    Tally &m_tally;
    QTemporaryDir m_shared{"/tmp/qm-soak-XXXXXX"};
    std::unique_ptr<TestHttpServer> m_old, m_new;
    QByteArray m_key;
    std::unique_ptr<QLockFile> m_uidLock;
    uint m_uid = 65534;
    QProcess m_namespace;
    qint64 m_durationMs = 0;
    QElapsedTimer m_clock; // since the row's namespace was started
    qint64 m_exitMs = -1;  // when the installer had exited
    QString m_oldTree, m_newTree, m_oldEntry, m_newEntry;
};

bool Soak::freshRow(bool withOldCopy)
{
    endRow();
    QDir(R()).removeRecursively();
    if (!QDir().mkpath(R()) || ::chmod(QFile::encodeName(R()).constData(), 0755) != 0)
        return false;
    for (const char *d : {"run", "out", "fake", "bin"})
        QDir(R()).mkdir(d);
    const QString u = QString::number(m_uid);
    int status = 0;
    if (withOldCopy)
        output("cp", {"-a", m_shared.filePath("old-home"), H()}, &status);
    else
        QDir(R()).mkdir("home");
    int owned = 0;
    output("chown", {u + ':' + u, H(), R() + "/run", R() + "/fake"}, &owned);
    return status == 0 && owned == 0 && ::chmod(QFile::encodeName(H()).constData(), 0700) == 0;
}

// One run of the installer in a new namespace, on the row's folders as they are; twice: a
// second run follows the first in the same namespace, whatever the first left running.
void Soak::startRow(const QString &url, bool twice)
{
    endRow();
    for (const char *left : {"fuse", "passwd"})
        QFile::remove(R() + '/' + left);
    QDir(R() + "/out").removeRecursively();
    QDir(R()).mkdir("out");
    const QString u = QString::number(m_uid);
    // clang-format off
    QStringList command{"-m", "--propagation", "private", "/bin/sh",
        QM_SOURCE_DIR "/tests/env/row.sh", "", "setpriv", "--reuid=" + u, "--regid=" + u,
        "--clear-groups", "env", "-i", "HOME=" + H(), "PATH=/usr/bin:/bin", "LANG=C.UTF-8",
        "QT_QPA_PLATFORM=offscreen", "QM_ENV_IMAGE_KEY=" + m_key};
    for (const char *name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (qEnvironmentVariableIsSet(name))
            command << QString(name) + '=' + qEnvironmentVariable(name);
    if (twice)
        command << "/bin/sh" << "-c" << "\"$0\" \"$@\"; \"$0\" \"$@\"";
    command << m_shared.filePath("qm-envrun") << url << apps();
    // clang-format on
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("R", R());
    env.insert("U", u);
    env.insert("FAKE", "/bin/false");
    m_namespace.setProcessEnvironment(env);
    m_namespace.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_namespace.start("unshare", command);
    m_clock.start();
    m_exitMs = -1;
    m_namespace.waitForStarted(5000);
}

// Until row.sh has recorded what the run left behind.
bool Soak::waitRow(int limitMs)
{
    while (!QFile::exists(R() + "/out/done") && m_clock.elapsed() < limitMs &&
           m_namespace.state() != QProcess::NotRunning) {
        if (m_exitMs < 0 && QFile::exists(R() + "/out/rc"))
            m_exitMs = m_clock.elapsed();
        QThread::msleep(2);
    }
    return QFile::exists(R() + "/out/done");
}

// Closing its input ends the namespace, and with it every mount made in it.
void Soak::endRow()
{
    if (m_namespace.state() == QProcess::NotRunning)
        return;
    m_namespace.closeWriteChannel();
    if (!m_namespace.waitForFinished(10000)) {
        m_namespace.kill();
        m_namespace.waitForFinished(5000);
    }
}

bool Soak::installRow(const QString &url, bool withOldCopy, QString *error)
{
    if (!freshRow(withOldCopy)) {
        *error = "cannot make the row's folders";
        return false;
    }
    startRow(url);
    const bool done = waitRow(kRunLimitMs);
    const QString outcome =
        QJsonDocument::fromJson(readText(R() + "/out/summary").toUtf8())["outcome"].toString();
    if (done && outcome == "installed")
        return true;
    *error = "install did not succeed: " + readText(R() + "/out/summary") +
             readText(R() + "/out/stderr").right(2000) + readText(H() + kLog).right(3000);
    return false;
}

bool Soak::prepare()
{
    const QString sampleApp = QStringLiteral(QM_SAMPLE_APP);
    const QString shared = m_shared.path();
    QString error;
    m_key = testsupport::makeEd25519Key(shared + "/key.pem");
    m_uid = freeUid(m_uidLock);
    // An older release: the sample with a file more, one less, and another menu entry.
    const QString oldApp = shared + "/old-root/" + kApp;
    int status = 0;
    output("/bin/sh",
           {"-c",
            "mkdir -p \"$1/old-root\" \"$1/old\" \"$1/new\" && cp -a \"$2\" \"$1/old-root/\" && "
            "printf '0.9\\n' > \"$3/old-version\" && rm \"$3/quillmarsh.svg\" && "
            "sed -i 's/^Icon=.*/Icon=utilities-terminal/' \"$3/quillmarsh.desktop\" && "
            "mksquashfs \"$1/old-root\" \"$1/old/quillmarsh.dmg\" -noappend -quiet -no-progress "
            "-all-root && cp \"$4\" \"$1/new/quillmarsh.dmg\" && cp \"$5\" \"$1/qm-envrun\" && "
            "chmod 0755 \"$1\"",
            "sh", shared, sampleApp, oldApp, QM_SAMPLE_IMAGE_DIR "/quillmarsh.dmg", QM_ENVRUN},
           &status);
    if (status != 0 || m_key.isEmpty())
        return std::printf("kill soak: cannot build the old release\n"), false;
    for (auto [dir, version] : {std::pair{"old", 1}, {"new", 2}}) {
        const QString image = shared + '/' + dir + "/quillmarsh.dmg";
        QFile sig(image + ".sig");
        const auto text = signImageFile(shared + "/key.pem", image, version, {}, &error);
        if (!text || !sig.open(QIODevice::WriteOnly) || sig.write(*text) != text->size())
            return std::printf("kill soak: cannot sign %s: %s\n", dir, qPrintable(error)), false;
    }
    m_old = std::make_unique<TestHttpServer>();
    m_old->serveDirectory(shared + "/old");
    m_new = std::make_unique<TestHttpServer>();
    m_new->serveDirectory(shared + "/new");

    // The old copy installed as a user would have, kept to start each replacement from.
    if (!installRow(m_old->url(QString()), false, &error))
        return std::printf("kill soak: old install: %s\n", qPrintable(error)), false;
    endRow();
    m_oldTree = describeTree(apps() + '/' + kApp);
    m_oldEntry = readText(H() + kEntry);
    output("cp", {"-a", H(), shared + "/old-home"}, &status);
    if (m_oldTree != describeTree(oldApp) || m_oldEntry.isEmpty() || status != 0)
        return std::printf("kill soak: old install differs from its image\n"), false;

    // Whole installs timed to the installer's exit: the kills are drawn over the median length.
    QList<qint64> times;
    for (int i = 0; i < 3; ++i) {
        if (!installRow(m_new->url(QString()), false, &error))
            return std::printf("kill soak: install: %s\n", qPrintable(error)), false;
        times << m_exitMs;
    }
    std::sort(times.begin(), times.end());
    m_durationMs = m_options.durationMs > 0 ? m_options.durationMs : times[1];
    endRow();
    m_newTree = describeTree(apps() + '/' + kApp);
    m_newEntry = readText(H() + kEntry);
    output("desktop-file-validate", {H() + kEntry}, &status);
    if (m_newTree != describeTree(sampleApp) || status != 0)
        return std::printf("kill soak: install differs from the image or its menu entry is "
                           "invalid\n"),
               false;
    std::printf("kill soak: one install takes %lld ms (user %u)\n", m_durationMs, m_uid);
    std::fflush(stdout);
    return true;
}

// The stage the log had reached, for the tally of random kills.
QString Soak::lastStage(qint64 logFrom) const
{
    const QString log = readText(H() + kLog, logFrom);
    QString reached = "before the download";
    for (const Stage &s : kStages)
        if (log.contains(QRegularExpression(s.line)))
            reached = s.name;
    if (log.contains("INST: menu entry"))
        reached = "menu entry written";
    return reached;
}

QStringList Soak::stateProblems(bool replacing, bool recovered) const
{
    QStringList problems;
    const QString tree = describeTree(apps() + '/' + kApp);
    const bool treeOk =
        tree == m_newTree || (!recovered && tree == (replacing ? m_oldTree : "absent\n"));
    if (!treeOk)
        problems << "bundle is neither " +
                        QString(recovered   ? "the new copy"
                                : replacing ? "the old nor the new copy"
                                            : "absent nor the new copy") +
                        ":\n" + tree.left(3000);
    const QString entry = readText(H() + kEntry);
    if (entry != m_newEntry &&
        (recovered || !(entry.isEmpty() || (replacing && entry == m_oldEntry))))
        problems << "menu entry is not a whole one:\n" + entry;
    if (const QString broken = brokenLogLine(readText(H() + kLog)); !broken.isEmpty())
        problems << "setup log: " + broken;
    if (!out("processes").isEmpty())
        problems << "processes of the user left: " + out("processes");
    if (recovered) {
        const QStringList beside = QDir(apps()).entryList(QDir::AllEntries | QDir::Hidden |
                                                          QDir::System | QDir::NoDotAndDotDot);
        if (beside != QStringList{kApp})
            problems << "left in the install folder: " + beside.join(' ');
        const QString cache = H() + "/.cache/quillmarsh-installer";
        const QStringList cached = QDir(cache).entryList(QDir::AllEntries | QDir::Hidden |
                                                         QDir::System | QDir::NoDotAndDotDot);
        if (!cached.isEmpty())
            problems << "left in the private folder: " + cached.join(' ');
        for (const char *left : {"mounts", "tmp"})
            if (!out(left).isEmpty())
                problems << QString(left) + " left: " + out(left);
    }
    return problems;
}

void Soak::runCase(int index)
{
    Draw draw(m_options.seed, 1, index);
    const bool replacing = index % 2 == 1;
    const int stages = 2 * int(std::size(kStages));
    const Stage *stage = index < stages        ? &kStages[index / 2]
                         : index < kStageCases ? &kAloneStages[(index - stages) / 2]
                                               : nullptr;
    // Half the random kills, too, leave squashfuse running for the next run.
    const bool alone = stage ? index >= stages : index % 4 >= 2;
    const qint64 killMs = qint64(draw.uniform() * 1.1 * double(m_durationMs));
    const QString what = QStringLiteral("kill case %1 (%2, %3%4)")
                             .arg(index)
                             .arg(replacing ? "replacement" : "first install",
                                  stage ? QString("at stage \"%1\"").arg(stage->name)
                                        : QString("at %1 ms").arg(killMs),
                                  alone ? ", installer alone, next run in the same session" : "");
    if (!freshRow(replacing))
        return m_tally.fault(what + ": cannot make the row's folders", repeat(index));
    const qint64 logFrom = QFileInfo(H() + kLog).size();
    startRow(m_new->url(QString()), alone);

    // The kill: at the drawn moment, or once the stage's log line is there; never of a
    // second run.
    const QRegularExpression stageLine(stage ? stage->line : "^$");
    bool killed = false, ended = false;
    pid_t first = 0;
    while (!killed && !ended && m_clock.elapsed() < kRunLimitMs) {
        const bool due =
            stage ? readText(H() + kLog, logFrom).contains(stageLine) : m_clock.elapsed() >= killMs;
        const QList<Proc> procs = processesOf(m_uid);
        const auto installer = std::find_if(procs.begin(), procs.end(),
                                            [](const Proc &p) { return p.name == "qm-envrun"; });
        const bool running = installer != procs.end() && (!first || installer->pid == first);
        if (running && !first)
            first = installer->pid;
        ended = QFile::exists(R() + "/out/rc") || (first && !running);
        if (due && running) {
            ::kill(alone ? installer->pid : -installer->group, SIGKILL);
            for (const Proc &p : procs)
                if (p.name == "squashfuse" && !alone)
                    ::kill(p.pid, SIGKILL);
            killed = true;
        } else {
            QThread::msleep(2);
        }
    }
    m_tally.add(!killed ? QString("ended before the kill")
                : stage
                    ? QString(alone ? "stage, installer alone: " : "stage: ") + stage->name
                    : QString(alone ? "random, installer alone, during: " : "random, during: ") +
                          lastStage(logFrom));
    if (!waitRow(kRunLimitMs))
        return m_tally.fault(what + ": the row did not end", repeat(index));
    if (!alone) {
        if (killed && !out("mounts").isEmpty())
            m_tally.add("FUSE mount left by the kill (gone with the namespace)");
        if (const QStringList p = stateProblems(replacing, false); !p.isEmpty())
            m_tally.fault(what + " after the kill: " + p.join("\n"), repeat(index));
        // The recovery: the installer again, to the end.
        startRow(m_new->url(QString()));
        waitRow(kRunLimitMs);
    }
    const QString summary = out("summary").section('\n', -1);
    QStringList problems = stateProblems(replacing, true);
    if (out("rc") != "0" ||
        QJsonDocument::fromJson(summary.toUtf8())["outcome"].toString() != "installed")
        problems.prepend("recovery run did not install: " + summary +
                         readText(R() + "/out/stderr").right(1000));
    if (!problems.isEmpty())
        m_tally.fault(what + " after the recovery: " + problems.join("\n") + "\nlog:\n" +
                          readText(H() + kLog, logFrom).right(4000),
                      repeat(index));
    endRow();
}

} // namespace

void killSoak(const KillOptions &options, Tally &tally)
{
    if (::geteuid() != 0) {
        std::printf("kill soak: skipped, needs root to make the user's namespaces\n");
        return;
    }
    Soak soak(options, tally);
    if (!soak.prepare()) {
        tally.fault("kill soak: set-up failed", "scripts/soak --kills 1 --net 0");
        return;
    }
    for (int i = 0; i < options.count; ++i) {
        const int index = options.onlyCase >= 0 ? options.onlyCase : i;
        soak.runCase(index);
        if ((i + 1) % 50 == 0)
            std::printf("kill soak: %d of %d\n", i + 1, options.count), std::fflush(stdout);
    }
}

} // namespace soak
