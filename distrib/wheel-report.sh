#!/usr/bin/env bash
# What a wheel is and asks of the system it lands on: its name, size and
# platform tag (auditwheel's verdict), its bundled libraries and, for each
# shared object, the newest symbol version it needs from the C library.
#
#   bash wheel-report.sh WHEEL
set -euo pipefail
wheel=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
unzip -q "$wheel" -d "$dir"

newest() { grep -oE '\((GLIBC|GLIBCXX|CXXABI)_[0-9.]+\)' | tr -d '()' | sort -uV | tail -n 1; }

echo "wheel:    ${wheel##*/}"
echo "size:     $(du -k "$wheel" | cut -f1) KiB ($(stat -c %s "$wheel") bytes)"
auditwheel show "$wheel" | tr '\n' ' ' | grep -oE 'consistent with the following platform tag: "[^"]+"' \
  | sed 's/.*: /tag:      /'
echo "bundled:  $(cd "$dir" && ls lumabo.libs | paste -sd ' ')"
echo "licences: $(cd "$dir"/*.dist-info && find licenses -type f | sort | paste -sd ' ')"
echo "newest symbol versions needed:"
while IFS= read -r so; do
  printf '  %-66s %s\n' "${so#"$dir"/}" "$(objdump -T "$so" | newest)"
done < <(find "$dir" -name '*.so*' -type f | sort)
echo "  all:  $(find "$dir" -name '*.so*' -type f -exec objdump -T {} + | newest)"
