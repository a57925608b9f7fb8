# Set-up, build and test in one place. `make demo` and `make test` work on a
# fresh Debian 12 machine: both install what is missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

# xvfb (with xauth for xvfb-run): the window tests open the app on a
# virtual X server of their own, and use it with xdotool.
PACKAGES := g++ make cmake pkg-config ccache \
  libssl-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev \
  libspdlog-dev libfmt-dev libminizip-dev zlib1g-dev libplist-dev libicu-dev \
  libcpp-httplib-dev libexiv2-dev libvips-dev libpng-dev libgtest-dev libgmock-dev libbenchmark-dev \
  libunwind-dev qt6-base-dev fonts-wqy-microhei xvfb xauth xdotool

PACKAGES += ninja-build clang libclang-rt-14-dev lld

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-shuffle sanitize tsan demo clean bench clang clang-build fuzz

all: build

# One dpkg-query for all packages: a machine with everything installed
# passes in a few milliseconds.
deps:
	@installed=" $$(dpkg-query -W -f='$${db:Status-Abbrev}$${Package}\n' $(PACKAGES) 2>/dev/null | sed -n 's/^ii  *//p' | tr '\n' ' ')"; \
	missing=""; \
	for p in $(PACKAGES); do \
	  case "$$installed" in *" $$p "*) ;; *) missing="$$missing $$p" ;; esac; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# Ninja when it is there: a build with nothing to do takes 0.02 s instead of
# half a second (every `make demo` and `make test` starts with one).
NINJA_IF_THERE = $$(command -v ninja >/dev/null 2>&1 && echo -G Ninja)

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(NINJA_IF_THERE) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure

# Every test binary in one process, in random order, three times over (or
# SHUFFLE_REPEAT times), JOBS binaries at a time: what one test leaves
# behind must not change another's outcome.
SHUFFLE_REPEAT ?= 3
test-shuffle: build
	@scripts/test-shuffle.sh $(BUILD_DIR) $(SHUFFLE_REPEAT) $(JOBS)

# The whole suite built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer, or under ThreadSanitizer, each in a build
# directory of its own. The AddressSanitizer tree compiles file by file: in
# a unity batch the files' static initialisers run in a fixed order, and
# strict_init_order could not catch one that reads another file's globals.
SANITIZE_FLAGS := -DLUMORA_BUILD_BENCH=OFF $(CMAKE_FLAGS)

sanitize: deps
	cmake -S . -B $(BUILD_DIR)-asan -DLUMORA_SANITIZE=address,undefined -DLUMORA_UNITY=OFF $(SANITIZE_FLAGS)
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	cd $(BUILD_DIR)-asan && ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

tsan: deps
	cmake -S . -B $(BUILD_DIR)-tsan -DLUMORA_SANITIZE=thread $(SANITIZE_FLAGS)
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	cd $(BUILD_DIR)-tsan && TSAN_OPTIONS=second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest -j $(JOBS) --output-on-failure

demo: build
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks in their own Release tree, each next to its reference; not part
# of `make test`. See bench/README.md.
BENCH_DIR ?= build-bench
bench: deps
	@[ -f $(BENCH_DIR)/CMakeCache.txt ] || cmake -S . -B $(BENCH_DIR) $(NINJA_IF_THERE) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BENCH_DIR) -j $(JOBS) --target lumora_benchmarks
	@for b in $(BENCH_DIR)/bench/*Bench; do echo "==> $$b"; QT_QPA_PLATFORM=$${QT_QPA_PLATFORM:-offscreen} "$$b" $(BENCH_ARGS) || exit 1; done

# The whole tree with clang, warnings as errors, and its tests: the project
# builds with clang 14 as well as g++ 12 (CI runs both).
CLANG_DIR ?= build-clang
clang: clang-build
	cd $(CLANG_DIR) && ctest -j $(JOBS) --output-on-failure

# The clang build alone (CI builds it unoptimised: a warnings check that
# takes half the time of an optimised build).
clang-build: deps
	@[ -f $(CLANG_DIR)/CMakeCache.txt ] || CXX=clang++ cmake -S . -B $(CLANG_DIR) $(NINJA_IF_THERE) -DLUMORA_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(CLANG_DIR) -j $(JOBS)

# The libFuzzer targets of fuzz/, built with clang in their own tree with
# every library instrumented, each run for FUZZ_SECONDS (or FUZZ_RUNS
# inputs), FUZZ_JOBS at a time; not part of `make test`. See fuzz/README.md.
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 4
FUZZ_RUNS ?=
fuzz: deps
	@[ -f $(FUZZ_DIR)/CMakeCache.txt ] || CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(NINJA_IF_THERE) -DLUMORA_FUZZ=ON -DLUMORA_BUILD_BENCH=OFF -DLUMORA_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_DIR) -j $(JOBS) --target lumora_fuzzers
	@FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_RUNS=$(FUZZ_RUNS) FUZZ_JOBS=$(FUZZ_JOBS) scripts/fuzz.sh $(FUZZ_DIR)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-asan $(BUILD_DIR)-tsan $(BENCH_DIR) $(CLANG_DIR) $(FUZZ_DIR)
