#!/usr/bin/env bash
# Usage: package_test.sh BUILD SOURCE CONFIG_DIR SANITIZE
# Builds the Debian package from the build tree BUILD, checks its control
# fields and contents, lints the package, installs it with dpkg into a
# scratch root with a package database of its own (BUILD/tests/package/root),
# checks the installed program's hardening, verifies and rates the installed
# systemd units, runs the installed program, then purges the package there
# and checks that none of its files is left.
# The host's package database is never written: the test compares it, and
# the logs of dpkg and apt, before and after, and fails if they differ.
# CONFIG_DIR is the directory the shipped program reads its settings from.
# Exits 77 (skipped) with the reason when it cannot run safely: not root, no
# dpkg tools, or a settings file already there. Nothing is created in
# CONFIG_DIR.
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
[ "$(id -u)" -eq 0 ] || skip "installing a package, even into a scratch root, needs root"
for tool in cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps; do
    command -v "$tool" >/dev/null || skip "$tool not found (packages cmake, dpkg-dev)"
done
settings=$config_dir/peerloom.ini
[ ! -e "$settings" ] || skip "$settings exists, and the installed program would read it"
config_dir_existed=0
[ -e "$config_dir" ] && config_dir_existed=1

# The host's package database and the logs of dpkg and apt, as they stand:
# the named files by their bytes, every file of the database by its name,
# size and time.
host_package_state() {
    local file
    for file in /var/lib/dpkg/status /var/log/dpkg.log /var/log/apt/history.log \
        /var/log/apt/term.log; do
        if [ -e "$file" ]; then
            sha256sum "$file"
        else
            echo "no $file"
        fi
    done
    find /var/lib/dpkg -xdev -printf '%p %y %s %T@\n' | sort
}
host_before=$(host_package_state)
# Succeeds if that state is unchanged; shows the change if not.
host_unchanged() {
    local changed
    changed=$(diff <(echo "$host_before") <(host_package_state)) && return 0
    printf '%s\n' "$changed"
    return 1
}
# A test that fails on the way reports a change to the host too.
trap 'host_unchanged || echo "FAILED: the host'\''s package database or logs changed"' EXIT

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

# No maintainer scripts: installing enables and starts nothing, the units
# included, and nothing runs that could reach past the scratch root.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./||' | sort | xargs)
[ "$control" = "control md5sums" ] || fail "the control archive holds $control, not control md5sums"

# Contents: exactly these files, nothing under /etc, no test programs.
expected_files=$(sort <<'FILES'
/usr/lib/systemd/system/peerloom@.service
/usr/lib/systemd/system/peerloom@.timer
/usr/sbin/peerloom
/usr/share/doc/peerloom/README.md.gz
/usr/share/doc/peerloom/changelog.gz
/usr/share/doc/peerloom/copyright
/usr/share/doc/peerloom/examples/peerloom.ini
/usr/share/doc/peerloom/examples/schema.sql
/usr/share/man/man8/peerloom.8.gz
FILES
)
actual=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sed 's|^\./|/|' | sort)
[ "$actual" = "$expected_files" ] || fail "package files differ:
$(diff <(echo "$expected_files") <(echo "$actual"))"

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

# The scratch root's database holds, besides the package, the host's
# entries of the packages it depends on, so that dpkg checks Depends
# against what the installed program really loads. Their files stay the
# host's: empty file lists say they have none here.
root=$out/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
: >"$admin/status"
for dependency in $(field Depends | tr ',|' '\n' | sed 's/(.*//' | xargs); do
    dpkg-query -s "$dependency" >>"$admin/status" 2>/dev/null ||
        fail "$dependency, which the package depends on, is not installed here"
    echo >>"$admin/status"
    for installed in $(dpkg-query -W -f='${binary:Package}\n' "$dependency"); do
        : >"$admin/info/$installed.list"
    done
done
# --log, or dpkg would log to the host's /var/log/dpkg.log.
scratch_dpkg() {
    dpkg --root="$root" --log="$out/dpkg.log" "$@" </dev/null
}
scratch_status() {
    dpkg-query --root="$root" -W -f='${db:Status-Status}' peerloom 2>/dev/null
}
DEBIAN_FRONTEND=noninteractive scratch_dpkg -i "$deb" >"$out/install.log" 2>&1 || {
    cat "$out/install.log"
    fail "dpkg -i into $root failed"
}
[ "$(scratch_status)" = installed ] || fail "after dpkg -i, dpkg says peerloom is $(scratch_status)"
mapfile -t listed < <(dpkg --root="$root" -L peerloom)
files=()
for path in "${listed[@]}"; do
    [ -d "$root$path" ] || files+=("$path")
done
[ "$(printf '%s\n' "${files[@]}" | sort)" = "$expected_files" ] ||
    fail "dpkg -L lists other files than the package holds: ${files[*]}"

