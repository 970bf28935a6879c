#pragma once

#include "transportfailure.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace download {

// How one attempt ended. Everything but the status is final once the completion runs.
struct DownloadResult
{
    // TooLarge: the file is larger than Options::maxBytes; the attempt stopped there.
    enum class Status { Saved, Failed, Cancelled, NoSpace, TooLarge };
    Status status = Status::Failed;
    QString message; // Failed: the text shown to the user
    qint64 httpStatus = 0;
    qint64 errorCode = 0;
    TransportFailure transport = TransportFailure::None; // Failed before any HTTP status: why
    std::optional<QByteArray> resumeData;
    // Saved: the SHA-256 (32 bytes) of the whole file, taken while the bytes arrived, and its size.
    // TooLarge: size is what is known of it, the announced length or the bytes received.
    QByteArray sha256;
    qint64 size = 0;
    // Body bytes this attempt received over the network, used or not; and, when a body went
    // into the file, the bytes held before that it was appended to (0: the file from byte 0;
    // -1: no body went into the file).
    qint64 received = 0;
    qint64 continuedFrom = -1;
    QString url; // the address asked
    // NoSpace: the folder that is short of space, what the file needs there and what is free.
    QString spaceFolder;
    qint64 bytesNeeded = 0;
    qint64 bytesAvailable = 0;
};

// Fetches one file over HTTP(S) into destFile on a worker thread of its own, resuming from an
// earlier attempt's resume state when given one. One instance serves one attempt. Progress and
// the single completion are delivered on the GUI thread, never after the instance is gone.
// Dropping it cancels the attempt and waits for its thread to let go of the files.
//
// The body is written to a partial file beside destFile (so destFile belongs in the private
// per-user folder) and renamed to destFile only when complete. A transfer that breaks off
// after part of a file the server can serve in ranges leaves that partial file and an opaque
// resume state (resumeData()); handed to the next instance, it continues the file only when
// the server proves it is the same file, and otherwise starts over from byte 0.
class Downloader
{
public:
    struct Options
    {
        int lowSpeedTimeSeconds = 30;   // no data for this long ends the attempt
        long lowSpeedLimit = 1;         // ... nor fewer bytes a second over that time
        int totalTimeoutSeconds = 3600; // the whole transfer, waiting for a network included
        // Where the resume state is kept for a later run (layout::stateFile(destFile)); empty: only
        // in memory, for the next attempt of this run. While bytes arrive it is brought up to
        // date, at most every checkpointMs, and a cancelled attempt keeps its partial file for it.
        QString stateFile;
        int checkpointMs = 20;
        // The held bytes may continue from another address than the one they came from: only
        // for a file whose digest is checked against a signature at the end.
        bool anyHost = false;
        // false: other partial files of destFile stay (another attempt beside this one owns them).
        bool sweepPartials = true;

        // For tests and development tools.
        std::function<bool()> networkAvailable; // replaces the routing-table probe
        int connectivityPollMs = 1000;          // how often a waiting attempt looks again
        std::function<void()> afterFileLanded;  // worker thread, once the file is in place
        long receiveBufferBytes = 0;            // 0: the measured default
        qint64 maxBytes = -1; // a larger file ends the attempt as TooLarge; -1: no limit
    };

    static std::unique_ptr<Downloader> create(const QString &url, const QString &destFile,
                                              std::optional<QByteArray> resumeData = std::nullopt);
    ~Downloader();

    std::function<void(qint64 written, qint64 total)> onProgress;
    std::function<void(const DownloadResult &result)> onComplete;

    void setOptions(const Options &options); // before start

    void start();  // once; returns at once
    void cancel(); // any thread; the completion follows with Status::Cancelled
    // Like cancel, for an attempt another one replaces: its own partial file goes, and the kept
    // resume state, which the other attempt now writes, is left alone.
    void abandon();

    const DownloadResult &result() const; // final once onComplete runs
    bool isCancelled() const;

    QString url() const;
    QString destFile() const;

private:
    void run();
    void deliverProgress(qint64 written, qint64 total);
    void complete(DownloadResult result);

    Downloader(const QString &url, const QString &destFile, std::optional<QByteArray> resumeData);
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace download
