# shellcheck shell=bash
# shellcheck disable=SC2034  # the RV_* texts are for the scripts that source this file
# Frame of the end-to-end scripts that run the helper against real PKCS#11
# modules and their daemons (tests/e2e/module_*.sh, p11kit_proxy.sh,
# signing_two_tokens.sh). e2e.sh sources it.
#
#   matrix_init "$@" --requires PACKAGE:TOOL_OR_PATH...
#
# re-executes the script in a private mount and PID namespace (as root; a
# normal user gets a user namespace as well), so that:
#   - system paths a module insists on (p11-kit's module registry,
#     opencryptoki's /var/lib and /run, pcscd's socket) can be replaced by
#     throwaway ones with sandbox_hide, without touching the machine;
#   - every daemon the script starts dies with it: the script is the
#     namespace's first process, and the kernel ends all the others when it
#     exits, even when it is killed.
# Then it checks that every required tool or file is there; a missing one
# fails the test, naming the Debian package (a module of the matrix is never
# skipped silently). Finally it runs e2e_init and arranges for the daemons
# started with daemon_start to be stopped on exit.

MATRIX_DAEMON_PIDS=()

# PKCS#11 return-value texts the matrix expects in messages.
RV_HOST_MEMORY='The computer that the Cryptoki library is running on has insufficient memory to perform the requested function.'
RV_GENERAL_ERROR='Some horrible, unrecoverable error has occurred.  In the worst case, it is possible that the function only partially succeeded, and that the computer and/or token is in an inconsistent state.'
RV_FUNCTION_FAILED='The requested function could not be performed, but detailed information about why not is not available in this error return.  If the failed function uses a session, it is possible that the CK_SESSION_INFO structure that can be obtained by calling C_GetSessionInfo will hold useful information about what happened in its ulDeviceError field.  In any event, although the function call failed, the situation is not necessarily totally hopeless, as it is likely to be when CKR_GENERAL_ERROR is returned.  Depending on what the root cause of the error actually was, it is possible that an attempt to make the exact same function call again would succeed.'
RV_ARGUMENTS_BAD='This is a rather generic error code which indicates that the arguments supplied to the Cryptoki function were in some way not appropriate.'
RV_DEVICE_ERROR='Some problem has occurred with the token and/or slot.  This error code can be returned by more than just the functions mentioned above; in particular, it is possible for C_GetSlotInfo to return CKR_DEVICE_ERROR.'
RV_MECHANISM_INVALID='An invalid mechanism was specified to the cryptographic operation.  This error code is an appropriate return value if an unknown mechanism was specified or if the mechanism specified cannot be used in the selected token with the selected function.'
RV_PIN_INCORRECT='The specified PIN is incorrect, i.e., does not match the PIN stored on the token.  More generally-- when authentication to the token involves something other than a PIN-- the attempt to authenticate the user has failed.'

