# The first lines of the .run file, written by makeself (which sources this file with the
# header's line count, the archive's SHA-256 and its size set): the numbers, then launcher.sh
# word for word.
{
    echo '#!/bin/sh'
    echo "skip=$SKIP payload_sha256=$SHAsum payload_size=$filesizes"
    cat "$QM_LAUNCHER"
} > "$archname"
