# Entry points for operators and CI; the build itself is CMake + Ninja.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps build demo test test-asan test-tsan test-all bench clean

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

# AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer.
test-asan: deps
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

test-all: test test-asan test-tsan

bench: build
	scripts/install-deps.sh socat
	bench/bench_receive.sh
	bench/bench_chain.sh

clean:
	rm -rf build build-asan build-tsan demo-run bench-run
