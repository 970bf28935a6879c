#pragma once

#include "diag/itlog.h"
#include "install/toolrunner.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QStringList>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

// Children are started with posix_spawn (runTool), not QProcess: ThreadSanitizer's clone
// interceptor breaks on QProcess's vfork-style clone and then fails every later thread start.

// The fake tools of tests/support/fakes, scripted through files in one folder named by
// QM_FAKE_DIR (set once, before any thread starts).
class Fakes
{
public:
    static QString tool(const char *name) { return QStringLiteral(QM_BINARY_DIR "/bin/fakes/") + name; }

    void init(const QString &dir)
    {
        m_dir = dir;
        QDir().mkpath(dir);
        qputenv("QM_FAKE_DIR", QFile::encodeName(dir));
    }
    void reset()
    {
        const QStringList names = QDir(m_dir).entryList(QDir::Files);
        for (const QString &name : names)
            QFile::remove(m_dir + u'/' + name);
    }
    // file is "<tool>.out", "<tool>.2.rc" and so on.
    void script(const QString &file, const QByteArray &content)
    {
        QFile f(m_dir + u'/' + file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    QList<QStringList> calls(const char *tool) const
    {
        QList<QStringList> result;
        for (int n = 1;; ++n) {
            QFile f(QStringLiteral("%1/%2.%3.args").arg(m_dir, QLatin1String(tool)).arg(n));
            if (!f.open(QIODevice::ReadOnly))
                return result;
            QStringList args;
            const QList<QByteArray> parts = f.readAll().split('\0');
            for (qsizetype i = 0; i + 1 < parts.size(); ++i)
                args << QString::fromUtf8(parts.at(i));
            result << args;
        }
    }

private:
    QString m_dir;
};

// What the setup log gained since the last call.
class LogWatch
{
public:
    QString newText()
    {
        ITLogDrain(2000);
        QFile f(ITLogFilePath());
        if (f.fileName().isEmpty() || !f.open(QIODevice::ReadOnly))
            return {};
        f.seek(m_offset);
        const QByteArray bytes = f.readAll();
        m_offset += bytes.size();
        return QString::fromUtf8(bytes);
    }

private:
    qint64 m_offset = 0;
};

inline void writeFile(const QString &path, const QByteArray &content,
                      QFile::Permissions extra = {})
{
    QDir().mkpath(path.section(u'/', 0, -2));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(content);
    f.close();
    if (extra)
        f.setPermissions(f.permissions() | extra);
}

// A bundle as the images carry it: an executable AppRun, nested folders with an old
// timestamp, a relative symbolic link and a file of a few MB.
inline void makeBundle(const QString &dir, int bigBytes)
{
    writeFile(dir + "/AppRun", "#!/bin/sh\necho quillmarsh\n", QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
    writeFile(dir + "/Contents/Resources/deep/note.txt", "nested\n");
    QByteArray big;
    for (int i = 0; big.size() < bigBytes; ++i)
        big += QByteArray::number(i * 2654435761u) + '\n';
    big.truncate(bigBytes);
    writeFile(dir + "/Contents/data.bin", big);
    QVERIFY(QFile::link("Contents/Resources", dir + "/Resources"));
    QVERIFY(install::runTool("/usr/bin/touch", {"-h", "-d", "2001-02-03 04:05:06",
                                                dir + "/Contents/Resources/deep/note.txt",
                                                dir + "/Contents/Resources/deep"}) == 0);
}

inline QString plistWithMountPoint(const QString &mountPoint)
{
    return "<plist><dict><key>system-entities</key><array><dict><key>mount-point</key><string>" +
           mountPoint + "</string></dict></array></dict></plist>";
}

inline void makeImage(const QString &tree, const QString &image)
{
    QVERIFY(install::runTool("/usr/bin/mksquashfs",
                             {tree, image, "-noappend", "-quiet", "-no-progress"}) == 0);
}

// Every entry under root with its kind, permission bits, whole-second modification time,
// link target or content digest: two equal trees give equal maps.
inline QMap<QString, QString> describeTree(const QString &root)
{
    QMap<QString, QString> tree;
    auto describe = [&](const QString &path, const QString &key) {
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            return;
        QString text = QString::number(st.st_mode & 01777, 8);
        if (S_ISLNK(st.st_mode)) {
            char target[4096] = {};
            ::readlink(QFile::encodeName(path).constData(), target, sizeof target - 1);
            text = "link " + QFile::decodeName(target);
        }
        else if (S_ISDIR(st.st_mode))
            text += " dir " + QString::number(st.st_mtime);
        else {
            QFile f(path);
            f.open(QIODevice::ReadOnly);
            text += ' ' + QString::number(st.st_mtime) + ' ' +
                    QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
        }
        tree.insert(key, text);
    };
    describe(root, ".");
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        describe(path, path.mid(root.size()));
    }
    return tree;
}
