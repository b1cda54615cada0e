# shellcheck shell=bash
# shellcheck disable=SC2034  # OCK_* are for the scripts that source this file
# opencryptoki with its soft token, for the end-to-end tests. Needs matrix.sh
# and a script running in its sandbox: opencryptoki keeps its state in fixed
# system paths (/var/lib/opencryptoki, /var/lock/opencryptoki, shared memory
# in /dev/shm, pkcsslotd's socket in /run), so ock_prepare replaces them with
# throwaway ones and the machine's own opencryptoki is never touched.
#
#   ock_prepare                  empty state folders, as the package's tmpfiles.d makes them
#   ock_start_slotd DIR          pkcsslotd in the foreground, its log in DIR
#   ock_init_token LABEL USER_PIN   initialise the soft token and set its PINs

OCK_MODULE=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so
# The soft token's slot in Debian's opencryptoki.conf.
OCK_SLOT=3
# The default SO PIN of a new token, and the one the tests set.
OCK_DEFAULT_SO_PIN=87654321
OCK_SO_PIN=76543210

ock_prepare() {
  sandbox_hide /run /dev/shm /var/lib/opencryptoki
  mkdir -p /run/lock || return 1
  local dir mode user group
  while read -r dir mode user group; do
    mkdir -p "$dir" && chmod "$mode" "$dir" && chown "$user:$group" "$dir" || return 1
  done < <(awk '$1 == "d" { print $2, $3, $4, $5 }' /usr/lib/tmpfiles.d/opencryptoki.conf)
}

ock_start_slotd() {
  daemon_start pkcsslotd "$1/pkcsslotd.log" pkcsslotd -f
  OCK_SLOTD_PID=$DAEMON_PID
  # The daemon is ready when a client can initialise the library.
  wait_until 20 pkcsconf -s || {
    echo "pkcsslotd did not start:" >&2
    cat "$1/pkcsslotd.log" >&2
    return 1
  }
}

ock_init_token() {
  local label=$1 pin=$2
  printf '%s\n' "$label" | pkcsconf -c "$OCK_SLOT" -I -S "$OCK_DEFAULT_SO_PIN" >/dev/null &&
    pkcsconf -c "$OCK_SLOT" -P -S "$OCK_DEFAULT_SO_PIN" -n "$OCK_SO_PIN" >/dev/null &&
    pkcsconf -c "$OCK_SLOT" -u -S "$OCK_SO_PIN" -n "$pin" >/dev/null
}
