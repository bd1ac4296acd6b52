#!/usr/bin/env bash
# End to end, as an operator works: the built program in an X server (Xvfb),
# typed into with real key events (xdotool), against the local account-service
# stand-in. The account is an expired one, so the confirm press ends in the
# expiry message box; then cancel answered No keeps the dialog, answered Yes
# with a folder in the INI file's place leads to the retry prompt, and
# answered Yes once more ends the program with the default values in the INI
# file. Screenshots go to the output folder
# on every run.
#   e2e-dialog.sh <userauth executable> <aspservice-standin> <output folder>
# Skips (77) when Xvfb or xdotool are missing, unless CI=true: then it fails.
set -u
exe=$1 standin=$2 out=$3

missing=()
for tool in Xvfb xdotool xprop import python3; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "${CI:-}" = true ]; then echo "FAIL: ${missing[*]} missing, required in CI"; exit 1; fi
  echo "SKIP: ${missing[*]} not installed"
  exit 77
fi

work=$(mktemp -d /tmp/vix-e2e.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$out"
rm -f "$out"/e2e-*.png

fail() {
  echo "FAIL: $*"
  [ -n "${DISPLAY:-}" ] && import -window root "$out/e2e-failure.png" 2>/dev/null && echo "screen: $out/e2e-failure.png"
  [ -s "$work/app.log" ] && { echo "--- program output"; cat "$work/app.log"; }
  exit 1
}
# wait_for <tries of 0.1 s> <command...>: runs the command until it succeeds.
wait_for() {
  local tries=$1; shift
  for ((i = 0; i < tries; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The X server, on a display number it picks itself.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
wait_for 100 test -s "$work/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$work/display")"

# The account service: one expired account.
printf 'k8demo 7 aspservice;127.0.0.1;demo;0\n' >"$work/accounts"
"$standin" --accounts "$work/accounts" --log "$work/requests" >"$work/standin.out" &
pids+=($!)
wait_for 100 grep -q '^port ' "$work/standin.out" || fail "the stand-in did not start"
port=$(awk '/^port /{print $2; exit}' "$work/standin.out")

# The program, beside nothing else, so that anything it writes shows.
mkdir "$work/bin"
cp "$exe" "$work/bin/userauth"
USERAUTH_ASP_HOST=127.0.0.1:$port USERAUTH_ASP_FALLBACK_HOST=127.0.0.1:$port QT_QPA_PLATFORM=xcb \
  "$work/bin/userauth" E2EPOS >"$work/app.log" 2>&1 &
app=$!
pids+=("$app")

find_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -1; }
window_up() { [ -n "$(find_window "$1")" ]; }
window_gone() { [ -z "$(find_window "$1")" ]; }
wait_for 150 window_up '^사용자 인증$' || fail "the dialog did not appear"
dialog=$(find_window '^사용자 인증$')
xdotool windowfocus --sync "$dialog" || fail "cannot focus the dialog"
sleep 0.3

# The operator: account id, Enter, store number (replacing the initial 1),
# Enter, user name, Enter, password, Enter to reach the confirm button.
xdotool type --delay 40 'Demo'
xdotool key Return ctrl+a
xdotool type --delay 40 '007'
xdotool key Return
xdotool type --delay 40 'operator'
xdotool key Return
xdotool type --delay 40 'secret'
xdotool key Return
sleep 0.5
import -window root "$out/e2e-dialog.png" || fail "no screenshot"
echo "dialog: $out/e2e-dialog.png"

# Enter on the confirm button presses it.
xdotool key Return
wait_for 200 window_up '^확 인$' || fail "no message box after the confirm press"
box=$(find_window '^확 인$')
sleep 0.5
import -window root "$out/e2e-message.png" || fail "no screenshot"
echo "message box: $out/e2e-message.png"

grep -q 'appname=kiv8&aspname=k8demo&siteid=7$' "$work/requests" ||
  fail "the service was not asked for k8demo, store 7: $(cat "$work/requests" 2>/dev/null)"
role=$(xprop -id "$box" WM_WINDOW_ROLE | sed -n 's/^WM_WINDOW_ROLE(STRING) = "\(.*\)"$/\1/p')
expected="vix-message:10:$(python3 -c 'import urllib.parse,sys; print(urllib.parse.quote(sys.argv[1], safe=""))' \
  '계정이 만료되었습니다. 뮤라온으로 연락주세요.')"
[ "$role" = "$expected" ] || fail "unexpected message box: $role"
echo "the expiry message is up (flags 0x10)"

# Dismiss it; the dialog stays open for correction.
xdotool key Return
wait_for 50 window_gone '^확 인$' || fail "the message box did not close"
kill -0 "$app" 2>/dev/null || fail "the program ended"
[ -z "$(ls "$work/bin" | grep -v '^userauth$')" ] || fail "the program wrote $(ls "$work/bin")"
echo "the dialog stays open and nothing is written"

cancel_question="vix-message:14:$(python3 -c 'import urllib.parse,sys; print(urllib.parse.quote(sys.argv[1], safe=""))' \
  $'사용자 인증을 하지 않으면 프로그램을 사용할 수 없습니다.\n사용자 인증을 종료 하시겠습니까?')"
# press_cancel [keys]: the keys that move the focus to cancel, then Enter presses it;
# the question comes up.
press_cancel() {
  [ $# -gt 0 ] && xdotool key "$@"
  sleep 0.3
  xdotool key Return
  wait_for 100 window_up '^확 인$' || fail "no question after the cancel press"
  local role
  role=$(xprop -id "$(find_window '^확 인$')" WM_WINDOW_ROLE | sed -n 's/^WM_WINDOW_ROLE(STRING) = "\(.*\)"$/\1/p')
  [ "$role" = "$cancel_question" ] || fail "unexpected question: $role"
}

# Cancel (Down from the confirm button), answered No (Tab from Yes to No): the
# dialog stays, nothing is written.
press_cancel Down
xdotool key Tab Return
wait_for 50 window_gone '^확 인$' || fail "the question did not close"
sleep 0.3
kill -0 "$app" 2>/dev/null || fail "the program ended after No"
[ -z "$(ls "$work/bin" | grep -v '^userauth$')" ] || fail "the program wrote $(ls "$work/bin") after No"
echo "cancel answered No: the dialog stays"

# A folder in the place of the INI file: cancel answered Yes cannot write it,
# so the close is abandoned and the retry prompt names the file. Retry leaves
# the dialog open and nothing half-written beside the program.
mkdir "$work/bin/E2EPOS.ini"
press_cancel
xdotool key Return
wait_for 100 sh -c "xprop -id \$(xdotool search --onlyvisible --name '^확 인\$' | head -1) WM_WINDOW_ROLE 2>/dev/null | grep -q 'vix-message:15:'" ||
  fail "no retry prompt after a failed write"
role=$(xprop -id "$(find_window '^확 인$')" WM_WINDOW_ROLE | sed -n 's/^WM_WINDOW_ROLE(STRING) = "vix-message:15:\(.*\)"$/\1/p')
text=$(python3 -c 'import urllib.parse,sys; print(urllib.parse.unquote(sys.argv[1]))' "$role")
case "$text" in
  "Unable to write to $work/bin/E2EPOS.ini"$'\n'*) ;;
  *) fail "unexpected retry prompt: $text" ;;
esac
import -window root "$out/e2e-retry.png" || fail "no screenshot"
xdotool key Return
wait_for 50 window_gone '^확 인$' || fail "the retry prompt did not close"
sleep 0.3
kill -0 "$app" 2>/dev/null || fail "the program ended after Retry"
[ "$(ls "$work/bin" | sort | tr '\n' ' ')" = "E2EPOS.ini userauth " ] || fail "left beside the program: $(ls "$work/bin")"
rmdir "$work/bin/E2EPOS.ini"
echo "a failed write: the retry prompt names the file; Retry keeps the dialog"

# Cancel again (it kept the focus), answered Yes: the dialog closes, the
# default values are written.
press_cancel
xdotool key Return
wait_for 100 sh -c "! kill -0 $app 2>/dev/null" || fail "the program did not end after Yes"
wait "$app"
rc=$?
[ $rc -eq 0 ] || fail "the program ended with $rc"
ini=$work/bin/E2EPOS.ini
[ -f "$ini" ] || fail "no E2EPOS.ini after cancel answered Yes"
printf '%s' "$(cat "$ini")" | tr -d '\r' | awk -F= '
  NR == 1 { ok = $0 == "[Server Info]" }
  NR == 2 { ok = ok && $1 == "Server" && $2 != "" }
  NR == 3 { ok = ok && $0 == "AspID=kiv8" }
  NR == 4 { ok = ok && $1 == "Password" && $2 ~ /^[0-9][0-9][0-9][0-9]$/ }
  NR == 5 { ok = ok && $0 == "SiteID=1" }
  END { exit !(ok && NR == 5) }' || fail "unexpected E2EPOS.ini: $(cat -A "$ini")"
echo "cancel answered Yes: the program ended and wrote the default values"
echo "PASS"