matrix_init() {
  local -a positional=() requires=()
  while (($# > 0)) && [[ $1 != --requires ]]; do
    positional+=("$1")
    shift
  done
  (($# > 0)) && shift
  requires=("$@")
  sandbox_enter "${positional[@]}"
  local requirement package what missing=0
  for requirement in "${requires[@]}"; do
    package=${requirement%%:*}
    what=${requirement#*:}
    if [[ $what == /* ]]; then
      [[ -e $what ]] && continue
    elif command -v "$what" >/dev/null; then
      continue
    fi
    echo "FAIL: $what is missing: install the Debian package $package (scripts/test.sh does)" >&2
    missing=1
  done
  ((missing == 0)) || exit 1
  e2e_init "${positional[@]}"
  trap 'daemons_stop; rm -rf "$WORK"' EXIT
}

# Re-executes the running script inside a new mount and PID namespace, once.
# Root tries a plain namespace first; a normal user, or root without the
# capability (some containers), gets a user namespace in which it is root.
# With MATRIX_PRIVATE_NETWORK=1 set before matrix_init the script gets a
# network namespace of its own as well, with only the loopback interface up,
# for servers that listen on every interface; a machine that cannot make one
# skips the script (status 77). With MATRIX_UNPRIVILEGED=1 root tries the
# user namespace first, so that the script holds no privilege outside it.
# The namespace chosen is printed either way.
# The script's first run stays, waiting, to pass signals on to its re-run.
sandbox_enter() {
  if [[ -n ${MIRANDEL_E2E_SANDBOX:-} ]]; then
    echo "sandbox: ${MIRANDEL_E2E_SANDBOX}"
    if [[ -n ${MATRIX_PRIVATE_NETWORK:-} ]] && ! ip link set lo up; then
      echo "SKIP: cannot bring up the loopback interface of the private network namespace"
      exit "$E2E_SKIP"
    fi
    return 0
  fi
  local -a tries=("--user --map-root-user")
  if ((EUID == 0)); then
    tries=("" "--user --map-root-user")
    [[ -n ${MATRIX_UNPRIVILEGED:-} ]] && tries=("--user --map-root-user" "")
  fi
  local options network=
  [[ -n ${MATRIX_PRIVATE_NETWORK:-} ]] && network=--net
  if command -v unshare >/dev/null; then
    for options in "${tries[@]}"; do
      # shellcheck disable=SC2086 # the options are words
      if unshare $options $network --mount --pid --fork true 2>/dev/null; then
        # shellcheck disable=SC2086
        env MIRANDEL_E2E_SANDBOX="private ${network:+network, }mount and PID namespaces,$(
          [[ -n $options ]] && echo " unprivileged (root only inside a user namespace)" ||
            echo " as root")" \
          unshare $options $network --mount --pid --fork --kill-child \
          --mount-proc --propagation private bash "$0" "$@" &
        _sandbox_wait $!
      fi
    done
  fi
  if [[ -n $network ]]; then
    echo "SKIP: this machine cannot make a private network, mount and PID namespace" \
      "(unshare, util-linux), which this test needs to keep its servers and daemons private"
    exit "$E2E_SKIP"
  fi
  echo "FAIL: cannot make a private mount and PID namespace with unshare (util-linux);" \
    "the module tests need one to keep system paths and daemons private" >&2
  exit 1
}

# Waits for the sandboxed script run by unshare (process PID) and exits with
# its status. unshare ignores INT and TERM, and a background command starts
# with INT ignored, so INT and TERM are passed on to the script inside
# as TERM, and HUP as HUP; its exit trap then stops its daemons by their ids.
_sandbox_wait() {
  local pid=$1 status
  # shellcheck disable=SC2064 # the process id is fixed now
  trap "_sandbox_forward TERM $pid" INT TERM
  # shellcheck disable=SC2064
  trap "_sandbox_forward HUP $pid" HUP
  while true; do
    wait "$pid" && status=0 || status=$?
    ((status > 128)) && kill -0 "$pid" 2>/dev/null && continue
    exit "$status"
  done
}

# Sends SIGNAL to the children of process PID: _sandbox_forward SIGNAL PID
# shellcheck disable=SC2317 # called by a trap
_sandbox_forward() {
  local -a children=()
  read -ra children <"/proc/$2/task/$2/children" || true
  ((${#children[@]} == 0)) || kill "-$1" "${children[@]}" 2>/dev/null || true
}

# Puts an empty, private file system over each existing directory given, for
# this script and its children only: sandbox_hide DIR...
sandbox_hide() {
  local dir
  for dir in "$@"; do
    [[ -d $dir ]] || continue
    mount -t tmpfs -o mode=0755 mirandel-e2e "$dir"
  done
}

# Registers exactly the given modules with p11-kit, hiding every module the
# system registers: p11kit_register NAME:MODULE_PATH[:OPTION=VALUE,...]...
# (p11-kit ignores a user's configuration for root, so the system registry
# itself is replaced inside the sandbox.)
p11kit_register() {
  sandbox_hide /usr/share/p11-kit/modules /etc/pkcs11 /usr/local/share/p11-kit/modules
  local entry name rest path options
  for entry in "$@"; do
    name=${entry%%:*}
    rest=${entry#*:}
    path=${rest%%:*}
    options=
    [[ $rest == *:* ]] && options=${rest#*:}
    {
      printf 'module: %s\n' "$path"
      if [[ -n $options ]]; then
        tr ',' '\n' <<<"$options" | sed 's/=/: /'
      fi
    } >"/usr/share/p11-kit/modules/$name.module"
  done
}

# The signing mechanisms of the helper's names that a token offers, hashing
# and raw, as pkcs11-tool -M names them, sorted, one per line:
#   token_signing_mechanisms MODULE [PKCS11_TOOL_OPTION...]
token_signing_mechanisms() {
  local module=$1
  shift
  pkcs11-tool --module "$module" "$@" -M 2>/dev/null |
    grep -oE '^  (RSA-PKCS|RSA-PKCS-PSS|SHA(256|384|512)-RSA-PKCS(-PSS)?|ECDSA(-SHA(256|384|512))?),' |
    tr -d ' ,' | sort
}

# The logins and signing calls of a p11-kit call log (a module registered with
# log-calls=yes), one line each, in order:
#   C_Login USER_TYPE RV, C_SignInit MECHANISM RV, C_Sign data=LENGTH RV
# p11kit_signing_calls LOG_FILE
p11kit_signing_calls() {
  LC_ALL=C awk '
    /^C_(Login|SignInit|Sign)$/ { call = $1; detail = ""; next }
    call == "C_Login" && /IN: userType = / { detail = " " $NF }
    call == "C_SignInit" && /^[ \t]*mechanism: / { detail = " " $NF }
    call == "C_Sign" && /IN: pData = \(/ { n = $0; sub(/.*pData = \(/, "", n); sub(/\).*/, "", n); detail = " data=" n }
    call != "" && $1 == call && $2 == "=" { print call detail " " $3; call = "" }' "$1"
}

# Starts a daemon in the background and remembers it for daemons_stop:
#   daemon_start NAME LOG_FILE COMMAND...
# Sets DAEMON_PID.
daemon_start() {
  local name=$1 log=$2
  shift 2
  "$@" >"$log" 2>&1 </dev/null &
  DAEMON_PID=$!
  MATRIX_DAEMON_PIDS+=("$DAEMON_PID")
  echo "started $name (process $DAEMON_PID, log $log)"
}

# Stops one daemon started with daemon_start: TERM, then KILL after 5 s.
daemon_stop() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Stops every daemon started with daemon_start, the last started first.
daemons_stop() {
  local i
  for ((i = ${#MATRIX_DAEMON_PIDS[@]} - 1; i >= 0; i--)); do
    daemon_stop "${MATRIX_DAEMON_PIDS[i]}"
  done
}

# Waits until COMMAND succeeds, at most SECONDS: wait_until SECONDS COMMAND...
wait_until() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# True when something accepts connections on 127.0.0.1:PORT.
port_in_use() {
  (: <"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Prints a port on 127.0.0.1 where PORT and PORT+1 are both free.
free_port_pair() {
  local port i
  for ((i = 0; i < 100; i++)); do
    port=$((20000 + RANDOM % 40000))
    if ! port_in_use "$port" && ! port_in_use $((port + 1)); then
      echo "$port"
      return 0
    fi
  done
  return 1
}

# Prints the DER of every certificate of a PEM bundle as lower-case hex, one
# per line, in the bundle's order: pem_bundle_hexes FILE
# (The base64 is decoded in awk: a process per certificate is far too slow
# for a store of 150 certificates on a busy machine.)
pem_bundle_hexes() {
  awk 'BEGIN {
         alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
         for (i = 0; i < 64; i++) value[substr(alphabet, i + 1, 1)] = i
       }
       /^-----BEGIN CERTIFICATE-----/ { body = ""; inside = 1; next }
       /^-----END CERTIFICATE-----/ {
         if (!inside) next
         inside = 0; hex = ""; bits = 0; count = 0
         for (i = 1; i <= length(body); i++) {
           c = substr(body, i, 1)
           if (!(c in value)) continue
           bits = bits * 64 + value[c]; count += 6
           if (count >= 8) {
             count -= 8
             byte = int(bits / 2 ^ count)
             hex = hex sprintf("%02x", byte)
             bits -= byte * 2 ^ count
           }
         }
         print hex; next
       }
       inside { gsub(/[ \t\r]/, ""); body = body $0 }' "$1"
}

# The installed version of a Debian package, for the log: package_version NAME
package_version() {
  dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "(not installed)"
}

# Prints "PACKAGE VERSION" for each package, so the log tells what was proven.
log_versions() {
  local package
  for package in "$@"; do
    echo "module package: $package $(package_version "$package")"
  done
}

# Checks that the run printed exactly the given document on standard output:
#   check_document_is WHAT EXPECTED
check_document_is() {
  check_document_on_stdout "$1"
  check_equal "$1: document" "$2" "$DOCUMENT"
}

# Runs the helper under timeout, so that a module that hangs fails the check
# rather than the whole test: run_helper_within SECONDS ARGS... (status 124 on
# a timeout; otherwise as run_helper).
run_helper_within() {
  local seconds=$1 helper=$HELPER
  shift
  # run_helper runs "$HELPER"; point it at timeout for this one run.
  HELPER=timeout
  run_helper --kill-after=5 "$seconds" "$helper" "$@"
  HELPER=$helper
}

# The module's slots with a token as two independent tools see them, one line
# per slot in the module's order: "DESCRIPTION"<TAB>"LABEL", each written as
# the listing writes it when it holds no character JSON escapes, and a blank
# description or label as null. The description comes from pkcs11-tool (OpenSC), the label
# from p11tool (GnuTLS): pkcs11-tool shows no label for a token that does not
# claim to be initialised, even when it has one. independent_slots MODULE
independent_slots() {
  local module=$1
  paste <(pkcs11-tool --module "$module" --list-slots 2>/dev/null | awk '
      function flush() { if (have && !empty) print (desc == "" ? "null" : "\"" desc "\""); have = 0 }
      /^Slot [0-9]+ \(0x[0-9a-f]+\): / {
        flush(); desc = $0; sub(/^Slot [0-9]+ \(0x[0-9a-f]+\): /, "", desc); have = 1; empty = 0; next }
      /^  \(empty\)/ { empty = 1 }
      END { flush() }') \
    <(p11tool --provider "$module" --list-tokens 2>/dev/null | awk '
      /^\tLabel: / { label = $0; sub(/^\tLabel: /, "", label); sub(/ +$/, "", label)
        print (label == "" ? "null" : "\"" label "\"") }')
}

# The certificates of a listing, in hex, one per line, sorted: listing_sorted_hexes DOCUMENT
listing_sorted_hexes() {
  listing_der_hexes "$1" | sort
}

# Like check_document_is, for runs where the module itself writes its own
# diagnostics to standard error (the helper's file descriptor 2 is the
# module's too): checks the status and the exact document on standard output.
#   check_document_is_despite_stderr WHAT EXPECTED
check_document_is_despite_stderr() {
  check_equal "$1: exit status" 0 "$RUN_STATUS"
  check_equal "$1: the document, one line on standard output" "$2"$'\n'"x" \
    "$(cat "$WORK/stdout"; printf x)"
  DOCUMENT=$(cat "$WORK/stdout")
}
