#!/usr/bin/env bash
# Checks the Debian packages as an administrator meets them: builds them from
# nothing (scripts/build-deb.sh), checks them with lintian (no error, no
# warning left unexplained) and by their control data (the logger pulls
# nothing of X or widgets, the configs are conffiles, every program has its
# manual page), installs them with apt, runs each installed program's
# --version, verifies the installed units and users, records the simulated
# sensor with the installed logger and the shipped /etc/sorvik7/logger.conf,
# then purges them and checks that nothing of them is left but the two system
# users, which Debian keeps on purpose.
#
# Changes the machine (apt, users): run as root, on a CI or scratch machine.
# .ci/run runs it after the tests.
#   SORVIK7_DEB_PREBUILT=1  check the packages already in dist/ (local runs only)
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
[ "$(id -u)" -eq 0 ] || { echo "ci-packages: run as root (it installs packages)" >&2; exit 2; }

packages=(sorvik7 sorvik7-logger sorvik7-collect sorvik7-view sorvik7-tools)
programs=(sorvik7 sorvik7-logger sorvik7-collect sorvik7-view sorvik7-sensor)
version=$(dpkg-parsechangelog -S Version)
work=$(mktemp -d)
sensor_pid=""
logger_pid=""
cleanup() {
    for pid in $logger_pid $sensor_pid; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

passed=0
failed=0
# check NAME COMMAND...: runs the command, counts and prints its outcome.
check() {
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ci-packages: ok   $name"
    else
        failed=$((failed + 1))
        echo "ci-packages: FAIL $name"
    fi
}

installed_packages() {
    dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null \
        | awk '$2 != "un" { print $1 }' || true
}

# Files whose names say sorvik7 in the system's folders (the source tree and
# scratch folders left out), to compare before and after.
system_files() {
    find /etc /usr /var /opt -xdev \( -path "$PWD" -o -path /var/tmp -o -path /var/cache \) -prune \
        -o -name '*sorvik7*' -print 2>/dev/null | sort
}

scripts/install-deps.sh --packages

# An earlier run that stopped half-way leaves its packages: start clean.
leftover=$(installed_packages)
if [ -n "$leftover" ]; then
    echo "ci-packages: purging packages left from an earlier run: $leftover"
    # shellcheck disable=SC2086
    apt-get purge -y -qq $leftover >/dev/null
fi

# --- Build -------------------------------------------------------------------
if [ "${SORVIK7_DEB_PREBUILT:-0}" = 1 ] && [ "${CI:-false}" != true ]; then
    echo "ci-packages: checking the packages already in dist/"
else
    start=$SECONDS
    scripts/build-deb.sh
    echo "ci-packages: scripts/build-deb.sh took $((SECONDS - start)) s"
fi
# After the build: it may have installed sorvik7-build-deps, which stays.
system_files > "$work/before"
deb_of() { printf 'dist/%s_%s_%s.deb' "$1" "$version" "$(dpkg --print-architecture)"; }
debs=()
for p in "${packages[@]}"; do
    debs+=("$(deb_of "$p")")
done

# --- What the packages say ----------------------------------------------------
# Overridden tags are explained in debian/*.lintian-overrides.
check "lintian: no error, no warning" lintian --fail-on error,warning dist/*.changes

# The logger's dependencies, and what they depend on in turn, hold nothing of
# X, OpenGL or Qt's GUI and widget libraries.
headless() {
    local direct closure
    direct=$(dpkg-deb -f "$(deb_of sorvik7-logger)" Depends Recommends | sed 's/^[A-Za-z-]*://' \
        | sed 's/[,|]/\n/g; s/([^)]*)//g; s/ //g' | grep -v '^$' | sort -u)
    # shellcheck disable=SC2086
    closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
        --no-replaces --no-enhances $direct | grep -v '^ ' | sort -u)
    local x
    x=$(printf '%s\n%s\n' "$direct" "$closure" \
        | grep -E '^(libqt6(gui|widgets|opengl|charts|svg)|libx11|libxcb|libxkb|libxext|libgl[0-9x]|libgles|libegl|libopengl|libwayland|qt6-qpa)' || true)
    [ -z "$x" ] || { echo "the logger pulls in: $x"; return 1; }
}
check "sorvik7-logger: nothing of X or widgets among its dependencies" headless

# (Each listing is read whole before grep looks at it: with pipefail, a grep -q
# that stops early would fail the pipe.)
conffile() {
    local list
    list=$(dpkg-deb --ctrl-tarfile "$(deb_of "$1")" | tar -xO ./conffiles)
    grep -qx "$2" <<<"$list"
}
check "sorvik7-logger: /etc/sorvik7/logger.conf is a conffile" conffile sorvik7-logger /etc/sorvik7/logger.conf
check "sorvik7-collect: /etc/sorvik7/collect.conf is a conffile" conffile sorvik7-collect /etc/sorvik7/collect.conf

manpage() {
    local list
    list=$(dpkg-deb -c "$(deb_of "$1")")
    grep -q "/usr/share/man/man1/$2\.1\.gz$" <<<"$list"
}
for i in "${!packages[@]}"; do
    check "${packages[$i]}: manual page ${programs[$i]}(1)" manpage "${packages[$i]}" "${programs[$i]}"
done

# --- Install -------------------------------------------------------------------
if ! apt-get install -y -qq "./dist/"*.deb; then
    # Dependencies newer than the machine's package lists: fetch the lists.
    apt-get update -qq
    apt-get install -y -qq "./dist/"*.deb
fi

answers_version() {
    local out
    out=$(QT_QPA_PLATFORM=offscreen timeout 30 "/usr/bin/$1" --version 2>/dev/null) || return 1
    [[ "$out" == *"$1"*"$version"* ]] || { echo "$1 --version said: $out"; return 1; }
}
for p in "${programs[@]}"; do
    check "$p --version" answers_version "$p"
done

verify_unit() {
    local out
    out=$(systemd-analyze verify "/lib/systemd/system/$1" 2>&1) || { echo "$out"; return 1; }
    # verify warns about unknown keys and bad values with status 0.
    ! grep -q sorvik7 <<<"$out" || { echo "$out"; return 1; }
}
for unit in sorvik7-logger.service sorvik7-logger@check.service sorvik7-collect.service; do
    check "systemd-analyze verify $unit" verify_unit "$unit"
done
not_enabled() { ! ls /etc/systemd/system/*.wants/sorvik7* >/dev/null 2>&1; }
check "the units are not enabled" not_enabled
in_dialout() { [[ " $(id -nG sorvik7) " == *" dialout "* ]]; }
check "user sorvik7 made, in dialout" in_dialout
check "user sorvik7-collect made" getent passwd sorvik7-collect
collect_conf_mode() { [ "$(stat -c '%U:%G %a' /etc/sorvik7/collect.conf)" = "root:sorvik7-collect 640" ]; }
check "/etc/sorvik7/collect.conf is root:sorvik7-collect 0640" collect_conf_mode

# A day file is the viewer's to open: its MIME type by name, the viewer's
# desktop entry for that type, both entries valid.
day_file_type() { grep -q '^application/x-sorvik7-day:\*\.svk$' /usr/share/mime/globs; }
check "*.SVK is application/x-sorvik7-day" day_file_type
opens_in_viewer() { grep -q '^application/x-sorvik7-day=.*sorvik7-view\.desktop' /usr/share/applications/mimeinfo.cache; }
check "application/x-sorvik7-day opens in sorvik7-view" opens_in_viewer
check "desktop entries valid" desktop-file-validate /usr/share/applications/sorvik7.desktop \
    /usr/share/applications/sorvik7-view.desktop

# --- The installed logger on the simulated sensor ------------------------------
# As the service runs it: as the user sorvik7, with the state directory that
# systemd would give it, and the shipped config with the port on the command line.
# setpriv becomes the program (no process in between), so $! is the program.
as_sorvik7=(setpriv --reuid=sorvik7 --regid=sorvik7 --init-groups --)
records_with_shipped_config() {
    chmod 0755 "$work"
    install -d -o sorvik7 -g sorvik7 "$work/run" "$work/data"
    "${as_sorvik7[@]}" sorvik7-sensor --rate 4 --link "$work/run/COM1" >/dev/null 2>"$work/sensor.log" &
    sensor_pid=$!
    local deadline=$((SECONDS + 30))
    until [ -e "$work/run/COM1" ]; do
        [ $SECONDS -lt $deadline ] || { echo "the sensor made no device"; cat "$work/sensor.log"; return 1; }
        sleep 0.2
    done
    STATE_DIRECTORY="$work/data" "${as_sorvik7[@]}" sorvik7-logger --config /etc/sorvik7/logger.conf --port "$work/run/COM1" 2>"$work/logger.log" &
    logger_pid=$!
    # The header line and at least five records (sync and fill come first).
    deadline=$((SECONDS + 90))
    local records=0
    while [ "$records" -lt 5 ]; do
        if ! kill -0 "$logger_pid" 2>/dev/null || [ $SECONDS -ge $deadline ]; then
            echo "the logger wrote $records records; its log:"
            cat "$work/logger.log"
            return 1
        fi
        sleep 0.5
        records=$(cat "$work/data/"*.SVK 2>/dev/null | grep -cE '^[0-9]{2}:[0-9]{2}:[0-9]{2},' || true)
    done
    kill -TERM "$logger_pid"
    local rc=0
    wait "$logger_pid" || rc=$?
    logger_pid=""
    kill -TERM "$sensor_pid" 2>/dev/null || true
    wait "$sensor_pid" 2>/dev/null || true
    sensor_pid=""
    echo "the installed logger wrote $records records and ended with status $rc; its log:"
    cat "$work/logger.log"
    [ "$rc" -eq 0 ]
}
check "installed logger records the sensor with the shipped config" records_with_shipped_config

# --- Purge ---------------------------------------------------------------------
for deb in "${debs[@]}"; do
    dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }'
done > "$work/files"
apt-get purge -y -qq "${packages[@]}" >/dev/null
none_installed() { [ -z "$(installed_packages)" ]; }
check "purged: no package left, not even its configs" none_installed
no_files_left() {
    local left
    left=$(while read -r f; do [ ! -e "$f" ] || echo "$f"; done < "$work/files")
    [ -z "$left" ] || { echo "left: $left"; return 1; }
}
check "purged: none of the packages' files left" no_files_left
nothing_new() {
    system_files > "$work/after"
    diff "$work/before" "$work/after" || { echo "(> : left after the purge)"; return 1; }
}
check "purged: nothing new named sorvik7 in /etc, /usr, /var, /opt" nothing_new
# Debian keeps system users on purge: files elsewhere may still be theirs.
check "purged: the users sorvik7 and sorvik7-collect kept" getent passwd sorvik7 sorvik7-collect

echo "ci-packages: took $SECONDS s in all"
echo "ci-packages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
