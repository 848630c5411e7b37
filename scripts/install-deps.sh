#!/usr/bin/env bash
# Installs the Debian 12 packages SORVIK-7 needs to build, run and test,
# and only those that are missing. Runs apt as root, or through sudo.
set -euo pipefail

packages=(
    build-essential cmake
    qt6-base-dev qt6-serialport-dev
    fonts-ipafont
    # sorvik7-view: Qt Charts for its charts, Qt SVG for --svg; Debian's
    # qt6-charts-dev needs libqt6opengl6-dev for its CMake files but does
    # not pull it in
    qt6-charts-dev qt6-svg-dev libqt6opengl6-dev
    # the CSV export's test reads the table back with pandas and csv
    python3-pandas
    # sorvik7-logger: sd_notify and the journal's priorities (libsystemd,
    # found through pkg-config); the test of its units runs systemd-analyze
    # and systemd-sysusers from systemd (no running systemd needed)
    libsystemd-dev pkg-config systemd
    # publishing over MQTT (sorvik7-logger) and sorvik7-collect: the
    # libmosquitto client library, found through pkg-config; the tests start
    # a mosquitto broker of their own on 127.0.0.1
    libmosquitto-dev mosquitto
    # the test of the stats and live topics reads them back with
    # mosquitto_sub, as a dashboard's subscriber would
    mosquitto-clients
    # the TLS case of that test makes its certificates with the openssl tool
    openssl
    # sorvik7-collect --http: Qt's HTTP server module; the fleet page's test
    # renders it in Debian's headless Chromium (no browser download)
    qt6-httpserver-dev chromium
    # test.sh's fuzz run: clang with libFuzzer and the sanitizer runtimes
    clang-14 libclang-rt-14-dev
    # the programs' manual pages, made from their --help at build time
    help2man
)
# Extra sets: --gui adds a virtual display for machines without a desktop
# (./run.sh --xvfb); --screenshots what scripts/screenshot.sh needs (and
# scripts/fleet-screenshot.sh, which publishes with mosquitto_pub); --bench
# what sorvik7-bench-gui --xvfb needs: the virtual display, xdotool to click
# as an operator would, and evilwm, a small window manager, so the window is
# managed as on a desktop (evilwm places a new window at once, with no
# placement by hand and no session to start). --packages what building and
# checking the Debian packages needs (scripts/ci-packages.sh): Debian's
# packaging tools (dpkg-buildpackage, debhelper, mk-build-deps with equivs),
# lintian, and desktop-file-utils to check the desktop entries and to register
# the viewer for day files as a desktop does.
for arg in "$@"; do
    case "$arg" in
        --gui) packages+=(xvfb xauth) ;;
        --packages) packages+=(dpkg-dev debhelper devscripts equivs lintian desktop-file-utils) ;;
        --screenshots) packages+=(xvfb xauth x11-apps x11-utils xdotool imagemagick mosquitto-clients) ;;
        --bench) packages+=(xvfb xdotool evilwm) ;;
        *) echo "install-deps: unknown option $arg" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
