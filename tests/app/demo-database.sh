#!/usr/bin/env bash
# scripts/demo-database gives the dialog's login what it needs: root over TCP
# from 127.0.0.1 with "vask" when the service names "localhost" (and only
# then), "pwrq6082" for another server name, the same over the server's own
# socket, and k8demo.UserMt with its users.
# Runs on a free port of its own. Skips (77) without a MariaDB server, unless CI=true.
#   demo-database.sh <scripts/demo-database>
set -u
script=$1
client=$(command -v mariadb || command -v mysql || true)
if [ -z "$client" ] || ! { command -v mariadbd || [ -x /usr/sbin/mariadbd ]; } >/dev/null 2>&1; then
  if [ "${CI:-}" = true ]; then echo "FAIL: MariaDB missing, required in CI"; exit 1; fi
  echo "SKIP: MariaDB not installed"
  exit 77
fi
work=$(mktemp -d /tmp/vix-demodb.XXXXXX)
trap '"$script" stop "$work/db" >/dev/null 2>&1; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export VIX_DEMO_DB_PORT=$port

sql() {  # password, statement
  "$client" --no-defaults --protocol=tcp -h127.0.0.1 -P"$port" -uroot -p"$1" -N -B -e "$2" 2>&1
}
# Over the server's own socket, as the dialog set to the local socket logs in
# (an empty password: as the scripts' own sessions do).
socket_sql() {  # password, statement
  "$client" --no-defaults --protocol=socket -S "$work/db/mysqld.sock" -uroot ${1:+-p"$1"} -N -B -e "$2" 2>&1
}

"$script" start "$work/db" >/dev/null || fail "the demo database did not start"
rows=$(sql vask "SELECT SiteID, UserName, Password, AccessSetupHead, AccessSetupCnt FROM k8demo.UserMt
                 ORDER BY SiteID, UserName" | tr '\t\n' ',;')
[ "$rows" = "1,cashier,Cash5678,0,1;1,clerk,clerk000,0,0;1,manager,demo1234,1,1;7,manager,store7,1,1;" ] ||
  fail "unexpected users: $rows"
# The store number travels as text: 007 finds store 7.
[ "$(sql vask "SELECT COUNT(*) FROM k8demo.UserMt WHERE SiteID = '007' AND UserName = 'manager'")" = 1 ] ||
  fail "store 007 does not find store 7"
sql pwrq6082 "SELECT 1" | grep -q 'Access denied' || fail "pwrq6082 logs in while the service names localhost"
[ "$(socket_sql vask "SELECT CURRENT_USER()")" = root@localhost ] || fail "vask does not log in over the socket"
[ "$(socket_sql "" "SELECT 1")" = 1 ] || fail "the scripts' session over the socket needs a password"
socket_sql pwrq6082 "SELECT 1" | grep -q 'Access denied' || fail "pwrq6082 logs in over the socket for localhost"

# Started again for another server name: the other password, the same users.
"$script" stop "$work/db" >/dev/null
"$script" start "$work/db" 127.0.0.1 >/dev/null || fail "the demo database did not start for 127.0.0.1"
[ "$(sql pwrq6082 "SELECT COUNT(*) FROM k8demo.UserMt")" = 4 ] || fail "pwrq6082 does not log in for 127.0.0.1"
sql vask "SELECT 1" | grep -q 'Access denied' || fail "vask logs in while the service names 127.0.0.1"
[ "$(socket_sql pwrq6082 "SELECT CURRENT_USER()")" = root@localhost ] || fail "pwrq6082 does not log in over the socket"
socket_sql vask "SELECT 1" | grep -q 'Access denied' || fail "vask logs in over the socket for 127.0.0.1"
"$script" start "$work/db2" no-such-host.invalid >/dev/null 2>&1 && fail "a name that does not resolve to 127.0.0.1 was taken"
echo "PASS"
