#!/usr/bin/env bash
# Runs a command while a qelsms-sandbox serves on a free loopback port.
#
#   scripts/with-sandbox.sh SANDBOX [SANDBOX-OPTIONS...] -- COMMAND [ARGS...]
#   qelsms-with-sandbox [SANDBOX] [SANDBOX-OPTIONS...] -- COMMAND [ARGS...]
#
# Installed (as qelsms-with-sandbox, by the qelsms-tools package), SANDBOX may
# be left out: the qelsms-sandbox beside the launcher runs, else the one on
# PATH.
#
# The command sees, in its environment:
#   QELSMS_SANDBOX_URL   the base URL the sandbox serves, e.g. https://127.0.0.1:40123/api/
#   QELSMS_SANDBOX_PORT  its port
#   QELSMS_SANDBOX_CA    a PEM file with the CA that signed the sandbox's certificate
#   QELSMS_SANDBOX_ROOT  the URL of the inspection endpoints, e.g. https://127.0.0.1:40123/sandbox/
# The sandbox is stopped when the command ends; the exit status is the
# command's. Sourced instead, the file only defines sandbox_start and
# sandbox_stop.

# sandbox_start SANDBOX [SANDBOX-OPTIONS...]: starts the sandbox in the
# background, waits for its base URL and exports the variables above.
sandbox_start() {
  local binary=$1
  shift
  SANDBOX_DIR=$(mktemp -d "${TMPDIR:-/tmp}/qelsms-sandbox.XXXXXX")
  "$binary" --port 0 --write-ca "$SANDBOX_DIR/ca.pem" "$@" >"$SANDBOX_DIR/stdout" 2>"$SANDBOX_DIR/stderr" &
  SANDBOX_PID=$!
  local url="" tries=0
  while [[ -z $url ]]; do
    if ! kill -0 "$SANDBOX_PID" 2>/dev/null; then
      echo "with-sandbox: the sandbox exited before serving:" >&2
      cat "$SANDBOX_DIR/stderr" >&2
      return 1
    fi
    if ((tries++ > 200)); then
      echo "with-sandbox: no base URL from the sandbox within 10 s" >&2
      return 1
    fi
    sleep 0.05
    IFS= read -r url <"$SANDBOX_DIR/stdout" || true
  done
  if [[ ! $url =~ ^(https?://.*:([0-9]+))/api/$ ]]; then
    echo "with-sandbox: unexpected first line from the sandbox: $url" >&2
    return 1
  fi
  export QELSMS_SANDBOX_URL=$url
  export QELSMS_SANDBOX_PORT=${BASH_REMATCH[2]}
  export QELSMS_SANDBOX_ROOT=${BASH_REMATCH[1]}/sandbox/
  export QELSMS_SANDBOX_CA=$SANDBOX_DIR/ca.pem
}

# sandbox_stop: stops the sandbox started by sandbox_start and removes its
# files.
sandbox_stop() {
  if [[ -n ${SANDBOX_PID:-} ]]; then
    kill -TERM "$SANDBOX_PID" 2>/dev/null || true
    wait "$SANDBOX_PID" 2>/dev/null || true
    SANDBOX_PID=
  fi
  if [[ -n ${SANDBOX_DIR:-} ]]; then
    rm -rf "$SANDBOX_DIR"
    SANDBOX_DIR=
  fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  if [[ $# -lt 2 ]]; then
    echo "usage: $0 [SANDBOX] [SANDBOX-OPTIONS...] -- COMMAND [ARGS...]" >&2
    exit 2
  fi
  if [[ $1 == -* ]]; then
    sandbox=$(dirname "$(realpath "${BASH_SOURCE[0]}")")/qelsms-sandbox
    if [[ ! -x $sandbox ]] && ! sandbox=$(command -v qelsms-sandbox); then
      echo "with-sandbox: no qelsms-sandbox beside $0 nor on PATH; name it first" >&2
      exit 2
    fi
  else
    sandbox=$1
    shift
  fi
  options=()
  while [[ $# -gt 0 && $1 != "--" ]]; do
    options+=("$1")
    shift
  done
  if [[ $# -lt 2 ]]; then
    echo "with-sandbox: no command after --" >&2
    exit 2
  fi
  shift
  trap sandbox_stop EXIT
  sandbox_start "$sandbox" "${options[@]}"
  status=0
  "$@" || status=$?
  exit "$status"
fi
