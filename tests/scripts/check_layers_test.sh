#!/usr/bin/env bash
# scripts/check-layers on the real tree, and on small trees that break a rule: each must be
# refused with the rule named, so a check that has quietly stopped checking shows here.
set -euo pipefail
source_dir=$1
check="$source_dir/scripts/check-layers"
"$check" "$source_dir" > /dev/null

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/app/ui" "$root/sync"
touch "$root/app/main_form.h" "$root/app/ui/main_window.h" "$root/app/run_report.h"
touch "$root/sync/sync_run.h"
status=0

# Expects the tree to be refused, with `want` among the complaints.
refused() {
    local want=$1 out
    if out=$("$check" "$root" 2>&1); then
        echo "not refused: $want"
        status=1
    elif ! grep -qF -- "$want" <<< "$out"; then
        echo "refused, but without: $want"
        echo "$out"
        status=1
    fi
}

printf '#include "sync/sync_run.h"\n#include "app/run_report.h"\n' > "$root/app/headless.cpp"
"$check" "$root" > /dev/null || { echo "a headless run on the engine was refused"; status=1; }

printf '#include "app/main_form.h"\n' > "$root/app/headless.cpp"
refused 'app/headless.cpp:1: includes "app/main_form.h": the run without a window must not include window code'
printf '#include "main_form.h"\n' > "$root/app/headless.h"
refused 'app/headless.h:1: includes "main_form.h": the run without a window must not include window code'
rm "$root/app/headless.h"
printf '#include "app/ui/main_window.h"\n' > "$root/app/headless.cpp"
refused 'app/headless.cpp:1: includes "app/ui/main_window.h": the run without a window must not include window code'
# The window model itself may include what it likes of its own layer.
printf '#include "app/run_report.h"\n' > "$root/app/headless.cpp"
printf '#include "app/main_form.h"\n' > "$root/app/session.cpp"
"$check" "$root" > /dev/null || { echo "the window model's own file was refused"; status=1; }
exit $status
