# The project's commands. Each installs what it needs first (Debian packages, the libcurl
# build), idempotently.
.PHONY: deps configure build test demo bench clean

PRESET ?= release
BUILD_DIR := build/$(PRESET)

deps:
	bash scripts/install-deps.sh
	bash scripts/build-curl.sh >/dev/null

configure: deps
	cmake --preset $(PRESET) -DRORA_DEPS_PREFIX="$$(bash scripts/build-curl.sh | tail -n1)" >/dev/null

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
