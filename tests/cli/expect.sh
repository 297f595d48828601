#!/usr/bin/env bash
# expect.sh CODE PATTERN COMMAND...: runs COMMAND, passes when it exits with CODE and its
# output (stdout and stderr) matches the extended regular expression PATTERN.
code=$1; pattern=$2; shift 2
output=$("$@" 2>&1); actual=$?
output=${output//$'\r'/}  # a Windows program ends its lines with CR LF
if [ "$actual" -ne "$code" ]; then
  printf 'exit code %s, expected %s\n%s\n' "$actual" "$code" "$output"; exit 1
fi
if ! grep -E -q -- "$pattern" <<<"$output"; then
  printf 'output does not match /%s/:\n%s\n' "$pattern" "$output"; exit 1
fi
