#!/usr/bin/env bash
# Installs what building and testing need on a Debian 12 machine, as root.
# Idempotent: a second run only checks that everything is there.
#
# Wine runs the program's 32-bit code. Where the kernel runs none (some virtual machines), the
# i386 user-mode emulator from the release's backports suite runs it, through a binfmt_misc
# handler for i386 ELF executables; that handler holds for the whole machine. RORA_I386=emulated
# sets the emulation up on a machine that runs 32-bit code natively too (docs/machines.md).
set -euo pipefail
source "$(dirname "$0")/i386-code.sh"

# fonts-wine: Wine's own fonts, which Debian only recommends. The tests and the demo put its
# symbol font (marlett.ttf), which Wine draws the caption buttons with, into their prefixes.
# python3-asn1crypto: the tests change signatures with it (tests/servers/craft_signature.py).
packages=(
    g++-mingw-w64-i686-posix libz-mingw-w64-dev mingw-w64-tools
    nlohmann-json3-dev googletest cmake make ninja-build
    dpkg-dev autoconf automake libtool quilt
    wine wine32:i386 wine64 fonts-wine xvfb xauth xdotool imagemagick openssl
    tinyproxy python3 python3-asn1crypto tesseract-ocr tesseract-ocr-eng git osslsigncode ca-certificates
)

# Everything comes from a Debian archive: without one configured there is nothing to install
# from, and curl's source cannot be fetched.
archives=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | grep -Ec '^[[:space:]]*deb[[:space:]]' || true)
archives=$((archives + $(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -Ec '^Types:(.*[[:space:]])?deb([[:space:]]|$)' || true)))
if [ "$archives" = 0 ]; then
    echo "install-deps: no Debian archive is configured (no deb entry in /etc/apt/sources.list or" \
        "/etc/apt/sources.list.d/); add the Debian 12 archive there and run again" >&2
    exit 1
fi

# Run a 32-bit program to know whether this machine runs 32-bit code; kernel settings do not
# tell. Emulation is set up where it does not, where it was asked for, and where a handler of
# ours is already registered (it is then checked, and replaced if it is stale or broken).
probe_dir=$(mktemp -d)
trap 'rm -rf "$probe_dir"' EXIT
probe=$probe_dir/i386-probe
i386_probe_make "$probe"
i386_probe_run "$probe"
case "${RORA_I386:=}" in
'' | native | emulated) ;;
*) echo "install-deps: RORA_I386 is '$RORA_I386'; leave it empty, or say emulated or native" >&2; exit 2 ;;
esac
# RORA_I386=native undoes RORA_I386=emulated: the handler goes, where 32-bit code then runs.
if [ "$RORA_I386" = native ] && [ -e "$I386_HANDLER" ]; then
    echo -1 >"$I386_HANDLER"
    i386_probe_run "$probe"
    if [ "$I386_HOW" = native ]; then
        echo "install-deps: the i386 handler is removed; 32-bit code runs natively on this machine"
    else
        echo "install-deps: this machine runs no 32-bit code without the i386 handler; it is registered again" >&2
    fi
fi
emulate=0
if [ "$I386_HOW" != native ] || [ -e "$I386_HANDLER" ] || [ "$RORA_I386" = emulated ]; then emulate=1; fi

emulator=/usr/bin/qemu-i386-static
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
backports=$codename-backports
emulator_packages=(qemu-user-static qemu-user qemu-user-binfmt)

# The handler in use is ours and sound: the program runs through the installed emulator's very
# binary (the kernel keeps the one it opened when the handler was written, so after an upgrade of
# the package it would still run the old one), at version 10 or later; earlier versions spend
# about a minute starting each 32-bit Wine process.
emulation_sound() {
    [ "$I386_HOW" = emulated ] && [ -e "$I386_HANDLER" ] &&
        [ "$I386_EMULATOR_ID" = "$(stat -L -c %d:%i "$emulator" 2>/dev/null)" ] &&
        [ "$(i386_version_major "$I386_EMULATOR_VERSION")" -ge 10 ]
}

# The URI of the configured archive that carries the release's own suite.
release_archive() {
    awk -v suite="$codename" 'BEGIN { RS = "" } /(^|\n)Types:[^\n]*deb([ \t]|\n|$)/ {
        if (match($0, /(^|\n)Suites:[^\n]*/) && (" " substr($0, RSTART, RLENGTH) " ") ~ "[ \t]" suite "[ \t]" &&
            match($0, /(^|\n)URIs:[ \t]*[^ \t\n]+/)) {
            uri = substr($0, RSTART, RLENGTH); sub(/^\n?URIs:[ \t]*/, "", uri); print uri; exit
        } }' /etc/apt/sources.list.d/*.sources 2>/dev/null || true
    awk -v suite="$codename" '$1 == "deb" { i = 2; if ($i ~ /^\[/) while ($i !~ /\]$/) i++; if ($i ~ /^\[/ || $i ~ /\]$/) i++
        if ($(i + 1) == suite) { print $i; exit } }' /etc/apt/sources.list 2>/dev/null || true
}