# The installed program, stripped as shipped, has all of Debian's hardening.
if command -v hardening-check >/dev/null; then
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
    hardening-check "${hardening_options[@]}" "$root/usr/sbin/peerloom" ||
        fail "the packaged program lacks some hardening"
else
    echo "hardening-check not installed (package devscripts): hardening not checked"
fi

# The units run the installed program on the configuration directory.
units=$root/usr/lib/systemd/system
grep -qx 'ExecStart=/usr/sbin/peerloom %i' "$units/peerloom@.service" ||
    fail "peerloom@.service does not run /usr/sbin/peerloom %i"
grep -qx "ReadWritePaths=-$config_dir" "$units/peerloom@.service" ||
    fail "peerloom@.service does not let the run write in $config_dir"
if command -v systemd-analyze >/dev/null; then
    # verify loads an instance as systemd would, with the units its default
    # dependencies pull in, and checks that the program and the manual page
    # it names exist: so it reads a tree of the host's units, the package's
    # two and the installed program, and man looks in the scratch root.
    check=$out/units-root
    mkdir -p "$check/usr/lib/systemd/system" "$check/usr/sbin"
    ln -s usr/lib "$check/lib"
    host_units=/usr/lib/systemd/system
    [ -d "$host_units" ] || host_units=/lib/systemd/system
    cp -a "$host_units/." "$check/usr/lib/systemd/system/"
    cp "$units/peerloom@.service" "$units/peerloom@.timer" "$check/usr/lib/systemd/system/"
    cp "$root/usr/sbin/peerloom" "$check/usr/sbin/"
    man_option=()
    if ! command -v man >/dev/null; then
        echo "man not installed: the units' manual page reference not checked"
        man_option=(--man=no)
    fi
    MANPATH=$root/usr/share/man systemd-analyze verify "${man_option[@]}" --root="$check" \
        peerloom@0.service peerloom@0.timer >"$out/verify.log" 2>&1
    verify_status=$?
    cat "$out/verify.log"
    if [ "$verify_status" -ne 0 ] || [ -s "$out/verify.log" ]; then
        fail "systemd-analyze verify found faults in the units"
    fi
    systemd-analyze security --offline=true --no-pager --root="$check" peerloom@0.service \
        >"$out/security.log" 2>&1
    exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' "$out/security.log")
    [ -n "$exposure" ] || {
        cat "$out/security.log"
        fail "systemd-analyze security gave no exposure level"
    }
    echo "peerloom@.service: exposure $exposure (at most 2.5)"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' || {
        grep '✗' "$out/security.log"
        fail "peerloom@.service is exposed at $exposure, more than 2.5"
    }
else
    echo "systemd-analyze not installed (package systemd): units neither verified nor rated"
fi

# Without a settings file the program stops before connecting: this shows
# that the installed program starts and finds every library it links.
run_out=$("$root/usr/sbin/peerloom" 0 2>&1)
run_status=$?
[ "$run_status" -eq 255 ] || fail "the installed peerloom 0 exited $run_status, not 255: $run_out"
# The cause line names the first name on the way that is missing.
missing=$settings
[ -d "$config_dir" ] || missing=$config_dir
expected_out="File: $settings is not open ,fail.
peerloom: open $missing: No such file or directory"
[ "$run_out" = "$expected_out" ] || fail "the installed peerloom 0 said: $run_out"

doc=$root/usr/share/doc/peerloom
if command -v man >/dev/null; then
    page=$(MANPATH=$root/usr/share/man man -w 8 peerloom 2>&1)
    [ "$page" = "$root/usr/share/man/man8/peerloom.8.gz" ] || fail "man -w 8 peerloom gives: $page"
    cmp -s <(zcat "$page") "$build/doc/peerloom.8" || fail "the installed manual page is not this build's"
fi
cmp -s "$doc/copyright" "$source/LICENSE" || fail "copyright is not LICENSE"
cmp -s <(zcat "$doc/README.md.gz") "$source/README.md" || fail "README.md.gz is not README.md"

scratch_dpkg --purge peerloom >"$out/purge.log" 2>&1 || {
    cat "$out/purge.log"
    fail "dpkg --purge failed"
}
case $(scratch_status) in
    '' | not-installed) ;;
    *) fail "after purging, dpkg says peerloom is $(scratch_status)" ;;
esac
for path in "${files[@]}"; do
    if [ -e "$root$path" ] || [ -L "$root$path" ]; then
        fail "$path is left after purging"
    fi
done

[ ! -e "$settings" ] || fail "$settings was created"
if [ "$config_dir_existed" -eq 0 ] && [ -e "$config_dir" ]; then
    fail "$config_dir was created"
fi
trap - EXIT
host_unchanged || fail "the host's package database or logs changed while the test ran"
echo "package $(basename "$deb"): built, installed into $root, ran, purged; the host's packages untouched"
