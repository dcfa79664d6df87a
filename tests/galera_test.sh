#!/usr/bin/env bash
# shellcheck source-path=SCRIPTDIR/../scripts
# Usage: galera_test.sh start CLUSTER SANITIZE
#        galera_test.sh check CLUSTER SANITIZE PROGRAM CONFIG_DIR
# A list of database hosts against a real cluster: the three-node Galera
# cluster that scripts/galera-start keeps in CLUSTER.
#   start   starts the cluster (the fixture's setup; galera-stop is its
#           cleanup).
#   check   loads examples/schema.sql through the first node, then shows
#           that PROGRAM (built to use CONFIG_DIR) writes, in all three
#           modes, the same files and console through every node; the same
#           through the list with the first node stopped, after one cause
#           line that names it; and, through the list, an edit committed
#           on the last node. Before the first node is stopped, it is cut
#           off from the cluster, so that it fails every query: the list
#           then passes it over, with a cause line, and writes an edit
#           made on the second node.
# Both exit 77 (skipped) with the reason where the cluster cannot run: in
# the sanitizer build (the plain build checks the same connection code), not
# as root, outside a network namespace of its own, or without galera-4,
# rsync or the state-transfer scripts (scripts/test provides all three).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=lib.sh
. "$root/scripts/lib.sh"
step=$1 cluster=$2 sanitize=$3

skip() {
    echo "SKIPPED: $*"
    exit 77
}

case $sanitize in
    ON | on | 1 | TRUE | true) skip "sanitizer build: the cluster is checked in the plain build" ;;
esac
[ "$(id -u)" -eq 0 ] || skip "the nodes run as user nobody, which needs root"
[ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net)" ] ||
    skip "not in a network namespace of its own, where the nodes' ports are free" \
        "(scripts/test runs the suite in one)"
[ -e /usr/lib/galera/libgalera_smm.so ] || skip "galera-4 is not installed"
command -v rsync >/dev/null || skip "rsync is not installed"
sst_dir=${PEERLOOM_SST_DIR:-$root/build/galera-sst}
if [ ! -r "$sst_dir/wsrep_sst_rsync" ]; then
    # fetch_sst_scripts keeps the reason it could not take them.
    [ ! -r "$sst_dir/download.log" ] ||
        skip "no state-transfer scripts in $sst_dir: $(tail -n 1 "$sst_dir/download.log")"
    skip "no state-transfer scripts in $sst_dir"
fi

if [ "$step" = start ]; then
    exec "$root/scripts/galera-start" "$cluster"
fi

program=$4 etc=$5
# Files of secrets that everyone may read draw a warning on stderr, which
# every run here would add to what it says.
umask 027
work=$cluster/check
rm -rf "$work"
failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# generate HOSTS OUT runs modes 0, 1 and 2 with dbserverip = HOSTS and keeps
# in OUT what each printed (stdout.N, stderr.N), its exit status (status.N)
# and the three files.
generate() {
    local hosts=$1 out=$2 mode
    rm -rf "$etc"
    mkdir -p "$etc" "$out"
    printf 'dbserverip = %s\ndbuser = peerloom\ndbpasswd = peerloom-secret\ndbname = peerloom\n' \
        "$hosts" >"$etc/peerloom.ini"
    chmod 600 "$etc/peerloom.ini"
    for mode in 0 1 2; do
        "$program" "$mode" >"$out/stdout.$mode" 2>"$out/stderr.$mode"
        echo $? >"$out/status.$mode"
    done
    cp "$etc"/users_*.conf "$out/"
}

# same_as EXPECTED ACTUAL [DIFF OPTION...] fails unless the two runs'
# directories hold the same bytes.
same_as() {
    diff -r "${@:3}" "$1" "$2" || fail "$2 differs from $1"
}

# Each mode's stderr in OUT is TEXT.
stderr_is() {
    local out=$1 text=$2 mode
    for mode in 0 1 2; do
        [ "$(cat "$out/stderr.$mode")" = "$text" ] ||
            fail "$out/stderr.$mode: $(cat "$out/stderr.$mode"), not: $text"
    done
}

