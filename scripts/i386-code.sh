# How this machine runs 32-bit (i386) code: natively, emulated through a binfmt_misc handler, or
# not at all. Sourced by scripts/install-deps.sh and bench/run.sh.
#
#   i386_probe_make FILE  writes a tiny static i386 program to FILE
#   i386_probe_run FILE   runs it and sets I386_HOW to native, emulated or fails; when emulated,
#                         I386_EMULATOR_ID (device:inode of the binary the kernel runs for it) and
#                         I386_EMULATOR_VERSION (that binary's own version line)

I386_HANDLER=/proc/sys/fs/binfmt_misc/qemu-i386

# The probe needs no library and no loader: one loadable segment whose code writes "r" to its
# standard output, reads one byte from its standard input (so it waits until that closes) and
# exits with 42. Another exit code means it did not run.
i386_probe_make() {
    python3 - "$1" <<'PY'
import os, struct, sys
base = 0x08048000
header_size = 52 + 32
message = base + header_size          # the byte "r", just after the headers
entry = message + 1
code = (bytes.fromhex("b804000000"    # mov eax, 4          write(1, message, 1)
                      "bb01000000"    # mov ebx, 1
                      "b9") + struct.pack("<I", message) +  # mov ecx, message
        bytes.fromhex("ba01000000"    # mov edx, 1
                      "cd80"          # int 0x80
                      "b803000000"    # mov eax, 3          read(0, esp, 1)
                      "31db"          # xor ebx, ebx
                      "89e1"          # mov ecx, esp
                      "cd80"          # int 0x80
                      "b801000000"    # mov eax, 1          exit(42)
                      "bb2a000000"    # mov ebx, 42
                      "cd80"))        # int 0x80
code = b"r" + code
size = header_size + len(code)
elf = (b"\x7fELF\x01\x01\x01" + bytes(9)
       + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, entry, 52, 0, 0, 52, 32, 1, 0, 0, 0)
       + struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
       + code)
with open(sys.argv[1], "wb") as f:
    f.write(elf)
os.chmod(sys.argv[1], 0o755)
PY
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

# The major version in a version line such as "qemu-i386 version 10.0.2 (Debian ...)", or 0.
i386_version_major() {
    local major
    major=$(printf '%s\n' "$1" | sed -n 's/.* version \([0-9][0-9]*\)\..*/\1/p')
    echo "${major:-0}"
}
