#!/usr/bin/env bash
# Checks that the executable is reproducible: the sources of one commit, unpacked at two
# different paths and built in two fresh build directories, must give byte-identical files.
#   check-reproducible.sh [COMMIT]     default HEAD
#   check-reproducible.sh --worktree   the working tree as it is (tracked and untracked files)
# Exit code: 0 identical, 1 different, 2 a build failed.
set -uo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
commit=${1:-HEAD}
# git refuses a checkout that belongs to another user (CI's clone, a shared machine) unless it is
# named a safe directory: this checkout, for these commands only.
git_here() { git -c safe.directory="$repo" -C "$repo" "$@"; }

work=$(mktemp -d /tmp/rora-repro.XXXXXX) || exit 2
trap 'rm -rf "$work"' EXIT

if ! deps=$(bash "$repo/scripts/build-curl.sh" | tail -n1) || [ ! -f "$deps/lib/libcurl.a" ]; then
    echo "check-reproducible: the libcurl build failed" >&2
    exit 2
fi

# Paths of different lengths, so that an embedded path would also shift what follows it.
first="$work/a"
second="$work/second-checkout/deeper"

build() {
    local root=$1
    mkdir -p "$root/source"
    if [ "$commit" = --worktree ]; then
        (cd "$repo" && git_here ls-files -z --cached --others --exclude-standard \
            | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh \
            | tar -c --null -T -) | tar -x -C "$root/source" || return 1
    else
        git_here archive --format=tar "$commit" | tar -x -C "$root/source" || return 1
    fi
    cmake -S "$root/source" -B "$root/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$root/source/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=MinSizeRel -DRORA_DEPS_PREFIX="$deps" -DBUILD_TESTING=OFF \
        >"$root/configure.log" 2>&1 || { cat "$root/configure.log" >&2; return 1; }
    cmake --build "$root/build" -j2 --target bootstrapper >"$root/build.log" 2>&1 \
        || { tail -n 30 "$root/build.log" >&2; return 1; }
}

# Differing bytes per PE section (headers: the DOS/PE headers and section table).
differences_by_section() {
    python3 - "$1" "$2" <<'PY'
import collections, struct, sys
a, b = (open(p, "rb").read() for p in sys.argv[1:3])
pe = struct.unpack_from("<I", a, 0x3c)[0]
count, optional = struct.unpack_from("<H", a, pe + 6)[0], struct.unpack_from("<H", a, pe + 20)[0]
table = pe + 24 + optional
sections = []
for i in range(count):
    name, _, _, raw_size, raw_offset = struct.unpack_from("<8sIIII", a, table + 40 * i)
    sections.append((raw_offset, raw_offset + raw_size, name.rstrip(b"\0").decode()))
tally = collections.Counter()
for offset in (i for i in range(min(len(a), len(b))) if a[i] != b[i]):
    tally[next((n for s, e, n in sections if s <= offset < e), "headers")] += 1
for name, n in tally.most_common():
    print("  %-10s %d bytes" % (name, n))
PY
}

if [ "$commit" = --worktree ]; then
    commit_id="the working tree"
else
    commit_id=$(git_here rev-parse --short "$commit") || exit 2
fi
echo "check-reproducible: building $commit_id twice ($first, $second)"
for root in "$first" "$second"; do
    if ! build "$root"; then
        echo "check-reproducible: FAILED to build $commit_id in $root" >&2
        exit 2
    fi
done

exe=src/$(. "$first/build/product.env" && echo "$RORA_BOOTSTRAPPER_FILE_NAME")
a="$first/build/$exe"
b="$second/build/$exe"
if cmp -s "$a" "$b"; then
    echo "check-reproducible: REPRODUCIBLE: $(basename "$exe") ($(stat -c %s "$a") bytes, sha256 $(sha256sum "$a" | cut -c1-16)...) is identical in both builds"
    exit 0
fi

echo "check-reproducible: NOT REPRODUCIBLE: $(basename "$exe") differs between the two builds" >&2
echo "  sizes: $(stat -c %s "$a") and $(stat -c %s "$b") bytes; differing bytes by section:" >&2
differences_by_section "$a" "$b" >&2
exit 1
