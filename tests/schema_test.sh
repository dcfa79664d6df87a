#!/usr/bin/env bash
# Usage: schema_test.sh SERVER_DIR SCHEMA
# Loads SCHEMA (examples/schema.sql) as an administrator would, with the
# stock client and no character set option (`mariadb pbx < schema.sql`),
# into a scratch database on the scratch server in SERVER_DIR, once in each
# of the locales from which the client takes its character set, and checks
# that the sample rows' characters of three and four bytes arrived intact.
set -uo pipefail
server=$1 schema=$2
db=peerloom_schema
# The server's administrator is whoever started it; the socket names the server.
client=(mariadb --no-defaults --socket="$server/mysqld.sock")

failures=0
fail() {
    echo "FAILED: $*"
    failures=$((failures + 1))
}

# hex TEXT prints the bytes of TEXT as the server's HEX() does.
hex() {
    printf '%s' "$1" | od -An -tx1 | tr -d ' \n' | tr a-f A-F
}

# The client's character set in each: utf8mb3, which refuses four-byte
# characters, and latin1, which would store each byte as a character.
for locale in C.UTF-8 C; do
    "${client[@]}" -e "DROP DATABASE IF EXISTS $db; CREATE DATABASE $db" ||
        { fail "cannot make database $db"; continue; }
    LC_ALL=$locale "${client[@]}" "$db" <"$schema" || fail "LC_ALL=$locale: $schema did not load"
    while IFS='|' read -r table exten callerid; do
        got=$("${client[@]}" -N "$db" -e "SELECT HEX(_callerid) FROM $table WHERE _exten = '$exten'")
        [ "$got" = "$(hex "$callerid")" ] ||
            fail "LC_ALL=$locale: $table $exten has _callerid $got, not $(hex "$callerid") ($callerid)"
    done <<'ROWS'
users_extension|802|"王小明" <802>
users_webrtc|902|"Browser 902 🎧" <902>
ROWS
done
"${client[@]}" -e "DROP DATABASE IF EXISTS $db"
[ "$failures" -eq 0 ] || exit 1
echo "$schema loads with the stock client in every locale, its characters intact"
