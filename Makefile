# Thin wrapper around CMake: `make`, `make test`, `make demo`, `make test-asan`, `make fuzz`.
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
	rm -rf $(BUILD) build-asan build-fuzz

.PHONY: bench
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUILLO_BUILD_BENCH=ON -DQUILLO_BUILD_TESTS=OFF
	cmake --build build-bench -j $(JOBS) --target codec_bench quillo
	build-bench/bench/codec_bench
	sh bench/tool_bench.sh build-bench/quillo
