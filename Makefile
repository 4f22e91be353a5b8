# Front door: `make example` and `make test` work on a fresh Debian 12 machine
# (as root): each first installs whatever is missing (scripts/setup.sh).
SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
JOBS ?= $(shell nproc)

.PHONY: all setup host win32 win64 stubs guest example package package-test windows-zip test test-native test-i686 unit-test \
        imports-test tool-test wine-test hostile-test fuzz-build fuzz-smoke fuzz fuzz-long screenshots \
        bench clean

all: host stubs

setup:
	@scripts/setup.sh

# Configure once per build tree; CMake re-runs itself when its inputs change.
define build_preset
	@test -f build/$(1)/CMakeCache.txt || cmake --preset $(1) >/dev/null
	@cmake --build build/$(1) -j $(JOBS)
endef

host: setup
	$(call build_preset,host)

win32: setup
	$(call build_preset,win32)

win64: setup
	$(call build_preset,win64)

stubs: win32 win64

fuzz-build: setup
	$(call build_preset,fuzz)

unit-test: host
	ctest --test-dir build/host --output-on-failure -j $(JOBS)

imports-test: stubs
	tests/check_stub.sh build/win32/tailpack-stub.exe build/win64/tailpack-stub.exe \
	  build/win32/tailpack-uninstall.exe build/win64/tailpack-uninstall.exe
	python3 resources/check_resources.py build/win32/tailpack-stub.exe build/win64/tailpack-stub.exe

wine-test: host stubs windows-zip package
	tests/wine/run.sh

# The emulated guest in which the shipped i686 stub runs (cached per
# machine in /var/cache/tailpack, rebuilt when its scripts change).
guest: setup
	@scripts/build-guest.sh >/dev/null

# The shipped i686 stub end to end, in the guest (tests/wine/i686).
test-i686: host stubs guest
	tests/wine/i686/run.sh

# build/tailpack_<version>_amd64.deb (scripts/make-package.sh).
package: host stubs
	scripts/make-package.sh

# build/tailpack_<version>_windows-x64.zip: the Windows tool with both stubs
# (scripts/make-windows-zip.sh).
windows-zip: host stubs
	@scripts/make-windows-zip.sh

# The package checked with lintian and installed in a clean Debian root,
# where it builds and verifies the example.
package-test: host stubs
	tests/package/run.sh

# The tailpack tool as a user runs it: build, list, verify, extract, sign.
tool-test: host stubs
	tests/tool/run.sh

# Every wizard page (English, German, English at 192 DPI) as PNG files in
# docs/screenshots/.
screenshots: host stubs
	tests/wine/screenshots.sh

# The hostile corpus against verify and extract (memory, time, nothing
# written); the loader's side runs in unit-test and (sampled) wine-test.
hostile-test: host stubs
	tests/hostile/run.sh small

# Replays the seed corpus and fuzzes each parser briefly.
fuzz-smoke: fuzz-build
	tests/fuzz/run.sh smoke

# Long fuzzing run (FUZZ_SECONDS per target, default 1800).
fuzz: fuzz-build
	tests/fuzz/run.sh long

# Everything slow: each fuzz target for FUZZ_SECONDS, the gigabyte bombs and
# the 20-million-entry file against verify/extract, and the whole hostile
# corpus through the real stub under Wine.
fuzz-long: fuzz-build host stubs
	tests/fuzz/run.sh long
	tests/hostile/run.sh large
	TP_HOSTILE_ALL=1 tests/wine/run.sh test_hostile

# Every suite but the i686 one.
test-native: unit-test imports-test tool-test package-test hostile-test wine-test fuzz-smoke

# The i686 suite keeps one processor busy for its guest, the others mostly
# one: so it runs beside them, and its report follows theirs.
test: host stubs fuzz-build guest
	@status=0; \
	tests/wine/i686/run.sh >build/test-i686.log 2>&1 & i686=$$!; \
	$(MAKE) --no-print-directory test-native || status=1; \
	echo "make test: waiting for the i686 suite (build/test-i686.log)"; \
	wait $$i686 || status=1; \
	cat build/test-i686.log; \
	if [[ $$status == 0 ]]; then echo "make test: all suites passed"; \
	else echo "make test: FAILED"; exit 1; fi

example: host stubs
	scripts/example.sh

# Against a peer installer maker and the raw compressor; writes
# docs/benchmarks.md (up to 45 minutes; BENCH_QUICK=1 for a short run).
# Not part of `make test`.
bench: host stubs
	bench/run.sh

clean:
	rm -rf build
