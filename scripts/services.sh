# Sourced by scripts/test and scripts/demo: starts the local services on
# loopback and exports where they are. Each service leaves "<dir>/<name>.stop",
# a script that stops it.

# Starts a test MariaDB server with its data in DIR (scripts/mariadb-test-server,
# in the environment changed by the env(1) arguments that follow DIR). The free
# port it picks may be taken by another test run before it binds: a failed
# start is tried again from scratch, three times in all.
start_test_server_retrying() {
  local dir=$1 here try
  shift
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  for try in 1 2 3; do
    env "$@" "$here/mariadb-test-server" start "$dir" && return 0
    "$here/mariadb-test-server" stop "$dir"
    rm -rf "$dir"
  done
  return 1
}

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
  start_test_server_retrying "$dir/mariadb" || return 1
  # shellcheck source=/dev/null
  source "$dir/mariadb/env"
}

# The HTTP tunnel server (tools/tunnel-server, from the build folder
# VIX_BUILD_DIR, default build/) in front of the test MariaDB, with Basic
# authentication and the test faults on. Exports VIX_TUNNEL_URL, VIX_TUNNEL_PORT,
# VIX_TUNNEL_USER / _PASSWORD and VIX_TUNNEL_LOG (its one line per tunnel).
# Without a built server the tunnel tests skip (and fail in CI).
start_tunnel_test_server() {
  local dir=$1 here bin port i
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  bin=${VIX_TUNNEL_SERVER:-${VIX_BUILD_DIR:-$here/../build}/tools/tunnel-server/vix-tunnel-server}
  if [ ! -x "$bin" ] || [ -z "${VIX_MYSQL_HOST:-}" ]; then
    echo "services: no tunnel server (binary $bin, database ${VIX_MYSQL_HOST:-not running})" >&2
    return 0
  fi
  mkdir -p "$dir/tunnel"
  (umask 077 && printf 'vixtunnel:tunnel-pass\n' >"$dir/tunnel/users")
  "$bin" --listen 127.0.0.1:0 --port-file "$dir/tunnel/port" --allow "$VIX_MYSQL_HOST:$VIX_MYSQL_PORT" \
    --auth-file "$dir/tunnel/users" --notify 6 --test-faults 2>"$dir/tunnel/log" &
  printf '#!/usr/bin/env bash\nkill %d 2>/dev/null\n' "$!" >"$dir/tunnel.stop"
  for i in $(seq 50); do
    [ -s "$dir/tunnel/port" ] && break
    sleep 0.1
  done
  if [ ! -s "$dir/tunnel/port" ]; then
    echo "services: the tunnel server did not start:" >&2
    cat "$dir/tunnel/log" >&2
    return 0
  fi
  port=$(cat "$dir/tunnel/port")
  export VIX_TUNNEL_PORT=$port
  export VIX_TUNNEL_URL=http://127.0.0.1:$port/tunnel/
  export VIX_TUNNEL_USER=vixtunnel
  export VIX_TUNNEL_PASSWORD=tunnel-pass
  export VIX_TUNNEL_LOG=$dir/tunnel/log
}

# A second private MariaDB that offers no TLS, with its general log on (every
# login and statement it receives): exports VIX_MYSQL_PLAIN_PORT and
# VIX_MYSQL_PLAIN_GENERAL_LOG. The same accounts as the first server.
start_plain_mariadb_test_server() {
  local dir=$1 here
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  printf '#!/usr/bin/env bash\n%q stop %q\n' "$here/mariadb-test-server" "$dir/mariadb-plain" >"$dir/mariadb-plain.stop"
  start_test_server_retrying "$dir/mariadb-plain" -u VIX_MYSQL_PORT VIX_MYSQL_TLS=off VIX_MYSQL_GENERAL_LOG=on ||
    return 0
  VIX_MYSQL_PLAIN_PORT=$(source "$dir/mariadb-plain/env" && echo "$VIX_MYSQL_PORT")
  VIX_MYSQL_PLAIN_GENERAL_LOG=$(source "$dir/mariadb-plain/env" && echo "$VIX_MYSQL_GENERAL_LOG_FILE")
  export VIX_MYSQL_PLAIN_PORT VIX_MYSQL_PLAIN_GENERAL_LOG
}

start_test_services() {
  local dir=$1
  start_mariadb_test_server "$dir"
  start_plain_mariadb_test_server "$dir"
  start_tunnel_test_server "$dir"
}
