# Two commands do all set-up on a fresh Debian 12 or 13 machine (as root):
#   make demo   installs, builds and runs the main job
#   make test   installs, builds and runs every test
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
# Development and CI builds make every warning an error; a plain cmake build
# (anyone else's compiler and flags) does not.
DEV_FLAGS = -DQEL_WERROR=ON

.PHONY: all deps build test demo asan-test tsan-test fuzz-ci browser-test render-bench codec-bench farm-bench test-ffmpeg7 test-ffmpeg9 \
	warnings deb package-check clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(DEV_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	./scripts/install-deps.sh farm
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	./$(BUILD)/qelhost render
	ffprobe -hide_banner out/demo.mp4
	./scripts/check-demo.sh out/demo.mp4

# The farm test is left out: it runs the renders and the join the join
# tables run, through Slurm, and takes two minutes under the sanitizers.
asan-test: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQEL_SANITIZE=ON $(DEV_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -E '^farm$$'

# The tests of threads, module and stand-in host built with ThreadSanitizer:
# any race they see fails.
TSAN_BUILD ?= build-tsan
tsan-test: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_TSAN=ON $(DEV_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_threads
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tests/threads/tsan.supp)" ctest --test-dir $(TSAN_BUILD) --output-on-failure -R '^TwoThreads\.'

# A short coverage-guided run of each fuzz target under ASan + UBSan (the
# faststart conversion; the host's requests and a project's stored values),
# the two side by side, one core each; any finding fails. Only the fuzz targets are built: clang does not link the
# sanitized module as a shared library.
FUZZ_BUILD ?= build-fuzz
FUZZ_TIME ?= 60
fuzz-ci: deps
	./scripts/install-deps.sh clang
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_FUZZ=ON -DQEL_SANITIZE=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target faststart_fuzz request_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus/faststart $(FUZZ_BUILD)/corpus/request
	./scripts/fuzz-run.sh request $(FUZZ_BUILD)/request_fuzz -max_total_time=$(FUZZ_TIME) -max_len=1024 \
	  -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/request >$(FUZZ_BUILD)/request.log 2>&1 & request=$$!; \
	./scripts/fuzz-run.sh faststart $(FUZZ_BUILD)/faststart_fuzz -max_total_time=$(FUZZ_TIME) \
	  -dict=fuzz/faststart.dict -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/faststart fuzz/corpus/faststart; \
	faststart=$$?; wait $$request; requested=$$?; cat $(FUZZ_BUILD)/request.log; \
	[ $$faststart -eq 0 ] && [ $$requested -eq 0 ]

browser-test: build
	BUILD=$(abspath $(BUILD)) ./tests/browser/run.sh

# By hand, not in CI: ratios against the ffmpeg command line (bench/README.md).
# In a root of another release: scripts/debian-root.sh trixie render-bench
render-bench: build
	./bench/render_bench.sh $(BUILD)

# Every codec family through the plug-in, the command line and the encoder
# alone; SIZES, FRAMES_1080, FRAMES_2160, ROWS pick (bench/README.md).
codec-bench: build
	./bench/codec_table.sh $(BUILD)

# A farm render on a one-machine Slurm cluster against one render, the join
# against cp, and what a long master would take on more nodes (as root).
farm-bench: build
	./scripts/install-deps.sh farm
	./bench/farm_bench.sh $(BUILD)

# Every target, warnings as errors, as a user's or a packager's compiler
# would build it: GCC under Debian's own flags (dpkg-buildflags: hardening,
# format checks) at Release's -O3, which comes after their -O2; and clang.
warnings: deps
	./scripts/install-deps.sh clang dpkg-dev
	eval "$$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" && \
	  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release $(DEV_FLAGS) && \
	  cmake --build build-release -j $(JOBS)
	CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug $(DEV_FLAGS)
	cmake --build build-clang -j $(JOBS)

# The Debian package for the release this machine runs (out/deb/CODENAME/),
# built with debhelper under Debian's own flags and checked with lintian;
# package-check installs it into a clean root of the release and renders
# through it (as root).
deb:
	./scripts/make-deb.sh

package-check: build
	./scripts/package-check.sh $$(. /etc/os-release && echo $$VERSION_CODENAME) $(BUILD) /

# The whole suite, the demo and the package against another FFmpeg
# generation, inside a Debian root of the release that ships it (kept under
# /var/cache/qel-roots), the package then proven on a clean root of it.
ROOTS = $(or $(QEL_ROOTS),/var/cache/qel-roots)

test-ffmpeg7:
	QEL_WERROR=ON ./scripts/debian-root.sh trixie test demo deb
	./scripts/package-check.sh trixie build-trixie $(ROOTS)/trixie

test-ffmpeg9:
	QEL_WERROR=ON ./scripts/debian-root.sh sid test demo deb
	./scripts/package-check.sh sid build-sid $(ROOTS)/sid

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-release build-clang build-trixie build-sid out/deb
