#!/usr/bin/env bash
# The program started without an argument ends by itself, successfully, and
# leaves nothing beside its executable.
set -u
exe=$1
dir=$(mktemp -d /tmp/vix-noarg.XXXXXX)
trap 'rm -rf "$dir"' EXIT
cp "$exe" "$dir/userauth"
cd "$dir" || exit 1
QT_QPA_PLATFORM=offscreen timeout 30 ./userauth
rc=$?
if [ $rc -ne 0 ]; then echo "userauth without an argument ended with $rc"; exit 1; fi
left=$(ls -A "$dir" | grep -v '^userauth$' || true)
if [ -n "$left" ]; then echo "userauth without an argument wrote: $left"; exit 1; fi
echo "ended with 0 and wrote nothing"
