#!/usr/bin/env bash
# Digests of what velmorix-cli prints and writes for the sample stores and a
# set of builder stores: recover's listings, show (summary and every
# property) of every listed item, and every file export writes in each
# format but pst; and the deep recovery's listing, which reads tables raw.
# One line a digest: store, output, exit code, SHA-256.
#
#   digests.sh write CLI MKSTORE SAMPLES > LIST    the list of the current code
#   digests.sh check CLI MKSTORE SAMPLES LIST      compares with LIST
#
# check leaves out the samples that are missing, saying where it looked.
set -uo pipefail
mode=$1 cli=$2 mkstore=$3 samples=${VELMORIX_SAMPLES:-$4} list=${5:-}
[ "$mode" = write ] || [ "$mode" = check ] || { echo "usage: $0 write|check CLI MKSTORE SAMPLES [LIST]" >&2; exit 64; }

here=$(cd "$(dirname "$0")" && pwd)
cli=$(realpath "$cli") mkstore=$(realpath "$mkstore")
[ -z "$list" ] || list=$(realpath "$list")
work=$(mktemp -d "${TMPDIR:-/tmp}/velmorix-digests.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/stores" "$work/out"

# The builder stores: the demo mailbox (mails, contacts, appointments, tasks,
# attachments, an embedded message, named properties) in each variant, and a
# mailbox whose contents tables are too large for their heaps (row matrices
# in subnodes) with attachments and bodies in subnodes.
for format in unicode ansi15 ansi14 unicode4k; do
  "$mkstore" --demo --format "$format" "$work/stores/demo-$format.pst" >/dev/null || exit 1
  "$mkstore" --folders 1 --mails-per-folder 150 --body-size 200 --subject-length 60 --attachment-every 7 \
    --body-in-subnode-every 5 --format "$format" "$work/stores/large-$format.pst" >/dev/null || exit 1
done
if [ "$mode" = check ]; then
  stores=$(cut -f1 "$list" | sort -u)
else
  stores=$(cd "$work/stores" && ls; cd "$samples" 2>/dev/null && ls -- *.pst *.ost 2>/dev/null)
fi
for s in $stores; do
  [ -e "$work/stores/$s" ] && continue
  if [ -f "$samples/$s" ]; then
    cp "$samples/$s" "$work/stores/$s" && chmod u+w "$work/stores/$s"
  else
    echo "skipped: sample $s not found at $samples/$s" >&2
  fi
done

# A digest line of one command's output (stdout and stderr) and exit code.
digest() {  # store, label, command...
  local store=$1 label=$2 rc out
  shift 2
  out=$("$@" 2>&1 | sha256sum)
  rc=${PIPESTATUS[0]}
  printf '%s\t%s\t%s\t%s\n' "$store" "$label" "$rc" "${out%% *}"
}

one_store() {  # store name; run inside $work/stores
  local s=$1 ids id format dir
  digest "$s" recover "$cli" recover --ids --quiet "$s"
  digest "$s" recover-json "$cli" recover --format json --ids --quiet "$s"
  digest "$s" recover-deep "$cli" recover --deep --ids --quiet "$s"
  ids=$("$cli" recover --ids --quiet "$s" 2>/dev/null | grep -o '0x[0-9a-fA-F]*$' | sort -u)
  for id in $ids; do
    digest "$s" "show $id" "$cli" show "$s" "$id"
    digest "$s" "properties $id" "$cli" show --properties "$s" "$id"
  done
  for format in eml mbox vcf ics msg; do
    dir="../out/$s.$format"  # relative: export prints it
    digest "$s" "export $format" "$cli" export --quiet --format "$format" --out "$dir" "$s"
    [ -d "$dir" ] && python3 "$here/export_digests.py" "$s" "$format" "$dir"
  done
}

cd "$work/stores" || exit 1
export -f digest one_store
export cli work here
# Two stores at a time; each store's lines stay together in list order.
ls | LC_ALL=C sort | xargs -P 2 -I{} bash -c 'one_store "$1" > "$work/$1.digests"' _ {}
mkdir -p "$work/all"
for s in $(ls | LC_ALL=C sort); do cat "$work/$s.digests"; done > "$work/all/list"

if [ "$mode" = write ]; then
  cat "$work/all/list"
  exit 0
fi
present=$(ls)
awk -F '\t' 'NR == FNR { here[$0]; next } $1 in here' <(echo "$present") "$list" > "$work/all/expected"
if diff "$work/all/expected" "$work/all/list" > "$work/all/diff"; then
  echo "$(wc -l < "$work/all/list") outputs of $(echo "$present" | wc -w) stores as listed"
  exit 0
fi
echo "outputs that differ from $list (< listed, > now):"
head -50 "$work/all/diff"
exit 1
