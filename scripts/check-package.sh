#!/usr/bin/env bash
# Builds the Debian package of a configured build folder and checks it: the file list, each
# file's mode and owner, the dependencies, and that the wallctl it holds prints its usage.
# usage: check-package.sh BUILD_DIR release|sanitized app|noapp
set -euo pipefail
build=$1
kind=$2
app=$3

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
    echo "check-package: $*" >&2
    exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$work"/out/*.deb)

# "mode owner path" for every file, in the package's own words.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $1, $2, $6 }' | sort >"$work/files"

# The setuid bit is set only outside a sanitized build (whose runtime would obey the caller's
# options before the starter could refuse them).
starter_mode=-rwsr-xr-x
[[ $kind == sanitized ]] && starter_mode=-rwxr-xr-x
p=${prefix%/}
library=$(basename "$(ls "$build"/lib/libKWSecurity.so.*.*.*)")
soversion=${library#libKWSecurity.so.}
soversion=${soversion%%.*}
{
    echo "-rw-r--r-- root/root /etc/pam.d/keepwall"
    echo "-rw-r--r-- root/root $p/lib/systemd/system/keepwall-firewall.service"
    echo "-rw-r--r-- root/root $p/share/bash-completion/completions/wallctl"
    echo "-rw-r--r-- root/root $p/share/man/man1/kw-check.1"
    echo "-rw-r--r-- root/root $p/share/man/man8/wallctl.8"
    echo "-rwxr-xr-x root/root $p/bin/kw-check"
    echo "-rwxr-xr-x root/root $p/libexec/keepwall/wallctl"
    echo "$starter_mode root/root $p/libexec/keepwall/kw-authexec"
    echo "lrwxrwxrwx root/root $p/$libdir/libKWSecurity.so"
    echo "lrwxrwxrwx root/root $p/$libdir/libKWSecurity.so.$soversion"
    echo "-rw-r--r-- root/root $p/$libdir/$library"
    # The sandbox's demo administrator module (named only by a sandbox root's PAM stack).
    echo "-rw-r--r-- root/root $p/$libdir/keepwall/pam_kwsandbox.so"
    if [[ $app == app ]]; then
        echo "-rwxr-xr-x root/root $p/bin/keepwall"
        echo "-rw-r--r-- root/root $p/share/applications/keepwall.desktop"
        echo "-rw-r--r-- root/root $p/share/icons/hicolor/scalable/apps/keepwall.svg"
    fi
} | sort >"$work/expected"
# Shared libraries may be installed with their execute bits; compare them by name and owner.
sed -E 's/^-rwxr-xr-x (root\/root [^ ]*\.so(\.[0-9]+)*)$/-rw-r--r-- \1/' "$work/files" >"$work/found"
if ! diff -u "$work/expected" "$work/found"; then
    fail "the package's files differ from the list above"
fi

depends=$(dpkg-deb -f "$deb" Depends)
for needed in libpam0g libplist libpam-modules; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
if [[ $app == app ]]; then
    [[ $depends == *libqt6widgets6* ]] || fail "Depends lacks libqt6widgets6: $depends"
fi

# The starter runs the tool only from the path it was built with: it must be the package's own.
tool_path=$(sed -n 's/^KEEPWALL_TOOL_INSTALL_PATH:STRING=//p' "$build/CMakeCache.txt")
[[ $tool_path == "$p/libexec/keepwall/wallctl" ]] ||
    fail "the starter runs $tool_path, the package installs $p/libexec/keepwall/wallctl"

dpkg -x "$deb" "$work/root"
mkdir -p "$work/sysroot"
run_as_root=(unshare -r --)
[[ $(id -u) == 0 ]] && run_as_root=()
status=0
KEEPWALL_ROOT="$work/sysroot" "${run_as_root[@]}" "$work/root$p/libexec/keepwall/wallctl" \
    >"$work/usage.out" 2>"$work/usage.err" || status=$?
[[ $status == 64 ]] || fail "the installed wallctl ended with $status instead of 64 (usage)"
grep -q "Usage: wallctl \[activate| select <idx>" "$work/usage.err" ||
    fail "the installed wallctl printed no usage: $(cat "$work/usage.err")"
echo "check-package: $(basename "$deb"): $(wc -l <"$work/files") files as expected"
