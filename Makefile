# Thin wrapper around CMake: `make`, `make test`, `make demo`, `make test-asan`, `make test-tsan`,
# `make fuzz`, `make install PREFIX=P`, `make windows`, `make test-windows`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Checks for what a leg needs and installs what is missing where allowed (see the script).
DEPS = sh tools/deps.sh

.PHONY: all build test demo clean

all: build

build:
	$(DEPS) build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	sh examples/demo.sh $(BUILD)/quillo

# Installs the tool, the package library, its headers, CMake and pkg-config files and
# the manual page below PREFIX (DESTDIR, when set, is put in front of every path).
PREFIX ?= /usr/local

.PHONY: install
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(WIN_BUILD) build-pkg build-pkg-win dist

# `make bench`: quillo against zip and unzip on three trees of real files (see README),
# table in bench/RESULTS.md. The trees are made by CORPORA_SCRIPT (relative to the
# repository root) when missing. Not part of `make test`.
CORPORA ?= $(HOME)/.cache/quillo-corpora
CORPORA_SCRIPT ?= ../shared/bench-corpora.sh
REPS ?= 5
REPS_BIG ?= 3
BENCH_THREADS ?= default
BENCH_TOOL ?= build-bench/quillo
BENCH_ONLY ?=
BENCH_WORKS ?=
BENCH_RESULTS ?= bench/RESULTS.md
BENCH_SCRATCH ?=
# The extract runs again with its packages and outputs here ("" to skip).
BENCH_MEMORY ?= /dev/shm
BENCH_NOTE ?=

.PHONY: bench bench-build bench-codec
bench-build:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_BENCH=ON -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target codec_bench quillo

bench: bench-build
	command -v python3 >/dev/null || { apt-get update -qq && apt-get install -y -qq python3; }
	python3 bench/tool_bench.py --corpora "$(CORPORA)" --script "$(CORPORA_SCRIPT)" \
		--tool "$(BENCH_TOOL)" --only "$(BENCH_ONLY)" --works "$(BENCH_WORKS)" --reps $(REPS) --reps-big $(REPS_BIG) \
		--threads $(BENCH_THREADS) --results "$(BENCH_RESULTS)" --scratch "$(BENCH_SCRATCH)" \
		--memory "$(BENCH_MEMORY)" --codec-bench build-bench/bench/codec_bench --note "$(BENCH_NOTE)"

# The block codec with reused zlib streams against a fresh stream per block.
bench-codec: bench-build
	build-bench/bench/codec_bench

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer (the tool
# that the suite runs as a child process is built the same way). A sanitizer report
# in the tool exits with its own code, so it never passes for the tool's status 1.
ASAN_FLAGS = -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g -O1
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:exitcode=86:abort_on_error=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87

.PHONY: test-asan
test-asan:
	$(DEPS) build
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(ASAN_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=$(ASAN_FLAGS)"
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer, the tool that it runs included: the worker
# threads of create and repack must show no race. A report exits with its own code.
TSAN_FLAGS = -fsanitize=thread -fno-omit-frame-pointer -g -O1

.PHONY: test-tsan
test-tsan:
	$(DEPS) build
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(TSAN_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=$(TSAN_FLAGS)"
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:exitcode=88 ctest --output-on-failure -j $(JOBS)

# libFuzzer harnesses (clang): build, write the seeds, run each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZERS = fuzz_codec fuzz_decode fuzz_package fuzz_options fuzz_repack fuzz_extract
FUZZ_MAX_LEN_fuzz_codec = 16384
FUZZ_MAX_LEN_fuzz_decode = 16384
FUZZ_MAX_LEN_fuzz_package = 32768
FUZZ_MAX_LEN_fuzz_options = 512
FUZZ_MAX_LEN_fuzz_repack = 16384
FUZZ_MAX_LEN_fuzz_extract = 16384
# The extract command prints its progress, error and diagnostic lines (stdout and
# stderr): not wanted in the log; libFuzzer keeps its own output.
FUZZ_FLAGS_fuzz_extract = -close_fd_mask=3

.PHONY: fuzz fuzz-build
fuzz-build:
	$(DEPS) build fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUILLO_BUILD_FUZZERS=ON -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZERS) make_seeds
	build-fuzz/fuzz/make_seeds fuzz/corpus

fuzz: fuzz-build
	mkdir -p fuzz/artifacts
	$(foreach f,$(FUZZERS),echo "== $(f) ($(FUZZ_SECONDS) s)" && \
		build-fuzz/fuzz/$(f) -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
		-max_len=$(FUZZ_MAX_LEN_$(f)) $(FUZZ_FLAGS_$(f)) -print_final_stats=1 \
		-artifact_prefix=fuzz/artifacts/$(f)- fuzz/corpus/$(f) && ) true

# Cross build of quillo.exe for 64-bit Windows with MinGW-w64 (posix thread model),
# needs g++-mingw-w64-x86-64-posix and libz-mingw-w64-dev; the .exe needs no DLL.
WIN_BUILD ?= build-win
WIN_CONFIGURE = cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	-DCMAKE_BUILD_TYPE=Release

.PHONY: windows test-windows
windows:
	$(DEPS) build windows
	$(WIN_CONFIGURE) -DQUILLO_BUILD_TESTS=OFF
	cmake --build $(WIN_BUILD) -j $(JOBS)

# The tool and the whole suite cross-built the same way (GoogleTest from
# /usr/src/googletest) and run under Wine through ctest (needs wine64 and wine as
# well), with the import-table check and the comparison with the Linux tool's
# packages, for which the Linux tool is built first.
test-windows:
	$(DEPS) build windows wine
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS) --target quillo
	$(WIN_CONFIGURE) -DQUILLO_BUILD_TESTS=ON -DQUILLO_LINUX_TOOL=$(CURDIR)/$(BUILD)/quillo
	cmake --build $(WIN_BUILD) -j $(JOBS)
	sh tests/run_under_wine.sh $(WIN_BUILD) $(JOBS)

# `make package`: dist/quillo_VERSION_ARCH.deb (the tool, the manual page, the library
# with its headers, CMake and pkg-config files, the completion, the copyright file) and,
# from the Windows build, dist/quillo-VERSION-win64.zip (quillo.exe and its documents).
.PHONY: package
package:
	$(DEPS) build windows package
	cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DQUILLO_BUILD_TESTS=OFF
	cmake --build build-pkg -j $(JOBS)
	cd build-pkg && cpack -G DEB -B $(CURDIR)/dist
	cmake -S . -B build-pkg-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-pkg-win -j $(JOBS)
	cd build-pkg-win && cpack -G ZIP -B $(CURDIR)/dist
	rm -rf dist/_CPack_Packages
	ls dist
