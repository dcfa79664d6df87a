# shellcheck shell=bash
# Shared helpers for the scripts in this directory.  Source it, don't run it:
#   . "$(dirname "$0")/lib.sh"
# Messages are prefixed with the calling script's name so that output from
# nested scripts (test -> mariadb-start -> mariadb-stop) stays readable.

PROG=${PROG:-$(basename "$0")}

warn() {
    printf '%s: %s\n' "$PROG" "$*" >&2
}

die() {
    warn "$@"
    exit 1
}

# need_packages PKG... installs the Debian packages that are missing.
# A fresh machine may lack them, so the scripts install what they use
# instead of relying on whatever happened to be set up by hand.  Where all
# are installed it asks nothing of the network.
need_packages() {
    local missing
    missing=$(missing_packages "$@") || exit 1
    [ -z "$missing" ] && return 0
    # shellcheck disable=SC2086  # one word a package
    install_packages $missing || exit 1
}

# want_packages PKG... does the same for packages that only some tests
# need: where they cannot be installed (no network, say) it says so and
# returns, and those tests skip, saying why.
want_packages() {
    local missing
    missing=$(missing_packages "$@") || exit 1
    [ -z "$missing" ] && return 0
    # shellcheck disable=SC2086
    install_packages $missing ||
        warn "going on without $missing: the tests that need them skip"
}

# missing_packages PKG... prints those of the packages that are not installed.
missing_packages() {
    local pkg
    command -v dpkg-query >/dev/null 2>&1 ||
        die "dpkg-query not found; install these packages by hand: $*"
    for pkg in "$@"; do
        if [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" != "install ok installed" ]; then
            printf '%s\n' "$pkg"
        fi
    done
}

# install_packages PKG... installs the packages, updating the lists once per
# script; it says why and fails where it cannot.
_lib_apt_updated=
install_packages() {
    if [ "$(id -u)" -ne 0 ]; then
        warn "missing packages: $*; run as root or: sudo apt-get install $*"
        return 1
    fi
    warn "installing $*"
    if [ -z "$_lib_apt_updated" ]; then
        apt-get update -qq >&2 || { warn "apt-get update failed"; return 1; }
        _lib_apt_updated=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >&2 ||
        { warn "could not install: $*"; return 1; }
}

# private_network "$@" runs the calling script again, with the same
# arguments, in a network namespace of its own with loopback up, so that the
# scratch servers' addresses are free whatever the host runs on its own
# 127.0.0.1:3306.  Call it after need_packages: apt cannot reach the archive
# from in there.  It needs root; without root, or where namespaces are not
# permitted (some containers), it returns and the script carries on in the
# host's network, where mariadb-start checks that its port is free.
# PEERLOOM_NETNS names the namespace the script was run again in, so that
# the script enters one only once.
private_network() {
    local ns
    [ "$(id -u)" -eq 0 ] || return 0
    if ! ns=$(readlink /proc/self/ns/net 2>/dev/null); then
        warn "/proc is not mounted; the scratch servers share the host's network"
        return 0
    fi
    [ "${PEERLOOM_NETNS:-}" != "$ns" ] || return 0
    need_packages iproute2 # for ip, in there
    if ! unshare --net true 2>/dev/null; then
        warn "cannot make a network namespace here; the scratch servers share the host's network"
        return 0
    fi
    # shellcheck disable=SC2016  # expanded by the inner shell
    exec unshare --net -- "$BASH" -c '
        ip link set lo up || { echo "${2##*/}: cannot bring up loopback" >&2; exit 1; }
        PEERLOOM_NETNS=$(readlink /proc/self/ns/net) exec "$@"' \
        private_network "$BASH" "$0" "$@"
}

# in_private_network succeeds in the namespace that private_network ran the
# script again in.
in_private_network() {
    [ -n "${PEERLOOM_NETNS:-}" ] && [ "$PEERLOOM_NETNS" = "$(readlink /proc/self/ns/net 2>/dev/null)" ]
}

# port_in_use ADDRESS PORT succeeds if anything listens on TCP PORT at the
# IPv4 ADDRESS or at every address: either way a server could not bind
# ADDRESS:PORT.  /proc/net/tcp{,6} is always there on Linux, unlike ss or
# netstat; fall back to a connect attempt through bash's /dev/tcp if /proc is
# unreadable.
port_in_use() {
    local address=$1 port a b c d ip
    port=$(printf '%04X' "$2")
    if [ ! -r /proc/net/tcp ]; then
        timeout 2 bash -c "exec 3<>/dev/tcp/$address/$2" 2>/dev/null
        return
    fi
    # The kernel prints an IPv4 address as one 32-bit number in the machine's
    # byte order: 127.0.0.1 is 0100007F on a little-endian machine.
    IFS=. read -r a b c d <<<"$address"
    if [ "$(printf '\1\0' | od -An -tx2 | tr -d ' ')" = 0001 ]; then
        ip=$(printf '%02X%02X%02X%02X' "$d" "$c" "$b" "$a")
    else
        ip=$(printf '%02X%02X%02X%02X' "$a" "$b" "$c" "$d")
    fi
    listening /proc/net/tcp "$ip:$port" "00000000:$port" ||
        listening /proc/net/tcp6 "$(printf '%032d' 0):$port"
}

# listening FILE LOCAL... succeeds if FILE, a /proc/net/tcp table, has a
# listening socket at one of the LOCAL addresses.
listening() {
    local file=$1
    shift
    [ -r "$file" ] || return 1
    # Fields: sl local_address rem_address st ...; st 0A is LISTEN.
    awk -v want="$*" 'BEGIN { n = split(want, w, " "); for (i = 1; i <= n; i++) ok[w[i]] = 1 }
                      NR > 1 && $4 == "0A" && ($2 in ok) { found = 1 }
                      END { exit !found }' "$file"
}

# pid_running PID succeeds if PID is a live process, whoever owns it
# (kill -0 can't tell "gone" from "not yours").  Zombies count as gone: an
# exited server lingers as one until its parent, or init, reaps it.
pid_running() {
    local state
    case $1 in '' | *[!0-9]*) return 1 ;; esac
    [ -d /proc/self ] || { kill -0 "$1" 2>/dev/null; return; }
    # The state follows the command name, which is in parentheses and may hold spaces.
    state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null) || return 1
    state=${state%% *}
    [ -n "$state" ] && [ "$state" != Z ]
}