cannot_emulate() {
    echo "install-deps: this machine runs no 32-bit code, and the i386 emulator cannot be set up: $*" >&2
    exit 1
}

need_update=0
if [ "$emulate" = 1 ] && ! emulation_sound; then
    [ "$(id -u)" = 0 ] || cannot_emulate "installing the emulator and registering its handler need root"
    if ! grep -qs binfmt_misc /proc/filesystems; then
        cannot_emulate "the kernel has no binfmt_misc"
    fi
    if [ ! -e /proc/sys/fs/binfmt_misc/register ] &&
        ! mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>"$probe_dir/mount.log"; then
        cannot_emulate "binfmt_misc cannot be mounted at /proc/sys/fs/binfmt_misc ($(head -n1 "$probe_dir/mount.log"))"
    fi
    # The backports suite of the archive already configured, for the emulator only: every other
    # package keeps coming from the release (apt never prefers a backports suite by itself).
    if ! cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -Eq "^[^#]*[[:space:]]$backports([[:space:]]|\$)"; then
        archive=$(release_archive | head -n1 || true)
        [ -n "$archive" ] || cannot_emulate "no Debian archive for $codename is configured to take $backports from"
        cat >/etc/apt/sources.list.d/project-backports.sources <<SOURCES
Types: deb
URIs: $archive
Suites: $backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    fi
    installed_major=$(i386_version_major "$("$emulator" --version 2>/dev/null | head -n1 || true)")
    [ "$installed_major" -ge 10 ] || need_update=1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    need_update=1
fi

# curl's source package comes from the same archive and suites as the binary packages.
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
            > /etc/apt/sources.list.d/project-deb-src.sources
    else
        grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/project-deb-src.list
    fi
    need_update=1
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    need_update=1
fi
# A mirror in the middle of a sync can serve one index that does not match its Release file; apt
# then leaves that index out. A few tries usually get past it; after that the install goes on
# with the indexes that did come.
update_complete=1
if [ "$need_update" = 1 ]; then
    update_complete=0
    for attempt in 1 2 3; do
        if apt-get update -qq; then
            update_complete=1
            break
        fi
        [ "$attempt" = 3 ] || sleep 10
    done
    [ "$update_complete" = 1 ] || echo "install-deps: apt-get update left out an index; installing from the rest" >&2
fi
if [ ${#missing[@]} -gt 0 ]; then
    install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
    if ! "${install[@]}" "${missing[@]}" >/dev/null; then
        # Without one architecture's index of a suite, the i386 and amd64 copies of a library
        # would come from different suites at different versions, which multiarch forbids: take
        # both from the release's own suite instead.
        [ "$update_complete" = 0 ] || exit 1
        codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
        echo "install-deps: installing from $codename alone, where both architectures' indexes are complete" >&2
        "${install[@]}" -t "$codename" "${missing[@]}" >/dev/null
    fi
fi
if [ "$emulate" = 1 ] && ! emulation_sound; then
    if [ "$(i386_version_major "$("$emulator" --version 2>/dev/null | head -n1 || true)")" -lt 10 ]; then
        if ! env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${emulator_packages[@]/%//$backports}" >"$probe_dir/apt.log" 2>&1; then
            tail -n3 "$probe_dir/apt.log" >&2
            cannot_emulate "its packages (${emulator_packages[*]}) could not be installed from $backports"
        fi
        major=$(i386_version_major "$("$emulator" --version 2>/dev/null | head -n1 || true)")
        [ "$major" -ge 10 ] || cannot_emulate "$backports offers version $major of $emulator, and at least 10 is needed"
    fi
    i386_handler_register "$emulator" || cannot_emulate "the handler could not be registered"
    echo "install-deps: registered the i386 handler for $emulator"
    i386_probe_run "$probe"
    emulation_sound || cannot_emulate "a 32-bit program still does not run through $emulator (it $I386_HOW)"
fi
if [ "$emulate" = 1 ]; then
    echo "install-deps: 32-bit code runs emulated on this machine: $I386_EMULATOR_VERSION, binfmt_misc handler $I386_HANDLER"
fi

# tinyproxy's package may start a system service on its own port; tests start their own
# instances on free ports, and no test relies on the service being gone.
if command -v systemctl >/dev/null 2>&1; then systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
echo "dependencies: ok"
