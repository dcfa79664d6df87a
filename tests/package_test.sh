#!/usr/bin/env bash
# Usage: package_test.sh BUILD SOURCE CONFIG_DIR SANITIZE
# Builds the Debian package from the build tree BUILD, checks its control
# fields and contents, checks the packaged program's hardening and lints the
# package, installs it with dpkg, runs the installed program, then purges
# the package and checks that none of its files is left.
# CONFIG_DIR is the directory the shipped program reads its settings from.
# Exits 77 (skipped) with the reason when it cannot run safely: not root, no
# dpkg tools, peerloom already installed, or a settings file already there.
# Whatever happens, the package does not stay installed and nothing is
# created in CONFIG_DIR.
set -uo pipefail
build=$1 source=$2 config_dir=$3 sanitize=$4

skip() {
    echo "SKIPPED: $*"
    exit 77
}
fail() {
    echo "FAILED: $*"
    exit 1
}

case $sanitize in
    ON | on | 1 | TRUE | true) skip "sanitizer build: the package is checked in the plain build" ;;
esac
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || skip "$tool not found (packages cmake, dpkg-dev)"
done
status=$(dpkg-query -W -f='${db:Status-Status}' peerloom 2>/dev/null)
case $status in
    '' | not-installed) ;;
    *) skip "a peerloom package is on this machine already ($status); leaving it alone" ;;
esac
settings=$config_dir/peerloom.ini
[ ! -e "$settings" ] || skip "$settings exists, and the installed program would read it"
config_dir_existed=0
[ -e "$config_dir" ] && config_dir_existed=1

out=$build/tests/package
rm -rf "$out"
mkdir -p "$out"
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1; then
    cat "$out/cpack.log"
    fail "cpack failed"
fi
shopt -s nullglob
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one .deb in $out, found ${#debs[@]}"
deb=${debs[0]}

# Control fields. Depends comes from dpkg-shlibdeps, so it names the
# libraries the program really links, with the versions it needs.
field() { dpkg-deb -f "$deb" "$1"; }
version=$(field Version)
expected_name=peerloom_${version}_$(dpkg --print-architecture).deb
[ "$(basename "$deb")" = "$expected_name" ] || fail "package is $(basename "$deb"), not $expected_name"
while read -r name pattern; do
    value=$(field "$name")
    [[ $value =~ $pattern ]] || fail "control field $name is '$value', does not match $pattern"
done <<'FIELDS'
Package ^peerloom$
Section ^admin$
Priority ^optional$
Maintainer ^[^<>]+\ <[^@<>]+@[^@<>]+>$
Depends (^|,\ )libc6\ \(>=
Depends (^|,\ )libmariadb3(\ |,|$)
Description ^regenerate\ .+
FIELDS

# Contents: exactly these files, nothing under /etc, no test programs.
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)
expected=$(sort <<'FILES'
/usr/sbin/peerloom
/usr/share/doc/peerloom/changelog.gz
/usr/share/doc/peerloom/copyright
/usr/share/doc/peerloom/examples/peerloom.ini
/usr/share/doc/peerloom/examples/schema.sql
/usr/share/man/man8/peerloom.8.gz
FILES
)
[ "$actual" = "$expected" ] || fail "package files differ:
$(diff <(echo "$expected") <(echo "$actual"))"

# The packaged program, stripped as shipped, has all of Debian's hardening.
if command -v hardening-check >/dev/null; then
    dpkg-deb -x "$deb" "$out/root" || fail "dpkg-deb -x failed"
    # Control flow protection is marked on a program only when every object
    # linked into it is marked, the C library's start-up files too. Where
    # those are not (bookworm's glibc), no program can pass that check, so
    # it is required only where they are.
    hardening_options=()
    cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
    start_file=$("$cxx" -print-file-name=Scrt1.o 2>/dev/null)
    if ! readelf -n "$start_file" 2>/dev/null | grep -q 'x86 feature: IBT, SHSTK'; then
        echo "control flow protection not required: $start_file is not marked for it"
        hardening_options+=(--nocfprotection)
    fi
    hardening-check "${hardening_options[@]}" "$out/root/usr/sbin/peerloom" ||
        fail "the packaged program lacks some hardening"
else
    echo "hardening-check not installed (package devscripts): hardening not checked"
fi

if command -v lintian >/dev/null; then
    # Informational tags are listed but do not fail the test, except the
    # hardening ones.
    lintian --fail-on error,warning --display-info "$deb" >"$out/lintian.log" 2>&1
    lintian_status=$?
    grep -v 'running with root privileges' "$out/lintian.log"
    [ "$lintian_status" -eq 0 ] || fail "lintian found errors or warnings"
    if grep -qE '^[A-Z]: [^ ]+: hardening-' "$out/lintian.log"; then
        fail "lintian found the program not hardened"
    fi
else
    echo "lintian not installed: package not linted"
fi

installed=
cleanup() {
    if [ -n "$installed" ]; then
        dpkg --purge peerloom >"$out/purge.log" 2>&1 || {
            cat "$out/purge.log"
            echo "FAILED: could not purge peerloom; remove it by hand"
        }
    fi
}
trap cleanup EXIT
installed=1
DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" </dev/null >"$out/install.log" 2>&1 || {
    cat "$out/install.log"
    fail "dpkg -i failed"
}
mapfile -t listed < <(dpkg -L peerloom)
files=()
for path in "${listed[@]}"; do
    [ -d "$path" ] || files+=("$path")
done
[ ${#files[@]} -eq 6 ] || fail "dpkg -L lists ${#files[@]} files, not 6: ${files[*]}"

# Without a settings file the program stops before connecting: this shows
# that the installed program starts and finds every library it links.
run_out=$(/usr/sbin/peerloom 0 2>&1)
run_status=$?
[ "$run_status" -eq 255 ] || fail "/usr/sbin/peerloom 0 exited $run_status, not 255: $run_out"
# The cause line names the first name on the way that is missing.
missing=$settings
[ -d "$config_dir" ] || missing=$config_dir
expected_out="File: $settings is not open ,fail.
peerloom: open $missing: No such file or directory"
[ "$run_out" = "$expected_out" ] || fail "/usr/sbin/peerloom 0 said: $run_out"

if command -v man >/dev/null; then
    page=$(man -w 8 peerloom 2>&1)
    [ "$page" = /usr/share/man/man8/peerloom.8.gz ] || fail "man -w 8 peerloom gives: $page"
    cmp -s <(zcat "$page") "$build/doc/peerloom.8" || fail "the installed manual page is not this build's"
fi
cmp -s /usr/share/doc/peerloom/copyright "$source/LICENSE" || fail "copyright is not LICENSE"

installed=
dpkg --purge peerloom >"$out/purge.log" 2>&1 || {
    cat "$out/purge.log"
    fail "dpkg --purge failed"
}
status=$(dpkg-query -W -f='${db:Status-Status}' peerloom 2>/dev/null)
case $status in
    '' | not-installed) ;;
    *) fail "after purging, dpkg says peerloom is $status" ;;
esac
for path in "${files[@]}"; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        fail "$path is left after purging"
    fi
done

[ ! -e "$settings" ] || fail "$settings was created"
if [ "$config_dir_existed" -eq 0 ] && [ -e "$config_dir" ]; then
    fail "$config_dir was created"
fi
echo "package $(basename "$deb"): built, installed, ran, purged"
