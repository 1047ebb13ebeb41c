# Entry points for people: `make demo` builds everything and runs the quick
# start (daemon, subscriber, publishers), `make test`
# builds and runs the whole test suite. Both install missing packages first.
BUILD ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo demo-cluster test package package-check asan tsan fuzz fuzz-build fuzz-long fuzz-coverage bench bench-e2e bench-attack bench-peers bench-cluster clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G Ninja -DVAVEVAR_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	sh scripts/demo.sh $(BUILD)

# Three daemons bridged through a cluster of three nats-servers, shown and
# checked with the tool (docs/cluster.md, "Trying it"), on loopback;
# CLUSTER_DEMO_ARGS=--netns (root only) puts each node in a network namespace
# of its own.
CLUSTER_DEMO_ARGS ?=
demo-cluster: build
	bash scripts/cluster-demo.sh $(CLUSTER_DEMO_ARGS) $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Debian package, from a Release tree of its own with the prefix /usr:
# $(PKG_BUILD)/vavevar_VERSION-1_ARCH.deb (see the README's "Installing").
# Optimised at -O2, the level Debian builds its packages with (CMake's Release
# default, -O3, also draws a false -Wrestrict from g++ 12 in the daemon).
PKG_BUILD ?= build-pkg
package: deps
	cmake -S . -B $(PKG_BUILD) -G Ninja -DVAVEVAR_WERROR=ON -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
	    -DCMAKE_INSTALL_PREFIX=/usr -DVAVEVAR_BUILD_TESTS=OFF -DVAVEVAR_BUILD_BENCH=OFF \
	    -DVAVEVAR_BUILD_EXAMPLES=OFF
	cmake --build $(PKG_BUILD) -j $(JOBS)
	cd $(PKG_BUILD) && cpack -G DEB

# Installs the package into a scratch root with dpkg and runs the quick start,
# the examples and the manual pages from there; CI runs it.
package-check: package
	sh scripts/package-check.sh $(PKG_BUILD)

# Sanitizer builds, with clang so that both compilers are exercised.
asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DVAVEVAR_SANITIZE=address,undefined -DVAVEVAR_BUILD_BENCH=OFF"

tsan:
	$(MAKE) build BUILD=build-tsan CMAKE_FLAGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DVAVEVAR_SANITIZE=thread -DVAVEVAR_BUILD_BENCH=OFF"
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L threaded --no-tests=ignore

# Bounded libFuzzer runs under ASan and UBSan of everything that reads bytes
# from outside: body blocks, inbound events, the daemon's requests and the
# whole daemon driven through its sockets (docs/fuzzing.md). FUZZ_SECONDS is
# per target; FUZZ_TARGETS picks some (all by default). The corpus each target
# grows stays in build-fuzz/fuzz-work/, so later runs start from it.
FUZZ_SECONDS ?= 45
FUZZ_TARGETS ?=
fuzz-build: deps
	cmake -S . -B build-fuzz -G Ninja -DVAVEVAR_WERROR=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVAVEVAR_SANITIZE=address,undefined -DVAVEVAR_FUZZ=ON -DVAVEVAR_BUILD_TESTS=OFF -DVAVEVAR_BUILD_BENCH=OFF -DVAVEVAR_BUILD_EXAMPLES=OFF
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	sh tests/fuzz/run.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# An hour per target, for a campaign rather than a check.
fuzz-long:
	$(MAKE) fuzz FUZZ_SECONDS=3600

# Line coverage of the daemon's sources from the daemon targets' corpora
# (needs llvm-cov-14 and llvm-profdata-14, Debian's llvm-14).
fuzz-coverage:
	sh daemon/fuzz/coverage.sh build-fuzz-cov build-fuzz/fuzz-work

bench: build
	./$(BUILD)/bench/vavevar_bench

# Publisher process -> vavevard -> subscriber process (see docs/performance.md).
bench-e2e: build
	./$(BUILD)/bench/vavevar_e2e_bench

# vavevar, NATS and Redis pub/sub side by side, interleaved over rounds (see
# docs/performance.md); PEERS_ARGS passes options through, e.g.
# PEERS_ARGS="--count 20000 --pings 2000 --rounds 1" for a quick look.
PEERS_ARGS ?=
bench-peers: build
	./$(BUILD)/bench/vavevar_peers_bench $(PEERS_ARGS)

# Events from a publisher on one daemon to a subscriber on another, bridged
# through NATS, next to the same within one daemon (see docs/performance.md);
# CLUSTER_BENCH_ARGS passes options through, e.g. "--count 20000 --rounds 1".
CLUSTER_BENCH_ARGS ?=
bench-cluster: build
	./$(BUILD)/bench/vavevar_cluster_bench $(CLUSTER_BENCH_ARGS)

# Attacks on vavevard and a well-behaved client's delivery meanwhile, a few
# minutes (see docs/performance.md); ATTACK_ARGS passes options through.
ATTACK_ARGS ?=
bench-attack: build
	./$(BUILD)/bench/vavevar_attack_bench $(ATTACK_ARGS)

clean:
	rm -rf build build-asan build-tsan build-fuzz build-fuzz-cov build-pkg
