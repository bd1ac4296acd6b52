# Sourced by scripts/test and scripts/demo: starts the local services on
# loopback and exports where they are. Each service leaves "<dir>/<name>.stop",
# a script that stops it.

start_test_services() {
  local dir=$1
  : "$dir"
}
