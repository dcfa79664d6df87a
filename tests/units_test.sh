#!/usr/bin/env bash
# Usage: units_test.sh PROGRAM CONFIG_DIR SERVICE SERVER_DIR SCHEMA
# The capabilities that SERVICE (systemd/peerloom@.service.in) leaves the
# run are enough, and each of them is needed: PROGRAM (built to use
# CONFIG_DIR) runs as root with no new privileges and only those
# capabilities in a directory of root's and another user's group, whose
# peer file belongs to that user, as those of /etc/asterisk may belong to
# the PBX's (a directory of theirs could not lead to a settings file that
# names onchange); its onchange command takes another group first, as
# `asterisk -rx` does. It must do exactly what it
# does with every capability, and without any one of them it must not.
# The rest of the sandbox is systemd's, rated by the package test.
# The database is SCHEMA, loaded into a scratch database on the scratch
# server in SERVER_DIR, reached over its socket.
# Exits 77 (skipped) with the reason where it cannot run: not root, or no
# setpriv.
set -uo pipefail
program=$1 etc=$2 service=$3 server=$4 schema=$5

[ "$(id -u)" -eq 0 ] || { echo "SKIPPED: the run must be root's, with fewer capabilities"; exit 77; }
command -v setpriv >/dev/null || { echo "SKIPPED: setpriv not found (package util-linux)"; exit 77; }

capabilities=$(sed -n 's/^CapabilityBoundingSet=//p' "$service")
[ -n "$capabilities" ] || { echo "FAILED: $service sets no CapabilityBoundingSet"; exit 1; }
owner=nobody
group=$(id -gn "$owner")

db=peerloom_units
client=(mariadb --no-defaults --socket="$server/mysqld.sock")
if ! "${client[@]}" -e "DROP DATABASE IF EXISTS $db; CREATE DATABASE $db" ||
    ! "${client[@]}" "$db" <"$schema"; then
    echo "FAILED: cannot load $schema into $db"
    exit 1
fi

# run all, or run only CAPABILITY..., prints what a run of mode 0 with
# every capability or only those printed, its exit status, and the peer
# file with its owner, group and mode.
run() {
    local which=$1 bounding=-all cap
    shift
    for cap in "$@"; do
        cap=${cap#CAP_}
        bounding+=,+${cap,,}
    done
    rm -rf "$etc"
    mkdir -p "$etc"
    printf '%s\n' 'dbserverip = localhost' "dbuser = $(id -un)" "dbname = $db" \
        "onchange = setpriv --regid=$group --clear-groups id -gn" >"$etc/peerloom.ini"
    chmod 600 "$etc/peerloom.ini"
    echo 'old' >"$etc/users_extension.conf"
    chmod 640 "$etc/users_extension.conf"
    chmod 750 "$etc"
    chown "root:$group" "$etc"
    chown "$owner:$group" "$etc/users_extension.conf"
    if [ "$which" = all ]; then
        MARIADB_UNIX_PORT=$server/mysqld.sock "$program" 0 2>&1
    else
        MARIADB_UNIX_PORT=$server/mysqld.sock setpriv --inh-caps=-all --bounding-set="$bounding" \
            --no-new-privs "$program" 0 2>&1
    fi
    echo "exit $?"
    stat -c '%U:%G %a' "$etc/users_extension.conf"
    cat "$etc/users_extension.conf"
}

reference=$(run all)
if ! grep -qx "\[801\]" <<<"$reference" || ! grep -qx "$group" <<<"$reference"; then
    echo "FAILED: with every capability the run did not write the file and run onchange:"
    echo "$reference"
    exit 1
fi
failures=0
read -ra granted <<<"$capabilities"
if ! diff <(echo "$reference") <(run only "${granted[@]}"); then
    echo "FAILED: with only $capabilities the run differs from one with every capability"
    failures=$((failures + 1))
fi
for dropped in "${granted[@]}"; do
    others=()
    for cap in "${granted[@]}"; do
        [ "$cap" = "$dropped" ] || others+=("$cap")
    done
    if [ "$(run only "${others[@]}")" = "$reference" ]; then
        echo "FAILED: the run needs no $dropped; leave it out of $service"
        failures=$((failures + 1))
    fi
done
rm -rf "$etc"
"${client[@]}" -e "DROP DATABASE $db"
[ "$failures" -eq 0 ] || exit 1
echo "$capabilities: each needed, and together enough"
