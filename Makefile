# Thin front end over CMake + Ninja. `make play` builds and starts local play,
# `make test` builds and runs every test, `make install` installs (PREFIX,
# DESTDIR) and `make package` builds the Debian package.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
PREFIX     ?= /usr/local
JOBS       ?= 2

.PHONY: all setup build play test asan-test tsan-test bench fuzz install package clean

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
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target mzDELVE tuned_server server_tests server_table_tests accounts_concurrency_tests log_tests records_tests web_tests
	ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L server

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDELVE_FUZZ=ON -DDELVE_TESTS=OFF -DDELVE_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

# Debian's own tooling builds the package from debian/ (see debian/rules).
# dpkg-buildpackage writes into the parent directory by default; everything it
# makes goes to build-package/ instead, which each run starts afresh.
package: setup
	rm -rf build-package && mkdir build-package
	pva=$$(dpkg-parsechangelog -S Source)_$$(dpkg-parsechangelog -S Version)_$$(dpkg-architecture -qDEB_HOST_ARCH); \
	DEB_BUILD_OPTIONS="parallel=$(JOBS)" DELVE_DEB_DIR="$(CURDIR)/build-package" dpkg-buildpackage -b -us -uc \
	  --buildinfo-option=-ubuild-package --buildinfo-file=build-package/$$pva.buildinfo \
	  --changes-option=-ubuild-package --changes-file=build-package/$$pva.changes
	@ls build-package/*.deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-package
	rm -rf debian/.debhelper debian/mzdelve debian/files debian/*.substvars debian/debhelper-build-stamp
