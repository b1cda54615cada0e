# shellcheck shell=bash
# Validation of the helper's documents against the JSON Schemas in docs/schemas/,
# with Debian's python3-jsonschema (tests/schemas/validate.py).
#
#   validate_documents KIND FILE...
# checks files now (KIND: listing, signature, request, or document for either
# result document) and prints one line per file that does not validate.
#
# The end-to-end frame (e2e.sh) keeps every document a run of the helper
# produces (schema_keep_documents, from run_helper) and checks them all with
# one validator run at the end (schema_check_kept_documents, from e2e_finish),
# so every end-to-end test also proves its documents against the schemas.

SCHEMA_PYTHON=${SCHEMA_PYTHON:-/usr/bin/python3}
_SCHEMA_VALIDATOR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../tests/schemas" && pwd)/validate.py

validate_documents() {
  "$SCHEMA_PYTHON" "$_SCHEMA_VALIDATOR" "$@"
}

# Keeps the documents of the run just made, given the helper's arguments: its
# standard output when it holds anything, and the output file (argument 2) when
# it is a regular file. Only runs that ended with status 0 delivered a document.
schema_keep_documents() {
  ((RUN_STATUS == 0)) || return 0
  local dir=$WORK/schema-documents count
  mkdir -p "$dir"
  count=$(find "$dir" -name '*.json' | wc -l)
  if [[ -s $WORK/stdout ]]; then
    cp "$WORK/stdout" "$dir/$count.json"
    printf 'standard output of a run with arguments: %s\n' "$*" >"$dir/$count.run"
    count=$((count + 1))
  fi
  local output=${2:-}
  if [[ -n ${output//[[:space:]]/} && -f $output ]]; then
    cp "$output" "$dir/$count.json"
    printf 'output file of a run with arguments: %s\n' "$*" >"$dir/$count.run"
  fi
}

# Validates every kept document; one failed check per document that does not
# validate, one passed check otherwise.
schema_check_kept_documents() {
  local dir=$WORK/schema-documents
  [[ -d $dir ]] || return 0
  local -a files
  mapfile -t files < <(find "$dir" -name '*.json' | sort -V)
  ((${#files[@]} > 0)) || return 0
  local report status
  # (The e2e scripts run under set -e.)
  report=$(validate_documents document "${files[@]}" 2>&1) && status=0 || status=$?
  if ((status == 0)); then
    pass
    return 0
  fi
  if ((status != 1)); then
    fail "the documents could not be checked against the schemas" "$report"
    return 0
  fi
  local line file
  while IFS= read -r line; do
    file=${line%%: *}
    fail "a document validates against its schema" "$(cat "${file%.json}.run" 2>/dev/null)" \
      "${line#*: }"
  done <<<"$report"
}
