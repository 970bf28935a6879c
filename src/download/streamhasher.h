#pragma once

#include <QByteArray>

#include <memory>

namespace download {

// SHA-256 of a download, taken while the bytes arrive. The digest work runs on a thread of its
// own beside the receiving one, so a fast link is not slowed down by it: update() only copies
// into one of a few fixed blocks and hands full ones over. Memory stays bounded; a receiver
// that outruns the hashing waits for a free block.
class StreamHasher
{
public:
    StreamHasher();
    ~StreamHasher(); // stops and joins the hashing thread
    StreamHasher(const StreamHasher &) = delete;
    StreamHasher &operator=(const StreamHasher &) = delete;

    void reset(); // a new, empty digest
    void update(const char *data, qint64 size);
    // Makes this digest continue from other's state (the held bytes of a resumed file).
    bool continueFrom(StreamHasher &other);
    QByteArray finish(); // 32 raw bytes; empty on failure. The digest is spent afterwards.
    QByteArray peek();   // the digest of the bytes so far; the digest goes on

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace download
