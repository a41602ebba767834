# Entry points: `make test` (everything the CI runs), `make demo` (the main
# job with the simulated server and engines), `make install`, `make package`,
# `make bench`, `make soak`, `make bench-engines`.  Each installs what is missing first when run as
# root on Debian.

JOBS ?= 2
# Tests run at once: most of a test's time is spent waiting on the programs'
# own deadlines (a suite keeps about a third of one CPU busy), so twice the
# build's count of jobs; every bound a test sets stretches with the load.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
BUILD ?= build
# What building and running the filters and simulators needs (make demo).
DEMO_DEPS = g++ cmake make pkg-config libprotobuf-dev protobuf-compiler python3
# The engine daemons: quillon-clamd links libclamav, quillon-spamd asks the
# spamd of Debian's package of that name, quillon-rspamd reads rspamd's JSON
# with nlohmann-json (headers only); tarnwick-milter speaks the milter
# protocol itself and links libsystemd only.
ENGINE_DEPS = libclamav-dev libsystemd-dev spamd nlohmann-json3-dev
# The test suite on top: GoogleTest, the generated Python classes, the clock
# under libfaketime, the sanitizer and fuzzer builds, the exporter's parser
# and picture, the package check, the milter host's client, a real Postfix,
# ClamAV's clamd for quillon-clamd's pool and its test files for the bench,
# rspamd (and its rspamc) for quillon-rspamd, promtool (package prometheus)
# for the alerting rules' cases, clang-format for the sources' layout.
DEPS = $(DEMO_DEPS) $(ENGINE_DEPS) libgtest-dev python3-protobuf faketime clang clang-format \
       libclang-rt-14-dev python3-prometheus-client python3-matplotlib dpkg-dev file systemd \
       pandoc miltertest postfix clamav-daemon clamav-testfiles lintian rspamd prometheus
# The Debian package: manual pages (pandoc) and dpkg-shlibdeps (dpkg-dev, file).
PACKAGE_DEPS = $(DEMO_DEPS) $(ENGINE_DEPS) pandoc dpkg-dev file
# ccache, where installed, keeps rebuilds (and fresh clones) quick.
LAUNCHER = $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Sanitizer reports land here; any file in it fails the run.
SANDIR = $(CURDIR)/build-reports

.PHONY: all deps build test test-plain test-asan test-tsan test-stress demo clean install package \
        check-deploy check-fresh check-cluster

all: build

# `make deps` installs $(DEPS); other targets pass their own list.
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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) >/dev/null
	cmake --build $(BUILD) -j$(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS)

# AddressSanitizer with UndefinedBehaviorSanitizer and leak checking; the
# libFuzzer targets are built and run there too.
ASAN_CONFIGURE = CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
                 -DSANITIZE=address -DTARNWICK_FUZZ=ON $(LAUNCHER) >/dev/null
