// The resume blob comes back from an earlier attempt and the Content-Range from the server:
// a blob that decodes encodes to itself, and a range that parses is a range.
#include "download/resumestate.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto state = ResumeState::decode(bytes)) {
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
