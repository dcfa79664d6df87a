#!/usr/bin/env bash
# Usage: tls_server_test.sh ADDRESS DIR
# Checks the TLS-only scratch server that mariadb-start made in DIR at
# ADDRESS: a TCP client that verifies the server's certificate against the
# scratch CA gets in; one that verifies it against the unrelated CA, or does
# not use TLS, is turned away; on the socket no TLS is needed.
set -uo pipefail
address=$1 dir=$2

failed=0
while IFS='|' read -r want what opts; do
    # shellcheck disable=SC2086  # opts holds several options
    if out=$(mariadb --no-defaults --user=peerloom --password=peerloom-secret \
        --database=peerloom $opts -e 'SELECT 1' 2>&1); then
        got=accepted
    else
        got=refused
    fi
    if [ "$got" != "$want" ]; then
        echo "FAILED: $what: $got, not $want: $out"
        failed=1
    fi
done <<ROWS
accepted|verified against the scratch CA|--host=$address --ssl-verify-server-cert --ssl-ca=$dir/tls/ca.pem
refused|verified against the unrelated CA|--host=$address --ssl-verify-server-cert --ssl-ca=$dir/tls/other-ca.pem
refused|without TLS|--host=$address --skip-ssl
accepted|on the socket without TLS|--socket=$dir/mysqld.sock --skip-ssl
ROWS
exit "$failed"
