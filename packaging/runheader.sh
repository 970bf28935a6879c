# The start of the .run file, written by makeself (which sources this file with the archive's
# SHA-256 and size set): the numbers, launcher.sh word for word, and the small gzip-compressed
# tar of the zstd that unpacks the archive, which makeself appends right after. Where the tar and
# the archive start is known only once the file is whole: scripts/package writes those two
# numbers over the blanks of the second line.
{
    echo '#!/bin/sh'
    echo "payload_sha256=$SHAsum payload_size=$filesizes tools_at=          payload_at=          "
    cat "$QM_LAUNCHER"
    cat "$QM_TOOLS"
} > "$archname"
