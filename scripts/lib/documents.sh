# shellcheck shell=bash
# Reading the helper's result documents in shell.
#
# The documents are compact JSON with a fixed member order, so sed and grep
# are enough to take them apart. String values are returned as they stand in
# the document: escapes (\" \\ \uXXXX ...) are not undone.

# Prints the value of a top-level member of a flat document (the signature
# document): the string's contents without quotes, or the word null.
#   document_member DOCUMENT KEY
document_member() {
  local document=$1 key=$2 value
  value=$(printf '%s' "$document" |
    sed -nE 's/.*"'"$key"'":(null|"(([^"\\]|\\.)*)").*/\1/p' | head -n 1)
  if [[ -z $value ]]; then
    return 1
  fi
  if [[ $value == null ]]; then
    echo null
  else
    value=${value#\"}
    printf '%s\n' "${value%\"}"
  fi
}

# Prints every der_hex value of a listing document, one per line, in document order.
listing_der_hexes() {
  printf '%s' "$1" | grep -oE '"der_hex":"[0-9a-f]*"' | sed -E 's/^"der_hex":"([0-9a-f]*)"$/\1/'
}

# Like listing_slots, with each slot's certificates sorted: for comparing two
# listings of one token made by different processes, since a module may
# return a token's objects in a different order each time (SoftHSM2 does).
listing_slots_sorted() {
  local lines description label certs
  lines=$(listing_slots "$1") || return 1
  [[ -z $lines ]] && return 0
  while IFS=$'\t' read -r description label certs; do
    printf '%s\t%s\t%s\n' "$description" "$label" "$(tr ' ' '\n' <<<"$certs" | sort | paste -sd ' ')"
  done <<<"$lines"
}

# Prints one line per slot entry of a listing document:
#   DESCRIPTION<TAB>TOKEN_LABEL<TAB>HEX HEX ...
# (an empty certificate value shows as ""),
# DESCRIPTION and TOKEN_LABEL are the JSON values as written: a quoted string
# or null. Fails when the document is not a successful listing.
listing_slots() {
  local document=$1 body
  if [[ $document != '{"slots":['*'],"error":null}' ]]; then
    echo "listing_slots: not a successful listing document: $document" >&2
    return 1
  fi
  body=${document#'{"slots":['}
  body=${body%'],"error":null}'}
  [[ -z $body ]] && return 0
  local string='"(([^"\\]|\\.)*)"'
  # Entries are split where one slot's closing brace meets the next one's
  # "description" key, which cannot occur inside a certificate list.
  printf '%s' "$body" | sed -E 's/\]\},\{"description":/]}\n{"description":/g' |
    sed -E 's/^\{"description":(null|'"$string"'),"token_label":(null|'"$string"'),"certs":\[(.*)\]\}$/\1\t\4\t\7/' |
    awk -F'\t' 'BEGIN { OFS = "\t" } {
      certs = ""
      if ($3 != "") {
        list = $3
        sub(/^\{"der_hex":"/, "", list)
        sub(/"\}$/, "", list)
        n = split(list, parts, /"\},\{"der_hex":"/)
        for (i = 1; i <= n; i++) certs = certs (i > 1 ? " " : "") (parts[i] == "" ? "\"\"" : parts[i])
      }
      print $1, $2, certs
    }'
}
