#!/usr/bin/env bash
# Refuses an include that runs back up the layers. Each folder has a layer;
# a file may include files of its own folder and of folders in lower
# layers, never of a folder in its own layer or above. A static library
# only fails to link an upward use when the program does not link the
# layer above anyway, so this check reads the includes themselves.
# Prints every upward include and exits 1 when there is one.
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Lowest first; folders on one line are one layer and do not use each other.
layers=(
    "common"
    "serial datafile stats daemon"
    "acquisition mqtt tables"
    "ui viewer service collector tools"
    "tests/support"
    "tests fuzz bench"
)

declare -A rank
for i in "${!layers[@]}"; do
    for folder in ${layers[$i]}; do
        rank[$folder]=$i
    done
done

status=0
for folder in "${!rank[@]}"; do
    [ -d "$folder" ] || continue
    exclude=()
    [ "$folder" = tests ] && exclude=(--exclude-dir=support)
    while IFS=: read -r file line text; do
        # The harness that the tests, the fuzzers and the benchmarks share is
        # a layer of its own inside tests/.
        target=$(sed -E -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"(tests\/support)\/.*/\1/' \
                        -e 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
        [ "$target" = "$folder" ] && continue
        if [ -z "${rank[$target]+set}" ]; then
            echo "$file:$line: includes from '$target', a folder that has no layer in scripts/check-layers.sh" >&2
            status=1
        elif [ "${rank[$target]}" -ge "${rank[$folder]}" ]; then
            echo "$file:$line: '$folder' includes from '$target', which is not below it" >&2
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' "$folder" "${exclude[@]}" \
        --include='*.h' --include='*.cpp' || true)
done
# Every folder with sources has a layer.
for dir in */; do
    folder=${dir%/}
    if [ -z "${rank[$folder]+set}" ] && compgen -G "$folder/*.cpp" >/dev/null; then
        echo "$folder: sources in a folder that has no layer in scripts/check-layers.sh" >&2
        status=1
    fi
done
[ $status = 0 ] && echo "layers: no include runs back up"
exit $status