TSAN_CONFIGURE = cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=thread $(LAUNCHER) >/dev/null
define run_asan
	rm -rf $(SANDIR)/asan && mkdir -p $(SANDIR)/asan
	cd build-asan && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:log_path=$(SANDIR)/asan/asan \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(SANDIR)/asan/ubsan \
	  ctest --output-on-failure -j$(TEST_JOBS)
	@if [ -n "$$(ls -A $(SANDIR)/asan)" ]; then cat $(SANDIR)/asan/*; echo "sanitizer reports found"; exit 1; fi
endef
define run_tsan
	rm -rf $(SANDIR)/tsan && mkdir -p $(SANDIR)/tsan
	cd build-tsan && \
	  TSAN_OPTIONS=halt_on_error=0:second_deadlock_stack=1:log_path=$(SANDIR)/tsan/tsan \
	  ctest --output-on-failure -j$(TEST_JOBS)
	@if [ -n "$$(ls -A $(SANDIR)/tsan)" ]; then cat $(SANDIR)/tsan/*; echo "sanitizer reports found"; exit 1; fi
endef
# A build in the background of a test run: at low priority, its output in
# DIR/build.log, shown only when it fails.
define quiet_build
	@echo "building $(1)/ in the background (log: $(1)/build.log)"
	@nice -n 10 cmake --build $(1) -j$(JOBS) >$(1)/build.log 2>&1 || \
	  { cat $(1)/build.log; echo "build failed (log: $(1)/build.log)"; exit 1; }
endef

test-asan: deps
	$(ASAN_CONFIGURE)
	cmake --build build-asan -j$(JOBS)
	$(run_asan)

test-tsan: deps
	$(TSAN_CONFIGURE)
	cmake --build build-tsan -j$(JOBS)
	$(run_tsan)

# The three suites one after the other, as test-plain, test-asan and
# test-tsan run them; each sanitizer build compiles while the suite before
# it runs, which spends most of its time waiting on the programs' own time
# limits (the tests keep their priority).  Stops at the first failure.
test: deps
	@$(MAKE) --no-print-directory -j2 pipeline-tsan-tests

.PHONY: pipeline-plain-tests pipeline-asan-build pipeline-asan-tests pipeline-tsan-build \
        pipeline-tsan-tests
pipeline-plain-tests: build
	cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS)
pipeline-asan-build: build
	@$(ASAN_CONFIGURE)
	$(call quiet_build,build-asan)
pipeline-asan-tests: pipeline-plain-tests pipeline-asan-build
	$(run_asan)
pipeline-tsan-build: pipeline-asan-build
	@$(TSAN_CONFIGURE)
	$(call quiet_build,build-tsan)
pipeline-tsan-tests: pipeline-asan-tests pipeline-tsan-build
	$(run_tsan)

# The plain and the ThreadSanitizer suites three times each (ROUNDS=n for
# another count) while stress-ng keeps every CPU busy; passes only when
# every run passes, and prints each run's result and time.  Both builds
# are made first, without the load.  Not part of test.
STRESS_DEPS = stress-ng
test-stress: build
	@$(MAKE) --no-print-directory -s deps DEPS="$(STRESS_DEPS)"
	$(TSAN_CONFIGURE)
	cmake --build build-tsan -j$(JOBS)
	JOBS=$(JOBS) tests/stress/run.sh

# The demo, the benchmark and the soak run import the test harness
# (sim/harness/) as the end-to-end tests do: sim/ on PYTHONPATH.
HARNESS_ENV = PYTHONPATH=$(CURDIR)/sim PYTHONDONTWRITEBYTECODE=1

# ENGINES=real runs the demo against quillon-clamd and quillon-spamd.
# The demo builds only what it runs, in a tree of its own, quietly; the
# build log is shown only when the build fails.
ENGINES ?= sim
DEMO_BUILD = build-demo
DEMO_TARGETS = $(strip Tarnwick-AV Tarnwick-AS sim-scan-engine sim-spam-engine \
               $(if $(filter real,$(ENGINES)),quillon-clamd quillon-spamd))
demo:
	@$(MAKE) --no-print-directory -s deps DEPS="$(DEMO_DEPS) $(if $(filter real,$(ENGINES)),$(ENGINE_DEPS))"
	@echo "building $(DEMO_TARGETS) in $(DEMO_BUILD)/"
	@mkdir -p $(DEMO_BUILD)
	@{ cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DTARNWICK_TESTS=OFF $(LAUNCHER) && \
	   cmake --build $(DEMO_BUILD) -j$(JOBS) --target $(DEMO_TARGETS); } >$(DEMO_BUILD)/build.log 2>&1 || \
	   { cat $(DEMO_BUILD)/build.log; echo "build failed (log: $(DEMO_BUILD)/build.log)"; exit 1; }
	@$(HARNESS_ENV) /usr/bin/python3 sim/server.py --bin $(DEMO_BUILD)/bin --engines $(ENGINES)

# Installs under PREFIX (default /usr/local), settings into /etc/tarnwick and
# the program directory /var/lib/tarnwick; DESTDIR stages the whole tree.
PREFIX ?= /usr/local
INSTALL_BUILD = build-install
install:
	@$(MAKE) --no-print-directory -s deps DEPS="$(DEMO_DEPS) $(ENGINE_DEPS)"
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF \
	      -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(LAUNCHER) >/dev/null
	cmake --build $(INSTALL_BUILD) -j$(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(INSTALL_BUILD)

# The Debian package, tarnwick_VERSION-REVISION_ARCH.deb in build-package/.
PACKAGE_BUILD = build-package
package:
	@$(MAKE) --no-print-directory -s deps DEPS="$(PACKAGE_DEPS)"
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF \
	      -DTARNWICK_REQUIRE_MAN=ON $(LAUNCHER) >/dev/null
	cmake --build $(PACKAGE_BUILD) -j$(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

# The README's "Postfix in five minutes" on a fresh Debian 12 root made by
# debootstrap: the package of `make package` installed with Postfix, the
# services started by their units' ExecStart lines, a clean message, the
# anti-virus test file and GTUBE sent through Postfix and their outcomes
# checked; a reload, a restart and an upgrade under a stream of mail with
# nothing refused or lost, the priorities of a clean and of a broken day,
# and the removal's postconf command.  Root only; not part of test.
CHECK_DEPLOY_DEPS = debootstrap
check-deploy: package
	@$(MAKE) --no-print-directory -s deps DEPS="$(CHECK_DEPLOY_DEPS)"
	$(HARNESS_ENV) /usr/bin/python3 tests/deploy/check_deploy.py --deb "$$(ls $(PACKAGE_BUILD)/tarnwick_*.deb)"

# The README's two commands, make demo and make test, on a fresh Debian 12
# root made as check-deploy makes its own, with only what a new developer
# machine has (compiler, cmake, make, git, GoogleTest, python3) and the files
# git lists; prints each command's time, fails when either fails.  Root
# only; takes as long as both commands; not part of test.
check-fresh:
	@$(MAKE) --no-print-directory -s deps DEPS="$(CHECK_DEPLOY_DEPS)"
	$(HARNESS_ENV) /usr/bin/python3 tests/deploy/check_fresh.py

# A site of two mail hosts, two engine hosts and a Prometheus, each host a
# network namespace of its own on a private bridge: a stream of clean,
# infected and spam messages while one engine host is cut off and brought
# back; checks every answer, the failover and return times and the PromQL
# sum, and prints a table (tests/deploy/check_cluster.py).  The build
# tree's programs.  Root only; a few minutes; not part of test.
CHECK_CLUSTER_DEPS = postfix miltertest clamav-daemon spamd prometheus prometheus-node-exporter iproute2
check-cluster: build
	@$(MAKE) --no-print-directory -s deps DEPS="$(CHECK_CLUSTER_DEPS)"
	$(HARNESS_ENV) /usr/bin/python3 tests/deploy/check_cluster.py --bin $(CURDIR)/$(BUILD)/bin

clean:
	rm -rf build build-*

# Throughput, latency, peak memory and idle cost of both programs against
# the floor relays in bench/; prints a table and writes BUILD/bench-results.json.
.PHONY: bench
bench: build
	$(HARNESS_ENV) /usr/bin/python3 bench/bench.py --bin $(BUILD)/bin
	@/usr/bin/python3 bench/plot_rounds.py --out $(BUILD)/bench-rounds.png $(BUILD)/bench-results.json \
	  && echo "ratio per round drawn in $(BUILD)/bench-rounds.png"

# The whole chain under a private Postfix: tarnwick-milter (both filters on
# quillon-clamd and quillon-spamd, or quillon-rspamd) against clamav-milter
# and spamass-milter on the same database and spamd, and against rspamd's
# own milter; checks that both rspamd sides give every message the same
# verdict and score; prints the side-by-side table.  Root only; installs the
# peers' packages.  Not part of test.
MTA_BENCH_DEPS = clamav-milter clamav-daemon spamass-milter spamc rspamd libpython3.11-testsuite
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
	$(HARNESS_ENV) /usr/bin/python3 bench/bench_mta.py --bin $(BUILD)/bin

# 100,000 small messages through each program against the instant simulated
# engine: every request answered exactly once, resident memory flat after
# the first thousand; prints run time and memory figures.  Not part of test.
.PHONY: soak
soak: build
	$(HARNESS_ENV) TARNWICK_BIN=$(CURDIR)/$(BUILD)/bin TARNWICK_PY=$(CURDIR)/$(BUILD)/python \
	  /usr/bin/python3 tests/soak/soak.py

# quillon-clamd against ClamAV's own clamd, and quillon-spamd against spamc,
# side by side on the same databases and corpus; prints a table and writes
# BUILD/bench-engines.json.  Installs clamav-daemon and spamc for this target
# only.  Not part of test.
.PHONY: bench-engines
bench-engines: build
	@missing=""; for p in clamav-daemon clamav-testfiles spamc; do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:$$missing"; \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "missing packages:$$missing (run as root to install them)"; exit 1; \
	  fi; \
	fi
	$(HARNESS_ENV) /usr/bin/python3 bench/engines_bench.py --bin $(BUILD)/bin --py $(BUILD)/python
