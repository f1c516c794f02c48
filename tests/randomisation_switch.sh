#!/usr/bin/env bash
# Checks the scripts' switch that turns the kernel's address-space randomisation off for
# Wine. Where the kernel allows it, a launcher started through the switch, and the child it
# starts, run with ADDR_NO_RANDOMIZE: the child inherits it from the launcher's wine
# process, not from the Wine server. Where the kernel refuses it, the scripts say so in one
# line and run Wine as it is.
#   randomisation_switch.sh SOURCE_DIR QUORVEL_EXE
# Exits with 77 (skipped) after the refusal case where this kernel refuses the switch.
source_dir=$1
quorvel=$2
# common.sh's own trap and scratch folder; the scripts' own settings for Wine.
source "$source_dir/scripts/common.sh" || exit 1
status=0

# The refusal, as a container that forbids the personality call gives it.
mkdir "$scratch/refusing"
printf '#!/bin/sh\necho "setarch: failed to set personality: Operation not permitted" >&2\nexit 1\n' \
    >"$scratch/refusing/setarch"
chmod +x "$scratch/refusing/setarch"
said=$(PATH="$scratch/refusing:$PATH" && turn_randomisation_off 2>&1 && echo "switch: ${no_randomisation[*]}")
if [ "$(printf '%s\n' "$said" | grep -c 'refuses setarch -R')" -ne 1 ] ||
    [ "$(printf '%s\n' "$said" | tail -n 1)" != "switch: " ]; then
    printf 'where setarch is refused, expected one line and no switch; got:\n%s\n' "$said"
    status=1
fi

turn_randomisation_off 2>/dev/null
if ! setarch "$(uname -m)" -R true 2>/dev/null; then
    echo "skipped: this kernel refuses setarch -R"
    [ $status -eq 0 ] && exit 77
    exit $status
fi
if [ ${#no_randomisation[@]} -eq 0 ]; then
    echo "this kernel allows setarch -R, yet the scripts use no switch"
    exit 1
fi
# The child is found by the unique file it records into, and lives long enough to be seen;
# it lies beside the launcher, where Windows looks first. The launcher starts from the
# kernel's default (setarch with no flag resets it), since this test itself may run with
# randomisation off, as the scripts run ctest: only the switch may turn it off.
tag="personality-$$.txt"
(cd "$scratch" && setarch "$(uname -m)" "${no_randomisation[@]}" wine "$quorvel" --no-shl --no-con \
    "test_child.exe --record $tag --sleep 8000" </dev/null >launcher.out 2>&1) &
launcher=$!
child=
for _ in $(seq 300); do
    child=$(pgrep -f "^test_child.exe --record $tag") && break
    sleep 0.1
done
no_randomize() {
    local value
    value=$(cat "/proc/$1/personality" 2>/dev/null) || return 1
    echo "$2 (process $1): personality $value"
    (((0x$value & 0x0040000) != 0))
}
if [ -z "$child" ]; then
    echo "the launcher's child never showed up"
    status=1
else
    no_randomize "$(pgrep -f "quorvel.exe --no-shl --no-con test_child.exe --record $tag" |
        head -n 1)" "the launcher" || status=1
    no_randomize "$child" "the launcher's child" || status=1
fi
wait "$launcher" || { echo "the launcher failed:"; cat "$scratch/launcher.out"; status=1; }
exit $status
