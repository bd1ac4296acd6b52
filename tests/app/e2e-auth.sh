#!/usr/bin/env bash
# End to end, the whole authentication: the built program in an X server
# (Xvfb), typed into with real key events (xdotool), against the account-service
# stand-in and the demo account database (a private MariaDB on 127.0.0.1:3307,
# the port the dialog connects to). One table of cases, each a fresh run of the
# program in a folder of its own:
#   success (the INI file and the success message), success through TLS set
#   by the environment (an account that takes TLS logins only), unknown user, wrong
#   password, install permission by argument, two matching rows, a user name
#   crafted for injection under NO_BACKSLASH_ESCAPES, a missing account
#   database (retry prompt), the master password while the server is down, the
#   server down at the press (reconnect prompt, Yes while down, Yes once it is
#   back, then the press succeeds), Cancel in the reconnect prompt.
#   e2e-auth.sh <userauth executable> <aspservice-standin> <demo-database> <output folder>
# Skips (77) when Xvfb, xdotool or MariaDB are missing, unless CI=true: then it fails.
set -u
exe=$1 standin=$2 demodb=$3 out=$4

missing=()
for tool in Xvfb xdotool xprop import python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
client=$(command -v mariadb || command -v mysql || true)
[ -n "$client" ] || missing+=(mariadb)
{ command -v mariadbd || [ -x /usr/sbin/mariadbd ]; } >/dev/null 2>&1 || missing+=(mariadbd)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${CI:-}" = true ]; then echo "FAIL: ${missing[*]} missing, required in CI"; exit 1; fi
  echo "SKIP: ${missing[*]} not installed"
  exit 77
fi

work=$(mktemp -d /tmp/vix-e2e-auth.XXXXXX)
pids=()
app=
cleanup() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  "$demodb" stop "$work/db" >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out"
rm -f "$out"/e2e-auth-*.png

failures=0
current=
fail() {
  echo "FAIL: $current: $*"
  import -window root "$out/e2e-auth-failure.png" 2>/dev/null && echo "screen: $out/e2e-auth-failure.png"
  [ -s "$work/app.log" ] && { echo "--- program output"; cat "$work/app.log"; }
  failures=$((failures + 1))
  return 1
}
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The account database on the dialog's port, with two more rows: a user whose
# name holds a backslash, and one name twice in store 1 (the first row counts).
export VIX_DEMO_DB_PORT=3307
"$demodb" start "$work/db" localhost >"$work/db.log" 2>&1 || { echo "FAIL: the demo database did not start"; cat "$work/db.log"; exit 1; }
sql() { "$client" --no-defaults --protocol=socket -S "$work/db/mysqld.sock" -uroot -N -B -e "$1"; }
sql "INSERT INTO k8demo.UserMt VALUES (1, 'back\\\\slash', 'bs1', 1, 1), (1, 'twin', 'first', 1, 1), (1, 'twin', 'second', 1, 1)" ||
  { echo "FAIL: cannot add the extra users"; exit 1; }
db_stop() { "$demodb" stop "$work/db" >/dev/null 2>&1; }
db_start() { "$demodb" start "$work/db" localhost >"$work/db.log" 2>&1 || { cat "$work/db.log"; return 1; }; }

# The X server, on a display number it picks itself; another X server
# starting at the same moment can take the number, so a few tries.
x_up() { xdotool getdisplaygeometry >/dev/null 2>&1; }
for try in 1 2 3; do
  rm -f "$work/display"
  Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
  xvfb=$!
  pids+=("$xvfb")
  wait_for 100 test -s "$work/display" || continue
  export DISPLAY=":$(head -1 "$work/display")"
  kill -0 "$xvfb" 2>/dev/null && wait_for 50 x_up && break
  kill "$xvfb" 2>/dev/null
  unset DISPLAY
