// What a tool prints is taken only when it is valid UTF-8, and then exactly (a byte-order mark
// at the start is dropped, as a decoder should).
#include "install/toolrunner.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray bom("\xef\xbb\xbf");
    if (const auto text = install::decodeUtf8(bytes);
        text && text->toUtf8() != bytes && bom + text->toUtf8() != bytes)
        std::abort();
    return 0;
}
