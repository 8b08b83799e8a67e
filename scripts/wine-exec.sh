#!/usr/bin/env bash
# Runs a Windows program of the build under Wine in the test environment (CMake's
# cross-compiling emulator). The program's exit code is ours.
set -u
: "${RORA_TEST_ENV:?RORA_TEST_ENV names the test environment (scripts/test-env.sh)}"
# shellcheck disable=SC1091
. "$RORA_TEST_ENV/env"
# Tests that mean a direct connection must not see the developer's proxy variables.
unset http_proxy https_proxy no_proxy all_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY ALL_PROXY
exec timeout -k 10 "${RORA_WINE_TIMEOUT:-600}" wine "$@"
