#!/usr/bin/env bash
# vaxsim capture writes a pcap that tshark reads without errors, showing the
# control and bulk transfers, one record per URB submission and completion,
# and its last line is "urbs N bytes N".
# Usage: capture_check.sh VAXSIM FILE
set -euo pipefail
vaxsim=$1
file=$2

out=$("$vaxsim" capture "$file")
last=$(printf '%s\n' "$out" | tail -n 1)
if [[ ! $last =~ ^urbs\ ([0-9]+)\ bytes\ ([0-9]+)$ ]]; then
  echo "last line is not 'urbs N bytes N': $last"
  exit 1
fi
urbs=${BASH_REMATCH[1]}

errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
listing=$(tshark -r "$file" 2>"$errors")
# tshark warns about running as root; anything else on stderr is a problem.
if grep -v -q -e '^Running as user' "$errors"; then
  cat "$errors"
  exit 1
fi
records=$(printf '%s\n' "$listing" | grep -c .)
if [ "$records" -ne $((2 * urbs)) ]; then
  echo "tshark shows $records records for $urbs URBs"
  exit 1
fi
for shown in 'GET DESCRIPTOR Request' 'SET CONFIGURATION Request' 'URB_CONTROL in' \
             'URB_CONTROL out' 'URB_BULK out' 'URB_BULK in'; do
  if ! grep -q -e "$shown" <<<"$listing"; then
    echo "tshark shows no '$shown'"
    printf '%s\n' "$listing"
    exit 1
  fi
done
echo "tshark read $records records of $urbs URBs"