# sql_string TEXT prints TEXT as a quoted SQL string literal.
sql_string() {
    local s=${1//\\/\\\\}
    printf "'%s'" "${s//\'/\'\'}"
}

# sql_ident TEXT prints TEXT as a quoted SQL identifier.
sql_ident() {
    # shellcheck disable=SC2016  # the backticks are literal
    printf '`%s`' "${1//\`/\`\`}"
}

# Small, non-durable InnoDB settings for the scratch servers: the data is
# thrown away after each run, and startup and commits are quicker this way.
# shellcheck disable=SC2034  # used by the scripts that source this file
scratch_innodb_opts=(
    --innodb-buffer-pool-size=32M
    --innodb-log-file-size=16M
    --innodb-flush-log-at-trx-commit=0
    --innodb-doublewrite=0
)

# scratch_account_sql DB USER PASSWORD HOST... prints the SQL that makes
# database DB and an account USER@HOST for each HOST that may use all of it.
scratch_account_sql() {
    local db=$1 user=$2 password=$3 host account
    shift 3
    printf 'CREATE DATABASE IF NOT EXISTS %s;\n' "$(sql_ident "$db")"
    for host in "$@"; do
        account="$(sql_string "$user")@$(sql_string "$host")"
        printf 'CREATE USER IF NOT EXISTS %s IDENTIFIED BY %s;\n' "$account" "$(sql_string "$password")"
        printf 'GRANT ALL PRIVILEGES ON %s.* TO %s;\n' "$(sql_ident "$db")" "$account"
    done
}

# How the demo and the benchmark reach the scratch server that mariadb-start
# made with its default database, user and password.
# shellcheck disable=SC2034  # used by the scripts that source this file
scratch_client=(mariadb --no-defaults --default-character-set=utf8mb4 --host=127.0.0.1
    --user=peerloom --password=peerloom-secret --database=peerloom)

# write_scratch_settings DIR makes DIR anew, holding a settings file for
# that server, readable by its owner alone as peerloom expects.
write_scratch_settings() {
    rm -rf "$1"
    mkdir -p "$1"
    printf '%s\n' 'dbserverip = 127.0.0.1' 'dbuser = peerloom' \
        'dbpasswd = peerloom-secret' 'dbname = peerloom' >"$1/peerloom.ini"
    chmod 600 "$1/peerloom.ini"
}

# The scratch Galera cluster of galera-start and galera-stop: one node on
# each of these loopback addresses, its files in DIR/ADDRESS.
# shellcheck disable=SC2034  # used by the scripts that source this file
galera_nodes=(127.0.0.11 127.0.0.12 127.0.0.13)

# fetch_sst_scripts DIR puts into DIR the two scripts with which a Galera
# node copies its data to a joining node over rsync.  They ship only in the
# full mariadb-server package, whose installation starts a server on the
# host, so that package is downloaded and unpacked under DIR instead, at the
# installed server's version, or the archive's own where it no longer has
# that one.  Nothing to do when DIR holds them already.  Where they cannot
# be had (no network, say) it says so, keeps the reason in DIR/download.log
# and returns: the Galera tests then skip, naming it.
# Call it before private_network: apt cannot reach the archive from in there.
fetch_sst_scripts() {
    local dir=$1 version unpacked
    [ -r "$dir/wsrep_sst_rsync" ] && [ -r "$dir/wsrep_sst_common" ] && return 0
    need_packages mariadb-server-core
    version=$(dpkg-query -W -f='${Version}' mariadb-server-core)
    unpacked=$dir/mariadb-server
    rm -rf "$unpacked"
    mkdir -p "$unpacked"
    if ! (cd "$unpacked" && { apt-get download "mariadb-server=$version" ||
        apt-get download mariadb-server; }) >"$dir/download.log" 2>&1 ||
        ! dpkg-deb -x "$unpacked"/mariadb-server_*.deb "$unpacked" 2>>"$dir/download.log"; then
        rm -rf "$unpacked"
        warn "could not take the state-transfer scripts from mariadb-server" \
            "($dir/download.log says why); the Galera tests skip"
        return 0
    fi
    cp "$unpacked/usr/bin/wsrep_sst_rsync" "$unpacked/usr/bin/wsrep_sst_common" "$dir/"
    rm -rf "$unpacked" "$dir/download.log"
}