done
[ -n "${DISPLAY:-}" ] || { echo "FAIL: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }

# The service: demo lives on localhost; nodb names a database the server lacks.
printf 'k8demo * aspservice;localhost;demo;1\nk8nodb * aspservice;localhost;nodb;1\n' >"$work/accounts"
"$standin" --accounts "$work/accounts" --log "$work/requests" >"$work/standin.out" &
pids+=($!)
wait_for 100 grep -qs '^port ' "$work/standin.out" || { echo "FAIL: the stand-in did not start"; exit 1; }
port=$(awk '/^port /{print $2; exit}' "$work/standin.out")

find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
window_up() { [ -n "$(find_window "$1")" ]; }
window_gone() { [ -z "$(find_window "$1")" ]; }
app_gone() { ! kill -0 "$app" 2>/dev/null; }
encode() { python3 -c 'import urllib.parse,sys; print(urllib.parse.quote(sys.argv[1], safe=""))' "$1"; }
decode() { python3 -c 'import urllib.parse,sys; print(urllib.parse.unquote(sys.argv[1]))' "$1"; }
box_role() { xprop -id "$(find_window '^확 인$')" WM_WINDOW_ROLE 2>/dev/null | sed -n 's/^WM_WINDOW_ROLE(STRING) = "\(.*\)"$/\1/p'; }

# start <argument>: the program in a folder of its own, its dialog focused,
# its account connection given the options of db_options (none by default).
db_options=
start() {
  bin=$work/run-$RANDOM$RANDOM
  mkdir "$bin"
  cp "$exe" "$bin/userauth"
  USERAUTH_ASP_HOST=127.0.0.1:$port USERAUTH_ASP_FALLBACK_HOST=127.0.0.1:$port QT_QPA_PLATFORM=xcb \
    USERAUTH_DB_OPTIONS=$db_options "$bin/userauth" "$1" >"$work/app.log" 2>&1 &
  app=$!
  wait_for 300 window_up '^사용자 인증$' || { fail "the dialog did not appear"; return 1; }
  xdotool windowfocus --sync "$(find_window '^사용자 인증$')" || { fail "cannot focus the dialog"; return 1; }
  sleep 0.3
}
# enter <account> <store> <user> <password>: types the four inputs, Enter
# between them, then Enter on the confirm button.
enter() {
  xdotool type --delay 20 "$1"
  xdotool key Return ctrl+a
  xdotool type --delay 20 "$2"
  xdotool key Return
  [ -n "$3" ] && xdotool type --delay 20 "$3"
  xdotool key Return
  xdotool type --delay 20 "$4"
  xdotool key Return
  sleep 0.2
  xdotool key Return
}
# expect_box <flags> <text>: a message box with these flags and exactly this text.
expect_box() {
  wait_for 150 sh -c "xprop -id \$(xdotool search --onlyvisible --name '^확 인\$' | head -1) WM_WINDOW_ROLE 2>/dev/null | grep -q 'vix-message:'" ||
    { fail "no message box (expected: $2)"; return 1; }
  sleep 0.2
  local want got
  want="vix-message:$1:$(encode "$2")"
  got=$(box_role)
  [ "$got" = "$want" ] || { fail "expected [$1] $2, got [${got#vix-message:}] $(decode "${got#vix-message:*:}")"; return 1; }
}
# answer <keys...>: answers the box; it closes.
answer() {
  xdotool key "$@"
  wait_for 50 window_gone '^확 인$' || { fail "the message box did not close"; return 1; }
  sleep 0.2
}
stop_app() {
  [ -n "$app" ] && kill "$app" 2>/dev/null
  wait "$app" 2>/dev/null
  app=
}
# expect_ini <server> <aspid> <siteid>
expect_ini() {
  local ini
  ini=$(ls "$bin"/*.ini 2>/dev/null | head -1)
  [ -n "$ini" ] || { fail "no INI file"; return 1; }
  printf '%s' "$(cat "$ini")" | tr -d '\r' | awk -F= -v s="$1" -v a="$2" -v i="$3" '
    NR == 1 { ok = $0 == "[Server Info]" }
    NR == 2 { ok = ok && $0 == "Server=" s }
    NR == 3 { ok = ok && $0 == "AspID=" a }
    NR == 4 { ok = ok && $1 == "Password" && $2 ~ /^[0-9][0-9][0-9][0-9]$/ }
    NR == 5 { ok = ok && $0 == "SiteID=" i }
    END { exit !(ok && NR == 5) }' || { fail "unexpected INI file: $(cat -A "$ini")"; return 1; }
}
no_ini() { [ -z "$(ls "$bin" | grep -v '^userauth$')" ] || { fail "written: $(ls "$bin")"; return 1; }; }

done_msg="사용자 인증이 완료 되었습니다."
unknown="등록되지 않은 사용자입니다."
mismatch="비밀번호가 일치하지 않습니다."
denied="프로그램 설치 권한이 없습니다."
reconnect=$'해당계정서버에 연결되지 않았습니다.\n서버연결을 다시 시도할까요? 취소시 프로그램이 강제종료됩니다.'
retry=$'\n작업요청을 다시 시도할까요? 아닐경우 프로그램이 강제종료됩니다.'

# success <argument> <account> <store> <user> <password> <siteid in the file>
success() {
  start "$1" && enter "$2" "$3" "$4" "$5" && expect_box 40 "$done_msg" || return
  [ -n "${6:-}" ] && { import -window root "$out/e2e-auth-success.png"; echo "success message: $out/e2e-auth-success.png"; }
  answer Return && wait_for 100 app_gone || { fail "the program did not end"; return; }
  wait "$app"; app=
  expect_ini localhost k8demo "${6:-$3}"
}
# refused <argument> <account> <store> <user> <password> <message>: the
# message, the dialog stays, nothing is written.
refused() {
  start "$1" && enter "$2" "$3" "$4" "$5" && expect_box 40 "$6" && answer Return || return
  app_gone && { fail "the program ended"; return; }
  no_ini
  stop_app
}

case_() { current=$1; echo "--- $1"; }

case_ "success: store 007, the file and the message"
success DemoPOS demo 007 manager store7 007 && echo ok
case_ "success through TLS: USERAUTH_DB_OPTIONS, the server's certificate and name checked"
# The account takes only TLS logins meanwhile.
sql "ALTER USER 'root'@'127.0.0.1' REQUIRE SSL"
db_options=$'MySQL.Protocol=mpSSL\nMySQL.SSLVerify=Identity\nMySQL.SSLCACert='"$work/db/tls/ca.pem"
success DemoPOS demo 1 manager demo1234 && echo ok
db_options=
sql "ALTER USER 'root'@'127.0.0.1' REQUIRE NONE"
case_ "unknown user"
refused DemoPOS demo 1 nobody secret "$unknown" && echo ok
case_ "wrong password (letter case counts)"
refused DemoPOS demo 1 cashier cash5678 "$mismatch" && echo ok
case_ "POS in the argument, no point-of-sale permission"
refused DemoPOS demo 1 clerk clerk000 "$denied" && echo ok
case_ "Head in the argument, no head-office permission"
refused HeadOffice demo 1 cashier Cash5678 "$denied" && echo ok
case_ "an argument with neither word needs no permission"
success PosAgent demo 1 clerk clerk000 && echo ok
case_ "two rows match: the first counts"
refused Setup demo 1 twin second "$mismatch" && success Setup demo 1 twin first && echo ok

case_ "injection under NO_BACKSLASH_ESCAPES is refused; a backslash is a plain character"
sql "SET GLOBAL sql_mode = CONCAT(@@GLOBAL.sql_mode, ',NO_BACKSLASH_ESCAPES')"
refused Setup demo 1 'x\ OR 1=1 -- ' secret "$unknown" &&
  refused Setup demo 1 'manager\ OR SiteID=1 OR UserName=\' demo1234 "$unknown" &&
  success Setup demo 1 'back\slash' bs1 && echo ok
sql "SET GLOBAL sql_mode = REPLACE(@@GLOBAL.sql_mode, 'NO_BACKSLASH_ESCAPES', '')"

case_ "the account database is missing: the server's message with the retry question"
if start Setup && enter nodb 1 manager demo1234; then
  # The server's text comes after a line break, its SQL state in front.
  expect_box 15 $'\n#42000Unknown database \'k8nodb\''"$retry" && answer Return && { app_gone && fail "the program ended after Retry"; no_ini; } && echo ok
fi
stop_app

case_ "master password, empty user name: no database access (server stopped)"
db_stop
success Setup demo 7 '' kvmt2719 && echo ok

case_ "server down at the press: reconnect prompt; Yes while down asks again; Yes once it is back; the press then succeeds"
if start Setup && enter demo 1 manager demo1234 && expect_box 13 "$reconnect"; then
  import -window root "$out/e2e-auth-reconnect.png"
  xdotool key Return  # Yes while the server is still down
  sleep 0.5
  expect_box 13 "$reconnect" && db_start && answer Return && {
    app_gone && fail "the program ended"
    # The dialog waits for the next press. The operator comes back to its
    # window; Enter on the confirm button moved the focus on to cancel once
    # the press was done, so Up goes back.
    xdotool windowfocus --sync "$(find_window '^사용자 인증$')"
    sleep 0.3
    xdotool key Up
    sleep 0.3
    xdotool key Return
    expect_box 40 "$done_msg" && answer Return && wait_for 100 app_gone && { wait "$app"; app=; expect_ini localhost k8demo 1; } && echo ok
  }
fi
stop_app

case_ "Cancel in the reconnect prompt ends the program and writes nothing"
db_stop
if start Setup && enter demo 1 manager demo1234 && expect_box 13 "$reconnect"; then
  xdotool key Escape
  wait_for 100 app_gone || fail "the program did not end"
  no_ini && echo ok
fi
stop_app

echo
[ $failures -eq 0 ] && { echo "PASS"; exit 0; }
echo "$failures case(s) failed"
exit 1
