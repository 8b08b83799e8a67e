#!/usr/bin/env bash
# The bootstrapper's main job, end to end, in a throwaway Wine prefix: local demo servers (a
# parameter service and a download server holding a demo installer that shows the command line
# it was given), registry overrides pointing at them, and a run of the real executable. The demo
# installer is signed as "Rora Test Publisher" under a demo root made for this run, which the
# prefix trusts. Visible where there is a display; under Xvfb with screenshots saved where there
# is none.
#   demo.sh BUILD_DIR
set -euo pipefail
build=${1:-build/release}
build=$(cd "$build" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
# The product's names as the build derived them (product.cmake); exported for demo_servers.py.
set -a
. "$build/product.env"
set +a
exe=$build/src/$RORA_BOOTSTRAPPER_FILE_NAME
product_key="HKLM\\SOFTWARE\\$RORA_PRODUCT_FULL_NAME"
installer=$build/tests/e2e/fake_installer.exe
trust_root=$build/tests/security/trust_root.exe
out=$build/demo
marlett=/usr/share/wine/fonts/marlett.ttf
[ -f "$marlett" ] || { echo "missing $marlett (fonts-wine: scripts/install-deps.sh)" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/*.png

work=$(mktemp -d /tmp/rora-demo.XXXXXX)
pids=()
cleanup() {
    WINEPREFIX=$work/prefix timeout 20 wineserver -k >/dev/null 2>&1 || true
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
unset http_proxy https_proxy no_proxy all_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY ALL_PROXY

headless=0
if [ -z "${DISPLAY:-}" ] || ! xdotool getdisplaygeometry >/dev/null 2>&1; then
    headless=1
    mkfifo "$work/display"
    # -noreset: otherwise Xvfb resets whenever its last client goes, as between two Wine
    # commands, and a program that connects just then may find no display.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" </dev/null >/dev/null 2>&1 &
    pids+=($!)
    read -r -t 20 number <"$work/display"
    export DISPLAY=":$number"
fi

export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
echo "Preparing a throwaway Wine prefix..."
timeout 180 wineboot -i >/dev/null 2>&1
timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
# Wine draws the caption buttons with its symbol font (Marlett), which it reads only from the
# prefix's Fonts folder; without it the close button shows the letter "r".
cp "$marlett" "$WINEPREFIX/drive_c/windows/Fonts/"

echo "Signing the demo installer with a demo certificate and trusting its root in the prefix..."
mkdir "$work/certs"
(
    cd "$work/certs"
    . "$source_dir/scripts/test-certificates.sh"
    make_pinned_root demo-root "Rora Demo Root CA"
    make_signer demo-publisher demo-root "Rora Test Publisher"
)
# Padded (data after its last section, which the loader ignores) so that the download lasts a
# few seconds, then signed: the signature covers the padding.
cp "$installer" "$work/installer.unsigned"
truncate -s $((6 * 1024 * 1024)) "$work/installer.unsigned"
bash "$source_dir/scripts/sign.sh" --pkcs12 "$work/certs/demo-publisher.p12" --password-file "$work/certs/password" \
    --ca "$work/certs/demo-root.pem" "$work/installer.unsigned" "$work/installer.exe" | sed 's/^/  /'
timeout 60 wine "$trust_root" "Z:${work//\//\\}\\certs\\demo-root.pem" </dev/null | tr -d '\r' | sed 's/^/  /'

python3 "$source_dir/scripts/demo_servers.py" "$work/installer.exe" "$work/port" >"$work/servers.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -f "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
timeout 60 wine reg add "$product_key\\Installation" /v QaBootstrapperRequestParamsLink \
    /t REG_SZ /d "http://127.0.0.1:$port/api/parameter-storage?id=" /f /reg:64 >/dev/null 2>&1

# The identifier travels in the file name, as on a real download page.
demo_exe=$RORA_BOOTSTRAPPER_NAME-DEMO42.exe
cp "$exe" "$work/$demo_exe"
echo "Running $demo_exe /lang=en (parameter service on 127.0.0.1:$port)..."
RORA_FAKE_INSTALLER_SHOW=1 RORA_FAKE_INSTALLER_LOG="Z:${work//\//\\}\\installer.log" \
    timeout 300 wine "$work/$demo_exe" /lang=en >/dev/null 2>&1 &
run=$!

if [ "$headless" = 1 ]; then
    for _ in $(seq 300); do
        window=$(xdotool search --onlyvisible --name "^$RORA_WINDOW_TITLE\$" 2>/dev/null | tail -n1 || true)
        [ -n "$window" ] && break
        sleep 0.1
    done
    if [ -n "${window:-}" ]; then
        sleep 1.5
        eval "$(xdotool getwindowgeometry --shell "$window")"
        import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$out/downloading.png"
    else
        echo "  the window '$RORA_WINDOW_TITLE' did not appear within 30 s" >&2
    fi
    for _ in $(seq 600); do
        box=$(xdotool search --onlyvisible --name '^Demo installer$' 2>/dev/null | tail -n1 || true)
        [ -n "$box" ] && break
        sleep 0.1
    done
    if [ -n "${box:-}" ]; then
        sleep 0.5
        import -window root "$out/installer-started.png"
        xdotool key --window "$box" Return >/dev/null 2>&1 || true
    fi
fi
wait "$run" && code=0 || code=$?

echo
echo "Bootstrapper exit code: $code"
echo "Registry ($product_key, 64-bit view):"
timeout 60 wine reg query "$product_key" /s /reg:64 2>/dev/null | tr -d '\r' | sed -n '/./p' | sed 's/^/  /'
if [ -f "$work/installer.log" ]; then
    echo "Installer started as: $(cut -f3 "$work/installer.log" | tr -d '\r')"
fi
[ "$headless" = 1 ] && ls "$out"/*.png 2>/dev/null | sed 's/^/Screenshot: /'
exit "$code"
