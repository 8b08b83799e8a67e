# The project's commands. Each installs what it needs first (Debian packages, the libcurl
# build), idempotently.
.PHONY: deps configure build test demo bench clean

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

clean:
	rm -rf build
