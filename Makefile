# The front door. Plain `make` builds the shipped Windows program, the
# x86_64 one the tests run under Wine, and the native Linux one.
#   make demo    shows the tool at work on a sample disk image
#   make test    builds every preset and runs every test
#   make fuzz    runs the front end's fuzzer for FUZZ_SECONDS (default 60)
#   make bench   measures sectpull against dd; writes bench/results.md
#   make install installs the native program and its man page (PREFIX, DESTDIR)
#   make dist    packs dist/sectpull-VERSION-win32.zip and dist/sectpull-VERSION-linux-x86_64.tar.gz,
#                and dist/SHA256SUMS of the archives; SIGN_CERT=cert.pem SIGN_KEY=key.pem
#                [SIGN_PASS_FILE=file] [SIGN_CHAIN=chain.pem] [SIGN_TIMESTAMP=URL] sign the exe
#                first, GPG_KEY=ID signs SHA256SUMS (dist/SHA256SUMS.asc)
#   make deb     builds dist/sectpull_VERSION-REVISION_amd64.deb with debhelper, checked by lintian
#   make verify-release ZIP=... [CA=ca.pem]
#                checks a release zip against a fresh build of the current commit

export WINEPREFIX := $(CURDIR)/build/wineprefix
# sfdisk, mkfs, losetup and mount live there, and a plain user's (or a
# scrubbed) PATH may leave them out.
export PATH := $(PATH):/usr/sbin:/sbin
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
DIST ?= dist
export SIGN_CERT SIGN_KEY SIGN_PASS_FILE SIGN_CHAIN SIGN_TIMESTAMP
VERSION := $(shell cat VERSION)
TEST_PRESETS := win32 win64 native sanitize dynamic fuzz

.PHONY: all test test-lane-wine test-lane-linux demo fuzz bench install dist deb verify-release \
        clean deps-build \
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

# The exe is signed (when SIGN_CERT is given) before it is packed, so the
# zip's own SHA256SUMS vouch for the signed file. dist/SHA256SUMS then covers
# the archives, and a package that make deb left there.
dist: deps-release preset-win32 preset-native
	@mkdir -p build/release $(DIST)
	tools/sign-exe build/win32/sectpull.exe build/release/sectpull.exe
	python3 tools/dist.py build/release/sectpull.exe $(DIST)/sectpull-$(VERSION)-win32.zip
	python3 tools/dist.py build/native/sectpull $(DIST)/sectpull-$(VERSION)-linux-x86_64.tar.gz
	cd $(DIST) && sha256sum sectpull-$(VERSION)-win32.zip sectpull-$(VERSION)-linux-x86_64.tar.gz \
	    $$(ls sectpull_$(VERSION)-*.deb 2>/dev/null) >SHA256SUMS
	@if [ -n "$(GPG_KEY)" ]; then \
	    gpg --batch --yes --local-user "$(GPG_KEY)" --armor --detach-sign \
	        --output $(DIST)/SHA256SUMS.asc $(DIST)/SHA256SUMS && \
	    echo "signed $(DIST)/SHA256SUMS as $(DIST)/SHA256SUMS.asc"; \
	else rm -f $(DIST)/SHA256SUMS.asc; fi

deb: deps-release
	tools/deb $(DIST)

verify-release: deps-release
	@test -n "$(ZIP)" || { echo "usage: make verify-release ZIP=release.zip [CA=ca.pem]"; exit 2; }
	@python3 tools/verify_release.py "$(ZIP)" $(if $(CA),--ca "$(CA)") $(if $(FROM),--from $(FROM))

clean:
	rm -rf build dist

force:
