# Entry points for operators and CI; the build itself is CMake + Ninja.
BUILD ?= build
JOBS ?= 2

WIN_BUILD ?= build-win

.PHONY: all deps build demo test test-asan test-tsan test-all fuzz windows test-windows package test-package bench clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	scripts/demo.sh

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sanitizer builds run the in-process suites (unit, relay): processes,
# the chaos run, Wine and the package run once, in the plain build. The
# AddressSanitizer + UndefinedBehaviorSanitizer tree is built with clang and
# also holds the libFuzzer targets over the stream header, settings.ini and
# the forwarding files, which run for FUZZ_SECONDS each on a copy of their
# corpus (tests/fuzz/corpus).
FUZZ_SECONDS ?= 20
SANITIZER_TESTS = tarnwick_unit_tests tarnwick_relay_tests

test-asan: deps
	scripts/install-deps.sh clang-14 libclang-rt-14-dev
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DTARNWICK_SANITIZE=address -DTARNWICK_FUZZ=ON -DTARNWICK_PROCESS_TESTS=OFF
	cmake --build build-asan -j $(JOBS) --target $(SANITIZER_TESTS) fuzz_targets
	ctest --test-dir build-asan -L 'unit|relay' --output-on-failure -j $(JOBS)
	tests/fuzz/run_fuzzers.sh build-asan $(FUZZ_SECONDS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=thread -DTARNWICK_PROCESS_TESTS=OFF
	cmake --build build-tsan -j $(JOBS) --target $(SANITIZER_TESTS)
	ctest --test-dir build-tsan -L 'unit|relay' --output-on-failure -j $(JOBS)

# The fuzz targets alone, for longer runs: make fuzz FUZZ_SECONDS=600
fuzz: deps
	scripts/install-deps.sh clang-14 libclang-rt-14-dev
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DTARNWICK_SANITIZE=address -DTARNWICK_FUZZ=ON -DTARNWICK_PROCESS_TESTS=OFF
	cmake --build build-asan -j $(JOBS) --target fuzz_targets
	tests/fuzz/run_fuzzers.sh build-asan $(FUZZ_SECONDS)

test-all: test test-asan test-tsan test-windows

# tarnwick.exe and tarnwick-send.exe for 64-bit Windows, cross-compiled with
# MinGW-w64 against a static OpenSSL, prometheus-cpp and civetweb built once
# from Debian's source packages.
windows:
	scripts/install-deps.sh g++-mingw-w64-x86-64-posix dpkg-dev
	openssl_root=$$(scripts/build-openssl-mingw.sh) && \
	prometheus_root=$$(JOBS=$(JOBS) scripts/build-prometheus-mingw.sh) && \
	cmake -S . -B $(WIN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -U 'OPENSSL_*' -U 'LIB_EAY*' -U 'SSL_EAY*' -U prometheus-cpp_DIR -U civetweb_DIR \
	  -DOPENSSL_ROOT_DIR="$$openssl_root" -DCMAKE_PREFIX_PATH="$$prometheus_root" -DTARNWICK_TESTS=OFF
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cd $(WIN_BUILD) && cpack -G ZIP

# A .deb of the programs, manual pages, the unit template and an example
# configuration (build/tarnwick_<version>_<arch>.deb).
package: build
	scripts/install-deps.sh dpkg-dev file
	cd $(BUILD) && cpack -G DEB

# Installs that package on this machine (as root) and runs what it installed.
test-package: package
	scripts/test-package.sh $(BUILD)

# The Windows build as a service under Wine, relaying to and from Linux relays.
test-windows: build windows
	scripts/install-deps.sh wine wine64 iproute2 curl
	tests/wine/wine_service_test.sh $(WIN_BUILD) $(BUILD)

# One table of throughput, memory and throttle figures against socat, then
# the backlog, the abusive clients and the CPU that hashing costs per GiB
# (against BASE_BUILD_DIR, a build without save identities, when it is set;
# bench_receive.sh and bench_chain.sh still run on their own), and what a
# storm on the metrics endpoint costs a sender.
bench: build
	scripts/install-deps.sh socat
	bench/bench_table.sh
	bench/bench_backlog.sh
	bench/bench_abuse.sh
	bench/bench_cost.sh
	bench/bench_metrics.sh

clean:
	rm -rf build build-asan build-tsan $(WIN_BUILD) demo-run bench-run
