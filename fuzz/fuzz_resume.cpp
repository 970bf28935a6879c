// The resume blob comes back from an earlier attempt and the Content-Range from the server:
// a blob that decodes encodes to itself, and a range that parses is a range.
#include "download/resumestate.h"

#include <QCryptographicHash>

#include <cstdint>
#include <cstdlib>

using namespace download;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    // The blob carries its own checksum; sealing the input as well lets the fields be reached.
    const QByteArray sealed = bytes + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    for (const QByteArray &blob : {bytes, sealed}) {
        const auto state = ResumeState::decode(blob);
        if (!state)
            continue;
        const auto again = ResumeState::decode(state->encode());
        if (!again || again->url != state->url || again->partialPath != state->partialPath ||
            again->offset != state->offset || again->total != state->total ||
            again->validator != state->validator)
            std::abort();
    }
    if (const auto range = parseContentRange(bytes)) {
        if (range->first < 0 || range->last < range->first || range->total <= range->last)
            std::abort();
    }
    return 0;
}
