#!/usr/bin/env bash
# ./run check: the include direction between folders and the layout of every
# tracked C and C++ source. Prints each violation as "file:line: what is
# wrong" and exits 1 when there is any.
set -euo pipefail
cd "$(dirname "$0")/.."

# Which headers a folder's product sources may include: a folder named here
# stands for every header in it, a path for that header alone; skgxn.h and
# vemo.h are the public headers. diag/ is at the bottom, msg/ and cluster/
# above it, group/ above msg/, api/ on top. velkd and velkctl share msg/ and
# diag/ with the library (velkd also the configuration file parser, velkctl
# the daemon's text notation) and never reach group/ or api/. Tests, test
# doubles and benchmarks may include anything.
export LAYERS='
include
diag    diag
msg     msg diag
cluster cluster diag vemo.h
group   group msg diag skgxn.h
api     api group cluster msg diag skgxn.h
vemo    vemo diag vemo.h
daemon  daemon msg diag vemo/node_table.h
tools   tools msg diag daemon/escape_text.h
demo    skgxn.h
'

failed=0

git ls-files '*.c' '*.cc' '*.h' | grep -Ev '(_test\.|(^|/)fake_|test_support|^tests/|^bench/)' |
  xargs awk '
    BEGIN {
      n = split(ENVIRON["LAYERS"], rows, "\n")
      for (i = 1; i <= n; i++) {
        m = split(rows[i], word, " ")
        if (m == 0) continue
        known[word[1]] = 1
        for (j = 2; j <= m; j++) may[word[1], word[j]] = 1
      }
    }
    FNR == 1 {
      folder = FILENAME ~ /\// ? substr(FILENAME, 1, index(FILENAME, "/") - 1) : "."
      if (!(folder in known)) {
        print FILENAME ":1: " folder "/ has no row in the layering table of scripts/check.sh"
        bad = 1
      }
    }
    /^[ \t]*#[ \t]*include[ \t]*"/ {
      match($0, /"[^"]+"/)
      header = substr($0, RSTART + 1, RLENGTH - 2)
      top = index(header, "/") ? substr(header, 1, index(header, "/") - 1) : header
      if (!((folder, top) in may) && !((folder, header) in may)) {
        print FILENAME ":" FNR ": " folder "/ may not include " header
        bad = 1
      }
    }
    END { exit bad }
  ' || failed=1

# clang-format reports each line it would change, with column and context;
# one line per place is enough.
unformatted=$(git ls-files '*.c' '*.cc' '*.h' | xargs clang-format --dry-run --Werror 2>&1 |
  sed -n 's/^\([^:]*:[0-9]*\):[0-9]*: error: code should be clang-formatted.*/\1: not laid out as .clang-format says/p' |
  uniq) || true
if [[ -n $unformatted ]]; then
  echo "$unformatted"
  failed=1
fi

exit "$failed"
