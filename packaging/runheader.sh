# The first lines of the .run file, written by makeself (which sources this file with the
# header's line count and the archive's SHA-256 set): the numbers, then launcher.sh word for word.
{
    echo '#!/bin/sh'
    echo "skip=$SKIP payload_sha256=$SHAsum"
    cat "$QM_LAUNCHER"
} > "$archname"
