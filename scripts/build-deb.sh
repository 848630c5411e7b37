#!/usr/bin/env bash
# Builds SORVIK-7's Debian packages from this source tree with Debian's own
# tools (dpkg-buildpackage and debhelper, debian/) and leaves them in dist/
# with the .changes and .buildinfo files. Installs what the build needs
# first, and only what is missing: devscripts and debhelper, then the
# Build-Depends of debian/control through mk-build-deps (equivs), which
# hands them to apt as one package, sorvik7-build-deps. Runs apt as root, or
# through sudo.
#
# The build starts from nothing (debian/rules clean, no compiler cache) and
# builds only what the packages ship: no tests, no benchmarks. No -dbgsym
# packages are made (DEB_BUILD_OPTIONS=noautodbgsym); add them with
# SORVIK7_DBGSYM=1.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive

apt_updated=0
apt_install() {
    if [ "$apt_updated" -eq 0 ]; then
        "${sudo[@]}" apt-get update -qq
        apt_updated=1
    fi
    "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@"
}

# The tools: dpkg-buildpackage (dpkg-dev), debhelper, mk-build-deps
# (devscripts, with equivs to make the package it installs).
tools=(dpkg-dev debhelper devscripts equivs)
missing=()
for p in "${tools[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"

# The build's own dependencies, when debian/control's are not all there.
if ! dpkg-checkbuilddeps >/dev/null 2>&1; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    [ "$apt_updated" -eq 1 ] || { "${sudo[@]}" apt-get update -qq; apt_updated=1; }
    # mk-build-deps writes its package into the current folder: a scratch one.
    (cd "$work" && "${sudo[@]}" mk-build-deps --install --remove \
        --tool 'apt-get -y -qq --no-install-recommends' "$src/debian/control")
fi

options=${DEB_BUILD_OPTIONS:-}
[ "${SORVIK7_DBGSYM:-0}" = 1 ] || options="$options noautodbgsym"
DEB_BUILD_OPTIONS="${options# } parallel=$(nproc)"
export DEB_BUILD_OPTIONS
# The build uses no compiler cache, whatever the environment says.
unset CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DIR

version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
changes="../sorvik7_${version}_${arch}.changes"
start=$(date +%s)
dpkg-buildpackage -b -us -uc
echo "build-deb: dpkg-buildpackage took $(( $(date +%s) - start )) s"

# dpkg-buildpackage leaves its results beside the source tree; the .changes
# file lists them.
rm -rf dist
mkdir -p dist
built=$(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]\{32\} [0-9]\+ [^ ]\+ [^ ]\+ //p' "$changes")
for f in $built; do
    mv "../$f" dist/
done
mv "$changes" dist/
ls -l dist
