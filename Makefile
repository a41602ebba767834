# Entry points: `make test` (everything the CI runs), `make demo` (the main
# job with the simulated server and engines).  Both install what is missing
# first when run as root on Debian.

JOBS ?= 2
BUILD ?= build
DEPS = g++ cmake make libprotobuf-dev protobuf-compiler libgtest-dev python3 python3-protobuf faketime

.PHONY: all deps build test test-plain demo clean

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

test: test-plain

demo: build
	/usr/bin/python3 sim/demo.py --bin $(BUILD)/bin

clean:
	rm -rf build build-*
