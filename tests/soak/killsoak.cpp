// Whole installs of the sample product as an unprivileged user in a private mount namespace
// (tests/env/row.sh), each killed (its process group and squashfuse) at a random moment or at a
// named stage, then run again to the end. After the kill and after the recovery the bundle, the
// menu entry and the setup log must each be absent, the old copy, or the whole new one.
#include "soak.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QThread>

#include <csignal>

namespace soak {

const QString kEntry = QStringLiteral("/.local/share/applications/quillmarsh.desktop");
constexpr int kRunLimitMs = 45000;

// The named stages in order, by the setup-log line that begins them (written by a thread of its
// own: the kill lands a little after it), each as a first install and as a replacement. Alone:
// only the installer is killed, its squashfuse left running, and the next run follows at once.
// clang-format off
struct Stage { const char *name, *line; bool alone; };
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

// The installer's live process and its group: /proc/<pid>/stat reads "pid (name) state ppid pgrp".
std::pair<pid_t, pid_t> installerOf(uint uid)
{
    for (const QFileInfo &entry : QDir("/proc").entryInfoList(QDir::Dirs | QDir::NoSymLinks)) {
        const QString stat = entry.ownerId() == uid ? readText(entry.filePath() + "/stat") : "";
        const QStringList rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains("(qm-envrun) ") && rest.size() > 2 && rest[0] != "Z")
            return {entry.fileName().toInt(), rest[2].toInt()};
    }
    return {0, 0};
}

void killSoak(const Cases &cases, qint64 durationMs)
{
    EnvRow row;
    TestHttpServer server;          // the old release under /old, the new one under /new
    QStringList oldState, newState; // state()
    QString options = "--kills 1 --net 0";
    const QString apps = row.H() + "/Applications";
    // An older release: the sample with a file more, one less, another menu entry, installed and
    // kept to start each replacement from. The new one carries 2 MiB that do not compress, so its
    // download takes a while; its whole install (caches warm) is timed to draw the kills over.
    const QString built =
        shell("cd \"$1\" && sq() { mksquashfs $1-root $1/quillmarsh.dmg -noappend -quiet "
              "-no-progress -all-root; } && mkdir old-root new-root old new && cp -a \"$2\" "
              "old-root/ && cp -a \"$2\" new-root/ && head -c 2097152 /dev/urandom > "
              "new-root/Quillmarsh.app/payload && cd old-root/Quillmarsh.app && printf '0.9\\n' > "
              "old-version && rm quillmarsh.svg && sed -i 's/^Icon=.*/Icon=utilities-terminal/' "
              "quillmarsh.desktop && cd ../.. && sq old && sq new && echo built",
              {row.dir(""), QM_SAMPLE_APP});
    const QByteArray key = signImages(row.dir("key.pem"), {{row.dir("old/quillmarsh.dmg"), 1},
                                                           {row.dir("new/quillmarsh.dmg"), 2}});
    const auto out = [&](const QString &name) { return row.out(name).trimmed(); };
    const auto log = [&](qint64 from) { return readText(row.H() + kSetupLog, from); };
    const auto state = [&] { // the bundle and the menu entry
        return QStringList{describeTree(apps + "/Quillmarsh.app"), readText(row.H() + kEntry)};
    };
    // One run of the installer of that release, in the row's home as the last run left it
    // (keep), afresh or afresh with the old install in it; twice in one namespace.
    enum Home { Keep, Fresh, OldCopy };
    const auto startRow = [&](const QString &release, Home home, bool twice = false) {
        row.start(home == OldCopy ? "cp -a " + row.dir("old-home") + "/. $H" : "",
                  {twice ? "TWICE=1" : "TWICE=", home == Keep ? "KEEP_HOME=1" : "KEEP_HOME="},
                  server.url('/' + release), apps, key);
    };
    const auto notInstalled = [&]() -> QString { // what the last run said if it did not install
        const bool ok = out("rc") == "0" && out("summary").section('\n', -1) == "installed";
        return ok ? QString() : "did not install: " + out("summary") + out("stderr").right(1000);
    };
    // After the kill, each of the bundle and the menu entry is the new copy, what was there
    // before, or (the menu entry) absent; after the recovery, the new copy. Nothing is left.
    const auto stateProblems = [&](bool replacing, bool recovered) {
        QStringList problems;
        const QString when = recovered ? "after the recovery: " : "after the kill: ";
        const QStringList now = state();
        if (now[0] != newState[0] &&
            (recovered || now[0] != (replacing ? oldState[0] : "absent\n")))
            problems << when + "bundle is neither the new copy nor what was there before:\n" +
                            now[0].left(3000);
        if (now[1] != newState[1] &&
            (recovered || !(now[1].isEmpty() || (replacing && now[1] == oldState[1]))))
            problems << when + "menu entry is not a whole one:\n" + now[1];
        if (const QString broken = brokenLogLine(log(0)); !broken.isEmpty())
            problems << when + "setup log: " + broken;
        // Right after a kill, FUSE mounts and files in /tmp may be there: they go with the row.
        if (const QString left = recovered ? row.leftBehind() : out("processes"); !left.isEmpty())
            problems << when + "left behind: " + left;
        if (recovered && entries(apps) != "Quillmarsh.app")
            problems << when + "left in the install folder: " + entries(apps);
        if (const QString error = notInstalled(); recovered && !error.isEmpty())
            problems << when + error;
        return problems;
    };

    // The image as over a line of about 3 MB/s.
    server.setHandler([root = row.dir("")](const HttpRequest &request) {
        HttpResponse r = TestHttpServer::fileResponse(request, root + request.path());
        if (!request.path().endsWith(".sig"))
            r.pieceSize = 16 * 1024, r.pieceDelayMs = 5;
        return r;
    });
    if (!built.endsWith("built\n") || key.isEmpty())
        return cases.report("kill soak", options, 0, {"set-up: cannot build the releases"});
    for (const QString release : {"old", "new"}) {
        startRow(release, Fresh);
        if (const QString error = row.wait(kRunLimitMs) ? notInstalled() : "did not end";
            !error.isEmpty())
            return cases.report("kill soak", options, 0,
                                {"set-up: " + release + " release: " + error});
        (release == "old" ? oldState : newState) = state();
        if (release == "old")
            shell("cp -a \"$1\" \"$2\"", {row.H(), row.dir("old-home")});
    }
    durationMs = durationMs > 0 ? durationMs : out("ms").toLongLong();
    options += QStringLiteral(" --duration %1").arg(durationMs);
    std::printf("kill soak: one install takes %lld ms (user %u)\n", durationMs, row.uid);

    cases.run("kill soak", options, [&](int index) -> QStringList {
        const bool replacing = index % 2 == 1;
        const Stage *stage = index < kStageCases ? &kStages[index / 2] : nullptr;
        // Half the random kills, too, leave squashfuse running for the next run.
        const bool alone = stage ? stage->alone : index % 4 >= 2;
        const qint64 killMs = qint64(drawsFor(cases.seed, 1, index)() %
                                     quint64(qMax<qint64>(1, durationMs * 11 / 10)));
        const qint64 logFrom = replacing ? QFileInfo(row.dir("old-home") + kSetupLog).size() : 0;
        startRow("new", replacing ? OldCopy : Fresh, alone);

        // The kill: at the drawn moment of the installer's run, or once the stage's log line is
        // there; never of a second run.
        const QRegularExpression stageLine(stage ? stage->line : "^$");
        bool killed = false, ended = false;
        pid_t first = 0;
        QElapsedTimer clock, since; // since the row started, since the installer was first seen
        clock.start();
        while (!killed && !ended && clock.elapsed() < kRunLimitMs) {
            const auto [pid, group] = installerOf(row.uid);
            const bool running = pid && (!first || pid == first);
            if (running && !first)
                first = pid, since.start();
            ended = QFile::exists(row.R() + "/out/rc") || (first && !running);
            killed =
                running && (stage ? log(logFrom).contains(stageLine) : since.elapsed() >= killMs);
            // With its squashfuse: the group is stopped first, so that none starts anew, and
            // killed only once three looks in a row find no squashfuse (one starting shows late).
            // The row records what is left the moment the installer dies.
            if (killed && alone)
                ::kill(pid, SIGKILL);
            else if (killed && ::kill(-group, SIGSTOP) == 0) {
                shell("q=0 n=0; while [ $q -lt 3 ] && [ $n -lt 100 ]; do n=$((n+1)); "
                      "if pkill -KILL -u \"$1\" -x squashfuse; then q=0; else q=$((q+1)); fi; "
                      "sleep 0.01; done",
                      {QString::number(row.uid)});
                ::kill(-group, SIGKILL);
            }
            QThread::msleep(2);
        }
        const QString kind = (stage ? "at stage " + QString(stage->name) : QString("random")) +
                             (alone ? ", installer alone" : "");
        ++counts[killed ? kind : "ended before the kill"];
        const QString what = QStringLiteral("(%1, %2, at %3 ms)")
                                 .arg(replacing ? "replacement" : "first install", kind)
                                 .arg(killMs);
        if (!row.wait(kRunLimitMs))
            return {what + " the row did not end"};
        QStringList problems;
        if (!alone) {
            problems = stateProblems(replacing, false);
            startRow("new", Keep); // the recovery: the installer again, to the end
            row.wait(kRunLimitMs);
        }
        problems += stateProblems(replacing, true);
        if (!problems.isEmpty())
            problems =
                QStringList{what} + problems + QStringList{"log:\n" + log(logFrom).right(4000)};
        return problems;
    });
}

} // namespace soak
