# Set-up, build and test in one place. `make demo` and `make test` work on a
# fresh Debian 12 machine: both install what is missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

PACKAGES := g++ make cmake pkg-config ccache \
  libssl-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev \
  libspdlog-dev libfmt-dev libminizip-dev zlib1g-dev libplist-dev libicu-dev \
  libcpp-httplib-dev libexiv2-dev libgtest-dev libgmock-dev libbenchmark-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-shuffle sanitize tsan demo clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest -j $(JOBS) --output-on-failure

# Every test binary in one process, in random order, three times over: what
# one test leaves behind must not change another's outcome.
test-shuffle: build
	@set -e; for binary in $(BUILD_DIR)/tests/*_tests; do \
	  echo "$$binary --gtest_shuffle --gtest_repeat=3"; \
	  "$$binary" --gtest_shuffle --gtest_repeat=3 --gtest_brief=1; \
	done

# The whole suite built and run under AddressSanitizer and
# UndefinedBehaviorSanitizer, or under ThreadSanitizer, each in a build
# directory of its own.
SANITIZE_FLAGS := -DLUMORA_BUILD_BENCH=OFF $(CMAKE_FLAGS)

sanitize: deps
	cmake -S . -B $(BUILD_DIR)-asan -DLUMORA_SANITIZE=address,undefined $(SANITIZE_FLAGS)
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	cd $(BUILD_DIR)-asan && ASAN_OPTIONS=detect_stack_use_after_return=1:strict_init_order=1 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

tsan: deps
	cmake -S . -B $(BUILD_DIR)-tsan -DLUMORA_SANITIZE=thread $(SANITIZE_FLAGS)
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	cd $(BUILD_DIR)-tsan && TSAN_OPTIONS=second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest -j $(JOBS) --output-on-failure

demo: build
	@scripts/demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-asan $(BUILD_DIR)-tsan
