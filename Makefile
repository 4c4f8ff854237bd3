# Two commands do all set-up on a fresh Debian 12 machine (as root):
#   make demo   installs, builds and runs the main job
#   make test   installs, builds and runs every test
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all deps build test demo asan-test browser-test clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	./$(BUILD)/qelhost render
	ffprobe -hide_banner out/demo.mp4

asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

browser-test: build
	BUILD=$(abspath $(BUILD)) ./tests/browser/run.sh

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
