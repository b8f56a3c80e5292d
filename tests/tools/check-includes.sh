#!/usr/bin/env bash
# The include check against a small tree with one fault of each kind and the includes it must
# let pass: it names every fault, with its line, and nothing else.
#   check-includes.sh CHECK_SCRIPT
set -euo pipefail
check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

put() {
    mkdir -p "$(dirname "$tree/$1")"
    printf '%s\n' "${@:2}" >"$tree/$1"
}

put src/model/Result.h '#pragma once'
put src/model/Card.h '#pragma once' '#include "model/Result.h"'
put src/ui/View.h '#pragma once' '#include "store/Store.h"'
put src/store/Store.h '#pragma once' '#include "model/Card.h"' '#include <QString>'
put src/store/Store.cpp '#include "store/Store.h"' '#include "Card.h"' '#include "ui/View.h"' \
    '#include <model/Card.h>' '#include "Store.moc"'
put server/Vault.h '#pragma once' '#include "model/Result.h"' '#include "server/Other.h"'
put server/Vault.cpp '#include "server/Vault.h"' '#include "model/Card.h"'
put server/Other.h '#pragma once'
put tests/store/tst_store.cpp '#include "store/Store.h"' '#include "ui/View.h"' \
    '#include "server/Vault.h"' '#include "tst_store.moc"'

expected="src/store/Store.cpp:2: \"Card.h\" does not name a project header by its path from src/ or the top folder (did you mean \"model/Card.h\"?)
src/store/Store.cpp:3: store may not include \"ui/View.h\" (ui is not below it)
src/store/Store.cpp:4: project header <model/Card.h> belongs in quotes
server/Vault.cpp:2: server may not include \"model/Card.h\" (model is not below it)"

status=0
actual=$(python3 "$check" "$tree") || status=$?
if [ "$status" -ne 1 ]; then
    echo "expected exit status 1, got $status"
    exit 1
fi
if [ "$(sort <<<"$actual")" != "$(sort <<<"$expected")" ]; then
    echo "expected:"
    echo "$expected"
    echo "got:"
    echo "$actual"
    exit 1
fi

# The same tree without its faults passes.
put src/store/Store.cpp '#include "store/Store.h"' '#include "model/Card.h"' '#include "Store.moc"'
put server/Vault.cpp '#include "server/Vault.h"'
python3 "$check" "$tree"
echo "check-includes: every fault found, and nothing else"
