// The .sig file comes from the download host: whatever it holds is refused or read, never a
// crash, and what is read names a sensible file, size and digest.
#include "download/imagesignature.h"

#include <cstdint>
#include <cstdlib>

using namespace download;

namespace {
// Any valid key will do: most inputs fail before the signature, and the rest must fail on it.
const QByteArray kKey = QByteArrayLiteral("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QString error;
    const auto sig = readImageSignature(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)), kKey,
        &error);
    if (sig && (sig->size < 0 || sig->sha256.size() != 32 || sig->file.isEmpty()))
        std::abort();
    if (!sig && error.isEmpty())
        std::abort();
    return 0;
}
