# The project's commands. Each installs what it needs first (Debian packages, the libcurl
# build), idempotently.
.PHONY: deps configure build test demo bench release clean

PRESET ?= release
BUILD_DIR := build/$(PRESET)

deps:
	bash scripts/install-deps.sh

# scripts/build-curl.sh builds the pinned libcurl once (then answers from its cache) and prints
# its prefix last.
configure: deps
	out=$$(bash scripts/build-curl.sh) && \
	cmake --preset $(PRESET) -DRORA_DEPS_PREFIX="$$(printf '%s\n' "$$out" | tail -n1)" >/dev/null

build: configure
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

demo: build
	bash scripts/demo.sh $(BUILD_DIR)

bench: build
	bash bench/run.sh $(BUILD_DIR)

# The signed executable for shipping (scripts/release.sh; docs/releases.md):
#   make release RORA_INSTALLER_HOST=... RORA_PARAMETER_HOST=... RORA_INSTALLER_PUBLISHER=... \
#       RORA_INSTALLER_KEY_PINS='PIN;PIN' RORA_SIGNING_PKCS12=key.p12 RORA_SIGNING_PASSWORD_FILE=password RORA_TIMESTAMP_URL=http://... \
#       [RORA_SIGNING_CA=root.pem] [RORA_RELEASE_DIR=build/ship]
# RORA_TIMESTAMP_URL is required: an RFC 3161 time-stamp server, whose time stamp must verify, or
# none to sign without one (a warning: the signature then stops verifying when the certificate
# expires). The values reach the script in its environment exactly as given, quotes, blanks and $
# included: make does not expand them and no shell parses them again.
RELEASE_SETTINGS := RORA_INSTALLER_HOST RORA_PARAMETER_HOST RORA_INSTALLER_PUBLISHER RORA_INSTALLER_KEY_PINS RORA_SIGNING_PKCS12 \
	RORA_SIGNING_PASSWORD_FILE RORA_TIMESTAMP_URL RORA_SIGNING_CA RORA_RELEASE_DIR
$(foreach name,$(RELEASE_SETTINGS),$(eval release: override export $(name) := $$(value $(name))))
release: deps
	@bash scripts/release.sh

clean:
	rm -rf build
