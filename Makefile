# Entry points: `make test` (everything the CI runs), `make demo` (the main
# job with the simulated server and engines), `make bench`, `make soak`.
# Each installs what is missing first when run as root on Debian.

JOBS ?= 2
BUILD ?= build
DEPS = g++ cmake make pkg-config libprotobuf-dev protobuf-compiler libgtest-dev \
       python3 python3-protobuf faketime clang libclang-rt-14-dev \
       libclamav-dev spamassassin libmilter-dev libsystemd-dev miltertest postfix
# Sanitizer reports land here; any file in it fails the run.
SANDIR = $(CURDIR)/build-reports

.PHONY: all deps build test test-plain test-asan test-tsan demo clean

all: build

deps:
	@missing=""; for p in $(DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# AddressSanitizer with UndefinedBehaviorSanitizer and leak checking.
test-asan: deps
	CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=address -DTARNWICK_FUZZ=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	rm -rf $(SANDIR)/asan && mkdir -p $(SANDIR)/asan
	cd build-asan && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:log_path=$(SANDIR)/asan/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANDIR)/asan/ubsan \
	  ctest --output-on-failure -j$(JOBS)
	@if [ -n "$$(ls -A $(SANDIR)/asan)" ]; then cat $(SANDIR)/asan/*; echo "sanitizer reports found"; exit 1; fi

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread >/dev/null
	cmake --build build-tsan -j$(JOBS)
	rm -rf $(SANDIR)/tsan && mkdir -p $(SANDIR)/tsan
	cd build-tsan && \
	  TSAN_OPTIONS=halt_on_error=0:second_deadlock_stack=1:log_path=$(SANDIR)/tsan/tsan \
	  ctest --output-on-failure -j$(JOBS)
	@if [ -n "$$(ls -A $(SANDIR)/tsan)" ]; then cat $(SANDIR)/tsan/*; echo "sanitizer reports found"; exit 1; fi

test: test-plain test-asan test-tsan

# ENGINES=real runs the demo against quillon-clamd and quillon-spamd.
ENGINES ?= sim
demo: build
	/usr/bin/python3 sim/server.py --bin $(BUILD)/bin --engines $(ENGINES)

clean:
	rm -rf build build-*

# Throughput, latency, peak memory and idle cost of both programs against
# the floor relays in bench/; prints a table and writes BUILD/bench-results.json.
.PHONY: bench
bench: build
	/usr/bin/python3 bench/bench.py --bin $(BUILD)/bin

# The whole chain under a private Postfix: tarnwick-milter (both filters on
# quillon-clamd and quillon-spamd) against clamav-milter and spamass-milter
# on the same database and spamd; prints the side-by-side table.  Root only;
# installs the peers' packages.  Not part of test.
MTA_BENCH_DEPS = clamav-milter clamav-daemon spamass-milter spamc
.PHONY: bench-mta
bench-mta: build
	@missing=""; for p in $(MTA_BENCH_DEPS); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi
	/usr/bin/python3 bench/bench_mta.py --bin $(BUILD)/bin

# 100,000 small messages through each program against the instant simulated
# engine: every request answered exactly once, resident memory flat after
# the first thousand; prints run time and memory figures.  Not part of test.
.PHONY: soak
soak: build
	TARNWICK_BIN=$(CURDIR)/$(BUILD)/bin TARNWICK_PY=$(CURDIR)/$(BUILD)/python /usr/bin/python3 tests/soak/soak.py
