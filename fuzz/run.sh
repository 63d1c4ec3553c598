#!/usr/bin/env bash
# Runs every fuzz harness for a bounded time.
#   fuzz/run.sh [venv directory, default .venv] [seconds per harness, default 60]
# The committed seed corpus is copied to a scratch directory first, so it is never modified.
# Exits non-zero when any harness reports a crash, a hang, a leak or an uncaught exception; the
# scratch directory holding the reproducers is then kept and its path printed.
set -uo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
venv="${1:-.venv}"
seconds="${2:-60}"
python="$venv/bin/python"

if [[ ! -x "$python" ]]; then
    echo "no python in $venv" >&2
    exit 2
fi
"$venv/bin/pip" install --quiet atheris || { echo "could not install atheris" >&2; exit 2; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/varnok-fuzz.XXXXXX")"
status=0
for harness in deserialize script_evaluator; do
    corpus="$scratch/corpus_$harness"
    artifacts="$scratch/artifacts_$harness"
    mkdir -p "$corpus" "$artifacts"
    cp -R "$here/corpus/$harness/." "$corpus/"
    echo "== fuzzing $harness for ${seconds}s"
    "$python" "$here/fuzz_$harness.py" "$corpus" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" -print_final_stats=1
    code=$?
    if [[ $code -ne 0 ]] || compgen -G "$artifacts/*" > /dev/null; then
        echo "!! $harness failed (exit $code); reproducers in $artifacts" >&2
        status=1
    fi
done

if [[ $status -eq 0 ]]; then
    rm -rf "$scratch"
else
    echo "scratch directory kept: $scratch" >&2
fi
exit $status
