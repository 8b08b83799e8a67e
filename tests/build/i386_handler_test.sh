#!/usr/bin/env bash
# The install script and this machine's i386 handler: where 32-bit code runs natively it
# registers none; where it runs emulated, a second run keeps a sound handler, and a handler whose
# emulator is gone or which runs nothing is replaced. Changes the machine-wide handler for a few
# seconds (so the test runs alone), and leaves a sound one behind whatever happens.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/i386-code.sh"
emulator=/usr/bin/qemu-i386-static

[ "$(id -u)" = 0 ] || { echo "SKIP: the handler can be changed by root only"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
probe=$work/probe
i386_probe_make "$probe"

fail() { echo "FAIL: $*" >&2; exit 1; }
install_deps() {
    bash "$root/scripts/install-deps.sh" >"$work/out" 2>&1 || { cat "$work/out"; fail "install-deps failed"; }
    cat "$work/out"
}
runs_through_installed_emulator() {
    i386_probe_run "$probe"
    [ "$I386_HOW" = emulated ] && [ "$I386_EMULATOR_ID" = "$(stat -L -c %d:%i "$emulator")" ]
}

i386_probe_run "$probe"
if [ "$I386_HOW" = native ] && [ ! -e "$I386_HANDLER" ]; then
    install_deps
    ! grep -q 'emulated' "$work/out" || fail "install-deps set up emulation where 32-bit code runs"
    [ ! -e "$I386_HANDLER" ] || fail "install-deps registered a handler where 32-bit code runs"
    i386_probe_run "$probe"
    [ "$I386_HOW" = native ] || fail "32-bit code no longer runs natively (it $I386_HOW)"
    echo "native: install-deps left the machine as it was"
    exit 0
fi
[ "$I386_HOW" = emulated ] || fail "install-deps has not made 32-bit code run (it $I386_HOW)"
trap 'runs_through_installed_emulator || i386_handler_register "$emulator"; rm -rf "$work"' EXIT

echo "-- a sound handler is kept"
install_deps
grep -q 'runs emulated on this machine' "$work/out" || fail "no line says that 32-bit code runs emulated"
! grep -q 'registered the i386 handler' "$work/out" || fail "a sound handler was registered again"

echo "-- a handler whose emulator is gone is replaced"
# The kernel keeps the binary it opened, so the copy still runs 32-bit code once it is deleted.
cp "$(readlink -f "$emulator")" "$work/qemu-i386"
i386_handler_register "$work/qemu-i386"
rm "$work/qemu-i386"
i386_probe_run "$probe"
[ "$I386_HOW" = emulated ] || fail "the deleted copy runs nothing (it $I386_HOW)"
install_deps
grep -q 'registered the i386 handler' "$work/out" || fail "the handler of a deleted emulator was kept"
runs_through_installed_emulator || fail "32-bit code does not run through $emulator after the repair"

echo "-- a handler that runs nothing is replaced"
i386_handler_register /bin/false
i386_probe_run "$probe"
[ "$I386_HOW" = fails ] || fail "a handler of /bin/false ran the program (it $I386_HOW)"
install_deps
runs_through_installed_emulator || fail "32-bit code does not run through $emulator after the repair"
echo "emulated: install-deps kept the sound handler and replaced the stale and the broken one"
