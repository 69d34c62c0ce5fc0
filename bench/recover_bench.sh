#!/usr/bin/env bash
# Times `velmorix-cli recover --format tsv` on mailboxes of 10,000, 100,000 and
# 300,000 mails in 1,000 folders, against `cat FILE > /dev/null` on the same
# warm file. Usage: bench/recover_bench.sh BUILD_DIR [WORK_DIR]
set -euo pipefail
build=${1:?usage: recover_bench.sh BUILD_DIR [WORK_DIR]}
work=${2:-${TMPDIR:-/tmp}/velmorix-recover-bench}
mkstore=$build/tools/mkstore/velmorix-mkstore
cli=$build/src/cli/velmorix-cli
mkdir -p "$work"

seconds() { /usr/bin/time -f "%e %U %S %M" "$@" 2>&1 >/dev/null | tail -1; }

printf '%-8s %10s %8s %8s %8s %10s %8s %8s\n' mails bytes wall user sys peakMiB cat ratio
for per in 10 100 300; do
  store=$work/mails-$((per * 1000)).ost
  [ -s "$store" ] || "$mkstore" --folders 1000 --mails-per-folder "$per" "$store" >/dev/null
  cat "$store" >/dev/null  # warm the page cache
  read -r cwall _ _ _ < <(seconds cat "$store")
  read -r wall user sys rss < <(seconds "$cli" recover --format tsv "$store")
  ratio=$(awk -v a="$wall" -v b="$cwall" 'BEGIN { printf "%.1f", (b > 0 ? a / b : 0) }')
  printf '%-8s %10s %8s %8s %8s %10s %8s %8s\n' $((per * 1000)) "$(stat -c %s "$store")" \
    "$wall" "$user" "$sys" "$((rss / 1024))" "$cwall" "$ratio"
done
