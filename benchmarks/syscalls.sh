#!/usr/bin/env bash
# Counts the system calls of a read(100) loop with strace -c, for AsyncFile and
# for builtin open(), both in binary mode over a 16 MiB file. Each side runs
# twice, without reads and with N reads, and the difference is divided by N, so
# interpreter start-up, imports, open and close cancel out.
#
#     bash benchmarks/syscalls.sh [N]        N reads per run, 100000 by default
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-$ROOT/.venv-3.12/bin/python}"
CALLS="${1:-100000}"

if ! command -v strace >/dev/null 2>&1; then
    echo "strace is not installed; install it (for example: apt-get install -y strace) and run again." >&2
    exit 2
fi

PARENT="${TMPDIR:-/tmp}"
[ -d /dev/shm ] && [ -w /dev/shm ] && PARENT=/dev/shm
WORK="$(mktemp -d "$PARENT/larkspan-strace-XXXXXX")"
trap 'rm -rf "$WORK"' EXIT
"$PYTHON" -c 'import os, sys; open(sys.argv[1], "wb").write(os.urandom(16 << 20))' "$WORK/data"

LOOP='
import sys
from _larkspan_core import AsyncFile
side, path, calls = sys.argv[1], sys.argv[2], int(sys.argv[3])
f = AsyncFile(path, "rb").open() if side == "ours" else open(path, "rb")
for _ in range(calls):
    f.read(100)
f.close()
'

# count SIDE READS: prints "syscall calls" for one traced run.
count() {
    strace -c -o "$WORK/summary" "$PYTHON" -c "$LOOP" "$1" "$WORK/data" "$2"
    # Rows are "% time, seconds, usecs/call, calls, [errors], syscall"; skip the header and total.
    awk '$1 ~ /^[0-9.]+$/ && NF >= 5 && $NF != "total" { print $NF, $4 }' "$WORK/summary"
}

for side in builtin ours; do
    count "$side" 0 >"$WORK/$side-0"
    count "$side" "$CALLS" >"$WORK/$side-n"
done

echo "System calls per read(100), binary mode, 16 MiB file, $CALLS reads (strace -c, start-up subtracted)"
awk -v calls="$CALLS" '
    FNR == 1 { run++ }
    { seen[$1] = 1; n[run, $1] = $2 }
    END {
        printf "%-16s %10s %10s\n", "syscall", "builtin", "ours"
        for (name in seen) {
            b = (n[2, name] - n[1, name]) / calls
            o = (n[4, name] - n[3, name]) / calls
            if (b >= 0.0005 || o >= 0.0005) printf "%-16s %10.3f %10.3f\n", name, b, o
            if (name == "pread64") pread = o
            else if (name == "lseek") reposition = o
            else if (o >= 0.0005) extra = extra sprintf(" %s %.3f", name, o)
        }
        floor = pread > 0.999 && pread < 1.001 && reposition < 1.001 && extra == ""
        printf "AsyncFile floor, one pread64 and at most one lseek per call, nothing else: %s\n",
            floor ? "met" : "MISSED (pread64 " sprintf("%.3f", pread) ", lseek " sprintf("%.3f", reposition) \
            (extra == "" ? "" : ", also" extra) " per call)"
    }' "$WORK/builtin-0" "$WORK/builtin-n" "$WORK/ours-0" "$WORK/ours-n"
