# The two commands a new machine needs: `make run` and `make test`. Both install what is missing.
# `make fuzz` runs the fuzz targets (tests/fuzz) with libFuzzer for FUZZ_SECONDS each.
# `make chaos SEED=S NUMBERS=N` runs a whole series of N numbers against the chaos server.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
JOBS ?= $(shell nproc)
SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)
PACKAGES := cmake g++ make pkg-config qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libcurl4-openssl-dev ca-certificates fonts-dejavu-core nginx-light tinyproxy xvfb xauth curl openssl
# Wayland without XWayland, and the tests that read the windows as a screen reader and a
# Wayland compositor do.
PACKAGES += qt6-wayland weston dbus-daemon at-spi2-core python3-pyatspi
# The proxy password's keyring, and the real proxies and Secret Service its tests talk to.
PACKAGES += qtkeychain-qt6-dev libsecret-1-0 squid microsocks gnome-keyring
# For `make package` and its checks (tests/package).
PACKAGES += dpkg-dev file desktop-file-utils appstream lintian man-db strace
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
FUZZ_TARGETS := numbers modpara history contenttype picture
FUZZ_SECONDS ?= 60
# FUZZ_MERGE=1: afterwards add the inputs that reached new code to the corpus in tests/fuzz.
FUZZ_MERGE ?=
# Any sanitizer report ends the test that raised it, so the test fails. Only leaks of Qt's own
# one-time allocations are let through (tests/sanitizers/lsan.supp says which and why).
# intercept_tls_get_addr=0: this compiler's leak checker can crash at exit while it walks the
# dynamic thread-local storage of threads that are ending ("Tracer caught signal 11").
SANITIZER_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:intercept_tls_get_addr=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/sanitizers/lsan.supp:print_suppressions=0

.PHONY: all deps configure build run test package asan-build fuzz-deps fuzz chaos clean

all: build

deps:
	@missing=""; for p in $(PACKAGES) $(EXTRA_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Only the program and the sample maker, so the window comes up without building the tests.
run: configure
	cmake --build $(BUILD) --target seriograb make-samples -j $(JOBS)
	tools/run-with-samples $(BUILD)/seriograb

# The Debian package $(BUILD)/seriograb_VERSION_ARCH.deb; builds only the program and its manual
# page, not the tests. tests/package checks it under `make test`.
package: configure
	cmake --build $(BUILD) --target seriograb seriograb_docs -j $(JOBS)
	cd $(BUILD) && cpack -G DEB

# The suite runs twice: as built for use, then built with AddressSanitizer and UBSan.
test: build
	cd $(BUILD) && CI=$${CI:-} ctest --output-on-failure -j $(JOBS)
	$(MAKE) asan-build
	cd $(ASAN_BUILD) && CI=$${CI:-} $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

asan-build: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSERIOGRAB_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The suite runs the chaos check with 400 numbers and one seed; this runs it as long as asked.
SEED ?= 20261209
NUMBERS ?= 20000
chaos: configure
	cmake --build $(BUILD) --target tst_chaos -j $(JOBS)
	SEED=$(SEED) NUMBERS=$(NUMBERS) QTEST_FUNCTION_TIMEOUT=86400000 QT_QPA_PLATFORM=offscreen $(BUILD)/tst_chaos -maxwarnings 0

fuzz-deps:
	@$(MAKE) --no-print-directory deps EXTRA_PACKAGES="$(FUZZ_PACKAGES)"

# Each target runs on one core for FUZZ_SECONDS over its corpus; what it finds new goes to
# $(FUZZ_BUILD)/corpus, and into tests/fuzz only with FUZZ_MERGE=1. A crash or a broken
# property stops that target, keeps the input as $(FUZZ_BUILD)/crash-<target>-..., and fails.
# libFuzzer ends without running destructors, so the targets' scratch folders are removed here.
fuzz: fuzz-deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIOGRAB_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@failed=""; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  $(SANITIZER_ENV) $(FUZZ_BUILD)/fuzz_$$t $(FUZZ_BUILD)/corpus/$$t tests/fuzz/$$t \
	    -max_total_time=$(FUZZ_SECONDS) -max_len=1024 -timeout=20 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/crash-$$t- \
	    2>$(FUZZ_BUILD)/fuzz_$$t.log || failed="$$failed $$t"; \
	  rm -rf /dev/shm/seriograb-fuzz-*; \
	  grep -E "^(stat::number_of_executed_units|stat::new_units_added)|ERROR|property broken" $(FUZZ_BUILD)/fuzz_$$t.log; \
	  if [ -n "$(FUZZ_MERGE)" ]; then \
	    $(FUZZ_BUILD)/fuzz_$$t -merge=1 -max_len=1024 tests/fuzz/$$t $(FUZZ_BUILD)/corpus/$$t 2>/dev/null; \
	  fi; \
	done; \
	if [ -n "$$failed" ]; then echo "fuzzing found failures in:$$failed (see $(FUZZ_BUILD)/fuzz_<target>.log)"; exit 1; fi

# Seriograb against curl on generated series served by nginx; prints one table and keeps it in
# $(BUILD)/bench-report.md. Builds only the benchmark and what it links, never the tests.
# BENCH_ARGS passes more, e.g. BENCH_ARGS="--only b,f --repeats 9".
BENCH_ARGS ?=
.PHONY: bench
bench: configure
	cmake --build $(BUILD) --target seriobench -j $(JOBS)
	$(BUILD)/seriobench --report $(BUILD)/bench-report.md $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
