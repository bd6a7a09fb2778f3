# Thin wrapper around CMake: `make`, `make test`, `make demo`, `make test-asan`, `make test-tsan`,
# `make fuzz`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test demo clean

all: build

build:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	sh examples/demo.sh $(BUILD)/quillo

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz

.PHONY: bench
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_BENCH=ON -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target codec_bench quillo
	build-bench/bench/codec_bench
	sh bench/tool_bench.sh build-bench/quillo

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer (the tool
# that the suite runs as a child process is built the same way). A sanitizer report
# in the tool exits with its own code, so it never passes for the tool's status 1.
ASAN_FLAGS = -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all -g -O1
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:exitcode=86:abort_on_error=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=87

.PHONY: test-asan
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(ASAN_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=$(ASAN_FLAGS)"
	cmake --build build-asan -j $(JOBS)
	cd build-asan && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The whole suite under ThreadSanitizer, the tool that it runs included: the worker
# threads of create and repack must show no race. A report exits with its own code.
TSAN_FLAGS = -fsanitize=thread -fno-omit-frame-pointer -g -O1

.PHONY: test-tsan
test-tsan:
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=$(TSAN_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=$(TSAN_FLAGS)"
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:exitcode=88 ctest --output-on-failure -j $(JOBS)

# libFuzzer harnesses (clang): build, write the seeds, run each for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
FUZZERS = fuzz_codec fuzz_package fuzz_options
FUZZ_MAX_LEN_fuzz_codec = 16384
FUZZ_MAX_LEN_fuzz_package = 32768
FUZZ_MAX_LEN_fuzz_options = 512

.PHONY: fuzz fuzz-build
fuzz-build:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DQUILLO_BUILD_FUZZERS=ON -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-fuzz -j $(JOBS) --target $(FUZZERS) make_seeds
	build-fuzz/fuzz/make_seeds fuzz/corpus

fuzz: fuzz-build
	mkdir -p fuzz/artifacts
	$(foreach f,$(FUZZERS),echo "== $(f) ($(FUZZ_SECONDS) s)" && \
		build-fuzz/fuzz/$(f) -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
		-max_len=$(FUZZ_MAX_LEN_$(f)) -print_final_stats=1 \
		-artifact_prefix=fuzz/artifacts/$(f)- fuzz/corpus/$(f) && ) true

# Cross build of quillo.exe for 64-bit Windows (needs g++-mingw-w64-x86-64 and libz-mingw-w64-dev).
.PHONY: windows
windows:
	cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-win -j $(JOBS)
