# The front door: plain `make` builds the shipped Windows program, the
# x86_64 one the tests run under Wine, and the native Linux one.

PRESETS_ALL := win32 win64 native
export WINEPREFIX := $(CURDIR)/build/wineprefix

.PHONY: all win32 win64 native sanitize dynamic fuzz test demo clean \
        deps-build deps-demo deps-test

all: $(PRESETS_ALL)

# Each preset configures once; cmake --build reconfigures by itself when a
# CMakeLists.txt changes.
win32 win64 native sanitize dynamic fuzz: deps-build
	@test -f build/$@/CMakeCache.txt || cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j2 -- --no-print-directory

deps-build:
	@tools/deps build
deps-demo:
	@tools/deps demo
deps-test:
	@tools/deps test

demo: deps-demo all
	@tools/demo

test: deps-test all sanitize dynamic
	ctest --test-dir build/native --output-on-failure -j2

clean:
	rm -rf build dist
