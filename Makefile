# Set-up, build and test in one place. `make demo` and `make test` work on a
# fresh Debian 12 machine: both install what is missing first.

BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

PACKAGES := g++ make cmake pkg-config ccache \
  libssl-dev libcurl4-openssl-dev libsqlite3-dev nlohmann-json3-dev \
  libspdlog-dev libfmt-dev libminizip-dev zlib1g-dev libplist-dev libicu-dev \
  libcpp-httplib-dev libexiv2-dev libvips-dev libgtest-dev libgmock-dev libbenchmark-dev

PACKAGES += ninja-build clang

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test demo clean bench clang

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

demo: build
	@scripts/demo.sh $(BUILD_DIR)

# Benchmarks in their own Release tree, each next to its reference; not part
# of `make test`. See bench/README.md.
BENCH_DIR ?= build-bench
bench: deps
	@[ -f $(BENCH_DIR)/CMakeCache.txt ] || cmake -S . -B $(BENCH_DIR) $(NINJA_IF_THERE) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BENCH_DIR) -j $(JOBS) --target lumora_benchmarks
	@for b in $(BENCH_DIR)/bench/*Bench; do echo "==> $$b"; "$$b" $(BENCH_ARGS) || exit 1; done

# The whole tree with clang, warnings as errors, and its tests: the project
# builds with clang 14 as well as g++ 12 (CI runs both).
CLANG_DIR ?= build-clang
clang: deps
	@[ -f $(CLANG_DIR)/CMakeCache.txt ] || CXX=clang++ cmake -S . -B $(CLANG_DIR) $(NINJA_IF_THERE) -DLUMORA_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(CLANG_DIR) -j $(JOBS)
	cd $(CLANG_DIR) && ctest -j $(JOBS) --output-on-failure

clean:
	rm -rf $(BUILD_DIR) $(BENCH_DIR) $(CLANG_DIR)
