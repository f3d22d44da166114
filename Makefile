# Thin front end over CMake + Ninja. `make play` builds and starts local play,
# `make test` builds and runs every test.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
JOBS       ?= 2

.PHONY: all setup build play test asan-test tsan-test bench fuzz clean

all: build

setup:
	@tools/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

play: build
	./$(BUILD)/src/app/mzDELVE

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan-test: setup
	CC=clang CXX=clang++ cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDELVE_SANITIZE=ON -DDELVE_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

tsan-test: setup
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDELVE_TSAN=ON -DDELVE_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target mzDELVE server_tests server_table_tests accounts_concurrency_tests
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L server

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELVE_FUZZ=ON -DDELVE_TESTS=OFF -DDELVE_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