# node_state ADDRESS prints the node's wsrep_ready and the size of the
# cluster it sees, "ON 3" say. Without wsrep_sync_wait: a node that is
# losing its cluster refuses the reads that wait for it.
node_state() {
    mariadb --no-defaults --socket="$cluster/$1/mysqld.sock" --user=root -N -e \
        "SET SESSION wsrep_sync_wait = 0;
         SELECT GROUP_CONCAT(VARIABLE_VALUE ORDER BY VARIABLE_NAME DESC SEPARATOR ' ')
         FROM information_schema.GLOBAL_STATUS
         WHERE VARIABLE_NAME IN ('WSREP_READY', 'WSREP_CLUSTER_SIZE')" 2>/dev/null
}

# await ADDRESS STATE waits up to 60 s for node_state to print STATE.
await() {
    local deadline=$((SECONDS + 60))
    until [ "$(node_state "$1")" = "$2" ]; do
        if [ $SECONDS -ge $deadline ]; then
            fail "$1 is '$(node_state "$1")', not '$2', after 60 s"
            return 1
        fi
        sleep 0.2
    done
}

# isolate ADDRESS 1 cuts the node off from the rest of the cluster (Galera
# closes its connections to the others and refuses theirs); 0 lets it join
# again.
isolate() {
    mariadb --no-defaults --socket="$cluster/$1/mysqld.sock" --user=root \
        -e "SET GLOBAL wsrep_provider_options = 'gmcast.isolate=$2'" ||
        fail "could not set gmcast.isolate=$2 on $1"
}

# set_secret ADDRESS SECRET gives row 801 of users_extension SECRET,
# committed through the node at ADDRESS.
set_secret() {
    mariadb --no-defaults --host="$1" --user=peerloom --password=peerloom-secret \
        --database=peerloom -e "UPDATE users_extension SET _secret = '$2' WHERE _exten = '801'" ||
        fail "could not edit the table through $1"
}

first=${galera_nodes[0]} second=${galera_nodes[1]} last=${galera_nodes[2]}
list="$first, $second, $last"
mariadb --no-defaults --default-character-set=utf8mb4 --host="$first" --user=peerloom \
    --password=peerloom-secret --database=peerloom <"$root/examples/schema.sql" ||
    fail "could not load examples/schema.sql through $first"

for node in "${galera_nodes[@]}"; do
    generate "$node" "$work/$node"
done
for mode in 0 1 2; do
    [ "$(cat "$work/$first/status.$mode")" = 0 ] || fail "mode $mode through $first failed"
done
grep -qx 'secret = k3y-801' "$work/$first/users_extension.conf" ||
    fail "the tables did not reach the file through $first"
stderr_is "$work/$first" ""
same_as "$work/$first" "$work/$second"
same_as "$work/$first" "$work/$last"

# Alone, the first node leaves the primary component: wsrep_ready goes OFF
# and it refuses every query, while the other two go on as a cluster of two.
isolate "$first" 1
if await "$first" "OFF 1" && await "$second" "ON 2"; then
    set_secret "$second" is0-801
    generate "$list" "$work/first-isolated"
    stderr_is "$work/first-isolated" \
        "peerloom: query $first: WSREP has not yet prepared node for application use"
    # Each host that connects says so, the first one too.
    cp -r "$work/$first" "$work/expected-isolated"
    sed -i 1p "$work/expected-isolated"/stdout.*
    sed -i 's/^secret = k3y-801$/secret = is0-801/' "$work/expected-isolated/users_extension.conf"
    same_as "$work/expected-isolated" "$work/first-isolated" -x 'stderr.*'
    set_secret "$second" k3y-801
fi
isolate "$first" 0
await "$first" "ON 3"

"$root/scripts/galera-stop" "$cluster" "$first"
generate "$list" "$work/first-stopped"
stderr_is "$work/first-stopped" \
    "peerloom: connect $first: Can't connect to server on '$first' (115)"
same_as "$work/$first" "$work/first-stopped" -x 'stderr.*'

mariadb --no-defaults --host="$last" --user=peerloom --password=peerloom-secret \
    --database=peerloom -e "UPDATE users_extension SET _secret = 'n3w-801' WHERE _exten = '801'" ||
    fail "could not edit the table through $last"
generate "$list" "$work/edited"
cp -r "$work/first-stopped" "$work/expected"
sed -i 's/^secret = k3y-801$/secret = n3w-801/' "$work/expected/users_extension.conf"
same_as "$work/expected" "$work/edited"

[ $failures -eq 0 ] || exit 1
echo "the same bytes through every node and through the list; the edit on $last arrived"
