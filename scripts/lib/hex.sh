# shellcheck shell=bash
# Hexadecimal text of files and back, with coreutils only (no xxd).

# Prints FILE's bytes as lower-case hex, two digits per byte, no separators.
hex_of_file() {
  od -An -v -tx1 "$1" | tr -d ' \n'
}

# Prints TEXT's bytes as lower-case hex.
hex_of_text() {
  printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'
}

# Writes the bytes of HEX (pairs of hex digits) to FILE: hex_to_file HEX FILE.
hex_to_file() {
  local hex=$1 file=$2
  if [[ ! $hex =~ ^([0-9a-fA-F]{2})*$ ]]; then
    echo "hex_to_file: not hexadecimal text" >&2
    return 1
  fi
  # printf's %b turns each \xHH into its byte, NUL bytes included.
  printf '%b' "$(printf '%s' "$hex" | sed 's/../\\x&/g')" >"$file"
}
