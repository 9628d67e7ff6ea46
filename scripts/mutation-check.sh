#!/usr/bin/env bash
# Plants deliberate faults in the product code, one at a time, rebuilds and runs the unit and
# process tests against each, and prints which tests caught it. A fault nobody catches means the
# suite lost (or never had) the test for it. The faults are planted in a copy of the tracked files
# (as they are in the working tree, uncommitted edits included), never in the tree itself; the
# copy keeps its build directory, so later runs rebuild only what changed.
#
#   scripts/mutation-check.sh [fault-name...]
#
# MUTATION_DIR: where the copy lives, its build in build/ inside it as in the tree itself, so
#               that compiler caches find what the tree's own build compiled (default build-mutation).
# MUTATION_REF: check a commit (e.g. HEAD, or main before a change) instead of the working tree.
set -euo pipefail
cd "$(dirname "$0")/.."
copy=${MUTATION_DIR:-$PWD/build-mutation}
build=$copy/build
targets=(norvane_unit_tests norvane_process_tests norvane norvane-sender norvane-lossrelay)

# name | file | literal text | replacement (each text must occur exactly once in its file)
faults=(
  "fragment-count-off-by-one|tools/sender/fragmenter.hpp|(frame.size + kFragmentSize - 1) / kFragmentSize|(frame.size + kFragmentSize) / kFragmentSize"
  "aes-gcm-tag-not-checked|src/kelvra/manet/aes_gcm_openssl.cpp|run(ctx, out, in, size);|(run(ctx, out, in, size) || true);"
  "roundtrip-in-ms|src/platforms/posix/kelvra/norvane/jitter/latency_budget_rules.cpp|add_sample(now - fragment.request_time)|add_sample((now - fragment.request_time) / 1000)"
  "frames-out-of-order|src/platforms/posix/kelvra/norvane/jitter/frame.hpp|return a.sequence_number > b.sequence_number;|return a.sequence_number < b.sequence_number;"
  "status-length-short|src/kelvra/msgs/video/messages.hpp|struct session_response : messgen::Message<session_response> {|struct session_response : messgen::Message<session_response> { size_t payload_size() const { return Message::payload_size() - 1; }"
  "detections-y-dropped|src/platforms/posix/kelvra/norvane/webrtc/detections_message.cpp|,\"y\":{}}})\"|}})\""
)

# Refresh the copy: changed files only, so the build stays incremental; files gone from the
# tree are removed from it.
origin=$PWD
listing() { git ls-files -z; }
if [[ -n ${MUTATION_REF:-} ]]; then
  origin=$copy-ref
  rm -rf "$origin" && mkdir -p "$origin"
  git archive "$MUTATION_REF" | tar -x -C "$origin"
  listing() { git ls-tree -r -z --name-only "$MUTATION_REF"; }
fi
mkdir -p "$build"
listing | while IFS= read -r -d '' f; do
  if ! cmp -s "$origin/$f" "$copy/$f"; then
    mkdir -p "$(dirname "$copy/$f")" && cp "$origin/$f" "$copy/$f"
  fi
done
(cd "$copy" && find . -path ./build -prune -o -type f -print0 | sed -z 's|^\./||' | sort -z) >"$build/copied"
listing | sort -z | comm -z -23 "$build/copied" - | (cd "$copy" && xargs -0 -r rm -f)
if [[ ! -f $build/build.ninja ]]; then
  cmake -S "$copy" -B "$build" -G Ninja -DNORVANE_WERROR=ON >/dev/null
fi

planted=""
restore() {  # puts the tree's own version back, newer than the mutant's objects
  if [[ -n $planted ]]; then
    cp "$origin/$planted" "$copy/$planted"
    planted=""
  fi
}
trap restore EXIT INT TERM

replace() {  # file old new: replaces the single occurrence of `old`, fails otherwise
  python3 - "$@" <<'EOF'
import sys
path, old, new = sys.argv[1:4]
text = open(path).read()
if text.count(old) != 1:
    sys.exit(f"{path}: expected one occurrence of {old!r}, found {text.count(old)}")
open(path, "w").write(text.replace(old, new))
EOF
}

build() { nice cmake --build "$build" -j 2 --target "${targets[@]}" >"$build/mutation-build.log" 2>&1; }

results=()
for fault in "${faults[@]}"; do
  IFS='|' read -r name file old new <<<"$fault"
  if [[ $# -gt 0 && " $* " != *" $name "* ]]; then continue; fi
  planted=$file
  replace "$copy/$file" "$old" "$new"
  if ! build; then
    results+=("$name|n/a|does not build: see $build/mutation-build.log")
    restore
    continue
  fi
  log="$build/mutation-$name.log"
  (cd "$build" && ctest -L 'unit|process' -j 2 --timeout 120 >"$log" 2>&1) || true
  caught=$(sed -n 's/^[[:space:]]*[0-9]\+ - \([^ ]*\) .*/\1/p' "$log" | sort -u | paste -sd' ' -)
  if [[ -n $caught ]]; then
    results+=("$name|yes|$caught")
  else
    results+=("$name|NO|-")
  fi
  restore
done

echo "Rebuilding the clean tree" >&2
build

printf '%-28s %-6s %s\n' fault caught "by tests"
missed=0
for r in "${results[@]}"; do
  IFS='|' read -r name caught by <<<"$r"
  printf '%-28s %-6s %s\n' "$name" "$caught" "$by"
  [[ $caught == NO ]] && missed=1
done
exit $missed
