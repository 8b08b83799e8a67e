# How this machine runs 32-bit (i386) code: natively, emulated through a binfmt_misc handler, or
# not at all. Sourced by scripts/install-deps.sh and bench/run.sh.
#
#   i386_probe_make FILE  writes a tiny static i386 program to FILE
#   i386_probe_run FILE   runs it and sets I386_HOW to native, emulated or fails; when emulated,
#                         I386_EMULATOR_ID (device:inode of the binary the kernel runs for it) and
#                         I386_EMULATOR_VERSION (that binary's own version line)
#   i386_handler_register EMULATOR  (re)registers the handler for i386 ELF executables

I386_HANDLER=/proc/sys/fs/binfmt_misc/qemu-i386

# The probe needs no library and no loader: one loadable segment (base 0x08048000, 130 bytes)
# whose code writes "r" to its standard output, reads one byte from its standard input (so it
# waits until that closes) and exits with 42. Another exit code means it did not run. Written
# byte for byte: a machine that runs no 32-bit code may have no tool yet that would make it.
i386_probe_make() {
    local elf=(
        7f454c46010101000000000000000000 # ELF, 32-bit, little-endian, version 1
        0200 0300 01000000 55800408      # executable, i386, version 1, entry 0x08048055
        34000000 00000000 00000000       # program headers at 52, no sections, no flags
        3400 2000 0100 0000 0000 0000    # header sizes, one program header
        01000000 00000000 00800408 00800408 82000000 82000000 05000000 00100000 # PT_LOAD, r-x
        72                               # "r", at 0x08048054
        b804000000 bb01000000 b954800408 ba01000000 cd80 # write(1, "r", 1)
        b803000000 31db 89e1 cd80        # read(0, esp, 1)
        b801000000 bb2a000000 cd80       # exit(42)
    )
    local hex
    hex=$(printf '%s' "${elf[@]}")
    printf '%b' "$(printf '%s' "$hex" | sed 's/../\\x&/g')" >"$1"
    chmod 755 "$1"
}

i386_probe_run() {
    local probe=$1 ready= pid rc=0 exe to from
    I386_HOW=fails I386_EMULATOR_ID= I386_EMULATOR_VERSION=
    rm -f "$probe.in" "$probe.out"
    mkfifo "$probe.in" "$probe.out"
    "$probe" <"$probe.in" >"$probe.out" 2>/dev/null &
    pid=$!
    exec {to}>"$probe.in" {from}<"$probe.out"
    # Once "r" has arrived the program runs, and its process shows what the kernel started for it.
    read -r -t 30 -n 1 ready <&"$from" || true
    if [ "$ready" = r ]; then
        exe=$(readlink "/proc/$pid/exe" 2>/dev/null || true)
        if [ "$(stat -L -c %d:%i "/proc/$pid/exe" 2>/dev/null)" != "$(stat -L -c %d:%i "$probe")" ]; then
            I386_EMULATOR_ID=$(stat -L -c %d:%i "/proc/$pid/exe" 2>/dev/null || true)
            # The binary the kernel holds, even when the file at its path was replaced since.
            I386_EMULATOR_VERSION=$(timeout 10 "/proc/$pid/exe" --version 2>/dev/null | head -n1 || true)
            : "${I386_EMULATOR_VERSION:=unknown emulator $exe}"
        fi
    else
        kill "$pid" 2>/dev/null || true
    fi
    exec {to}>&- {from}<&-
    wait "$pid" || rc=$?
    rm -f "$probe.in" "$probe.out"
    if [ "$ready" = r ] && [ "$rc" = 42 ]; then
        if [ -n "$I386_EMULATOR_ID" ]; then I386_HOW=emulated; else I386_HOW=native; fi
    fi
    return 0
}

# With the fix-binary flag (F) the kernel opens the emulator now and keeps that binary, also
# inside containers and for programs started from any mount namespace.
i386_handler_register() {
    [ ! -e "$I386_HANDLER" ] || echo -1 >"$I386_HANDLER"
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$1"':F' \
        >/proc/sys/fs/binfmt_misc/register
}

# The major version in a version line such as "qemu-i386 version 10.0.2 (Debian ...)", or 0.
i386_version_major() {
    local major
    major=$(printf '%s\n' "$1" | sed -n 's/.* version \([0-9][0-9]*\)\..*/\1/p')
    echo "${major:-0}"
}
