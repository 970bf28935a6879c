#include "streamhasher.h"

#include <openssl/evp.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace download {

namespace {

constexpr size_t kBlockSize = 1 << 20;
constexpr int kBlocks = 4;

struct MdCtxDeleter
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

struct Block
{
    std::vector<char> bytes = std::vector<char>(kBlockSize);
    size_t used = 0;
};

} // namespace

struct StreamHasher::Private
{
    MdCtx ctx{EVP_MD_CTX_new()};
    bool ok = false;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Block> blocks = std::vector<Block>(kBlocks);
    std::deque<Block *> free, full;
    Block *current = nullptr; // receiving thread only
    bool busy = false;        // the hashing thread holds a block
    bool stop = false;
    std::thread thread; // not started when threads cannot be made: hashing then runs inline

    void hashLoop()
    {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || !full.empty(); });
            if (full.empty())
                return;
            Block *b = full.front();
            full.pop_front();
            busy = true;
            lock.unlock();
            const bool fine = EVP_DigestUpdate(ctx.get(), b->bytes.data(), b->used) == 1;
            lock.lock();
            ok = ok && fine;
            b->used = 0;
            free.push_back(b);
            busy = false;
            changed.notify_all();
        }
    }

    void handOver(Block *b)
    {
        if (!thread.joinable()) {
            ok = ok && EVP_DigestUpdate(ctx.get(), b->bytes.data(), b->used) == 1;
            b->used = 0;
            return;
        }
        std::lock_guard lock(mutex);
        full.push_back(b);
        changed.notify_all();
    }

    Block *takeFree()
    {
        if (!thread.joinable())
            return &blocks[0];
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return !free.empty(); });
        Block *b = free.front();
        free.pop_front();
        return b;
    }

    // Everything handed over has gone into the digest, and the context is ours alone.
    void drain()
    {
        if (current && current->used > 0) {
            handOver(current);
            current = nullptr;
        }
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return full.empty() && !busy; });
        if (current) {
            free.push_back(current);
            current = nullptr;
        }
    }
};

StreamHasher::StreamHasher() : d(std::make_unique<Private>())
{
    for (Block &b : d->blocks)
        d->free.push_back(&b);
    reset();
    try {
        d->thread = std::thread([p = d.get()] { p->hashLoop(); });
    } catch (const std::system_error &) {
        // Inline hashing is slower but just as right.
    }
}

StreamHasher::~StreamHasher()
{
    if (d->thread.joinable()) {
        {
            std::lock_guard lock(d->mutex);
            d->stop = true;
            d->full.clear();
            d->changed.notify_all();
        }
        d->thread.join();
    }
}

void StreamHasher::reset()
{
    d->drain();
    d->ok = d->ctx && EVP_DigestInit_ex(d->ctx.get(), EVP_sha256(), nullptr) == 1;
}

void StreamHasher::update(const char *data, qint64 size)
{
    if (!d->thread.joinable()) {
        d->ok = d->ok && EVP_DigestUpdate(d->ctx.get(), data, size_t(size)) == 1;
        return;
    }
    while (size > 0) {
        if (!d->current)
            d->current = d->takeFree();
        Block *b = d->current;
        const size_t n = std::min(size_t(size), kBlockSize - b->used);
        std::memcpy(b->bytes.data() + b->used, data, n);
        b->used += n;
        data += n;
        size -= qint64(n);
        if (b->used == kBlockSize) {
            d->current = nullptr;
            d->handOver(b);
        }
    }
}

bool StreamHasher::continueFrom(StreamHasher &other)
{
    d->drain();
    other.d->drain();
    d->ok = d->ctx && other.d->ok && EVP_MD_CTX_copy_ex(d->ctx.get(), other.d->ctx.get()) == 1;
    return d->ok;
}

QByteArray StreamHasher::peek()
{
    d->drain();
    const MdCtx copy(EVP_MD_CTX_new());
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool fine = d->ok && copy && EVP_MD_CTX_copy_ex(copy.get(), d->ctx.get()) == 1 &&
                      EVP_DigestFinal_ex(copy.get(), digest, &length) == 1;
    return fine ? QByteArray(reinterpret_cast<const char *>(digest), int(length)) : QByteArray();
}

QByteArray StreamHasher::finish()
{
    d->drain();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool fine = d->ok && EVP_DigestFinal_ex(d->ctx.get(), digest, &length) == 1;
    d->ok = false;
    return fine ? QByteArray(reinterpret_cast<const char *>(digest), int(length)) : QByteArray();
}

} // namespace download
