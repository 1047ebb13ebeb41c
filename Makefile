# Entry points for people: `make demo` builds and runs the example, `make test`
# builds and runs the whole test suite. Both install missing packages first.
BUILD ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test asan tsan fuzz-daemon bench clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DVAVEVAR_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	./$(BUILD)/examples/vavevar_demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Sanitizer builds, with clang so that both compilers are exercised.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DVAVEVAR_SANITIZE=address,undefined -DVAVEVAR_BUILD_BENCH=OFF"

tsan:
	$(MAKE) build BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DVAVEVAR_SANITIZE=thread -DVAVEVAR_BUILD_BENCH=OFF"
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threaded --no-tests=ignore

# The daemon's request parser under libFuzzer for FUZZ_SECONDS, starting from
# the seed corpus; what it finds is kept in build-fuzz/corpus-daemon.
FUZZ_SECONDS ?= 60
fuzz-daemon: deps
	cmake -S . -B build-fuzz -G Ninja -DVAVEVAR_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAVEVAR_FUZZ=ON -DVAVEVAR_BUILD_TESTS=OFF -DVAVEVAR_BUILD_BENCH=OFF -DVAVEVAR_BUILD_EXAMPLES=OFF
	cmake --build build-fuzz -j $(JOBS) --target vavevard_request_fuzz
	mkdir -p build-fuzz/corpus-daemon
	./build-fuzz/daemon/fuzz/vavevard_request_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build-fuzz/ build-fuzz/corpus-daemon daemon/fuzz/corpus

bench: build
	./$(BUILD)/bench/vavevar_bench

clean:
	rm -rf build build-asan build-tsan build-fuzz
