# The two commands a new machine needs: `make run` and `make test`. Both install what is missing.
BUILD ?= build
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
PACKAGES := cmake g++ make qt6-base-dev qt6-base-dev-tools nginx-light tinyproxy xvfb xauth curl

.PHONY: all deps configure build run test clean

all: build

deps:
	@missing=""; for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	tools/run-with-samples $(BUILD)/seriograb

test: build
	cd $(BUILD) && CI=$${CI:-} ctest --output-on-failure -j $(JOBS)

# Seriograb against curl on generated series served by nginx; prints one table and keeps it in
# $(BUILD)/bench-report.md. Builds only the benchmark and what it links, never the tests.
.PHONY: bench
bench: configure
	cmake --build $(BUILD) --target seriobench -j $(JOBS)
	$(BUILD)/seriobench --report $(BUILD)/bench-report.md

clean:
	rm -rf $(BUILD)
