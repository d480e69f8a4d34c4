# The front door. Plain `make` builds the shipped Windows program, the
# x86_64 one the tests run under Wine, and the native Linux one.
#   make demo    shows the tool at work on a sample disk image
#   make test    builds every preset and runs every test
#   make fuzz    runs the front end's fuzzer for FUZZ_SECONDS (default 60)
#   make bench   measures sectpull against dd; writes bench/results.md
#   make install installs the native program and its man page (PREFIX, DESTDIR)
#   make dist    packs dist/sectpull-VERSION-win32.zip and dist/sectpull-VERSION-linux-x86_64.tar.gz

export WINEPREFIX := $(CURDIR)/build/wineprefix
# sfdisk, mkfs, losetup and mount live there, and a plain user's (or a
# scrubbed) PATH may leave them out.
export PATH := $(PATH):/usr/sbin:/sbin
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
VERSION := $(shell cat VERSION)
TEST_PRESETS := win32 win64 native sanitize dynamic fuzz

.PHONY: all test test-lane-wine test-lane-linux demo fuzz bench install dist clean deps-build \
        deps-demo deps-test deps-bench deps-release force win32 win64 native sanitize dynamic

all: preset-win32 preset-win64 preset-native

# make win32, make native, ... build one preset.
$(filter-out fuzz,$(TEST_PRESETS)): %: preset-%

# Each preset configures once, and again when the presets change;
# cmake --build reconfigures by itself when a CMakeLists.txt changes. (A
# pattern rule can't be .PHONY, hence force.)
preset-%: deps-build force
	@if [ ! -f build/$*/CMakeCache.txt ] || [ CMakePresets.json -nt build/$*/CMakeCache.txt ]; \
	then cmake --preset $* >/dev/null; fi
	@cmake --build --preset $* -j2 -- --no-print-directory

deps-build deps-demo deps-test deps-bench deps-release: deps-%:
	@tools/deps $*

demo: deps-demo all
	@tools/demo

# Each preset's tree runs its own tests (ctest --preset NAME). The Windows
# builds share one Wine prefix, so they take turns in one lane; the Linux
# builds take the other.
test: deps-test $(addprefix preset-,$(TEST_PRESETS))
	@$(MAKE) --no-print-directory --output-sync=target -j2 test-lane-wine test-lane-linux

test-lane-wine: PRESETS := win32 win64
test-lane-linux: PRESETS := native sanitize dynamic fuzz
test-lane-wine test-lane-linux:
	@status=0; for preset in $(PRESETS); do ctest --preset $$preset || status=1; done; exit $$status

fuzz: deps-test preset-fuzz
	@mkdir -p build/fuzz/corpus
	ASAN_OPTIONS=detect_leaks=0 build/fuzz/fuzz_front_end -max_total_time=$(FUZZ_SECONDS) \
	    -print_final_stats=1 build/fuzz/corpus tests/fuzz_corpus

bench: deps-bench all
	python3 bench/run.py build/native/sectpull build/win32/sectpull.exe

install: preset-native
	DESTDIR=$(DESTDIR) cmake --install build/native --prefix $(PREFIX) --strip

dist: deps-release preset-win32 preset-native
	python3 tools/dist.py build/win32/sectpull.exe dist/sectpull-$(VERSION)-win32.zip
	python3 tools/dist.py build/native/sectpull dist/sectpull-$(VERSION)-linux-x86_64.tar.gz

clean:
	rm -rf build dist

force:
