# Sourced by scripts/test and scripts/demo: starts the local services on
# loopback and exports where they are. Each service leaves "<dir>/<name>.stop",
# a script that stops it.

# The private MariaDB server of the tests: port VIX_MYSQL_PORT (default 33306),
# data and unix socket in <dir>/mariadb. Exports VIX_MYSQL_HOST, VIX_MYSQL_PORT,
# VIX_MYSQL_SOCKET, VIX_MYSQL_DATABASE and the test accounts VIX_MYSQL_USER /
# _PASSWORD, VIX_MYSQL_EMPTY_USER, VIX_MYSQL_KOREAN_USER / _PASSWORD and
# VIX_MYSQL_OLD_USER / _PASSWORD; with TLS on, VIX_MYSQL_SSL_CA / _OTHER_CA / _CERT / _KEY and
# the account VIX_MYSQL_X509_USER / _PASSWORD that needs a client certificate.
start_mariadb_test_server() {
  local dir=$1
  local here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  mkdir -p "$dir"
  printf '#!/usr/bin/env bash\n%q stop %q\n' "$here/mariadb-test-server" "$dir/mariadb" >"$dir/mariadb.stop"
  "$here/mariadb-test-server" start "$dir/mariadb"
  # shellcheck source=/dev/null
  source "$dir/mariadb/env"
}

start_test_services() {
  local dir=$1
  start_mariadb_test_server "$dir"
}
