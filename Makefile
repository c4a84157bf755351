# Thin wrapper around CMake so that `make` and `make test` are the only commands to remember.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The one version, from project() in CMakeLists.txt.
VERSION := $(shell sed -n 's/^project.ostrane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Every timestamp in what we ship: the commit's date, unless given.
SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null)
ifneq ($(SOURCE_DATE_EPOCH),)
export SOURCE_DATE_EPOCH
endif

.PHONY: all build deps test test-sanitize lint soak bench bench-live windows test-windows demo clean fuzz-reader \
	install uninstall package test-package bench-reader package-windows lintian reproducible repro-build dist distcheck

all: build

# A configured build folder. CMake writes its Makefile only once configuring
# and generating have succeeded; a failed configure (a library still missing)
# leaves CMakeCache.txt behind, which must not pass for a configured folder.
CONFIGURED := $(BUILD_DIR)/Makefile
$(CONFIGURED):
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release

build: $(CONFIGURED)
	cmake --build $(BUILD_DIR) -j $(JOBS)

deps:
	scripts/install-deps.sh

test: deps build
	cd $(BUILD_DIR) && ctest --output-on-failure

# The whole suite, end-to-end tests included, against an ASan+UBSan build;
# then the capture loop and every live capture against a TSan build.
SANITIZE_DIR ?= build-sanitize
TSAN_DIR ?= build-tsan
test-sanitize: deps
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRANE_SANITIZE=address
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && ctest --output-on-failure
	cmake -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRANE_SANITIZE=thread
	cmake --build $(TSAN_DIR) -j $(JOBS)
	cd $(TSAN_DIR) && ctest --output-on-failure -R '^CaptureSession\.|^Messages\.|^capture\.Live$$'

# clang-tidy (checks in .clang-tidy) and cppcheck over the sources and tests;
# any finding fails.
lint: $(CONFIGURED)
	scripts/install-deps.sh lint
	run-clang-tidy -p $(BUILD_DIR) -quiet '/(src|tests)/' >$(BUILD_DIR)/clang-tidy.log 2>&1 \
	  || { grep -E -A3 'warning:|error:' $(BUILD_DIR)/clang-tidy.log; exit 1; }
	cppcheck --project=$(BUILD_DIR)/compile_commands.json --library=googletest --library=posix \
	  --enable=warning,performance,portability,style --std=c++17 --inline-suppr \
	  --suppress=missingIncludeSystem --error-exitcode=1 --quiet -i$(BUILD_DIR)

# Long capture with every record verified; SOAK_SECONDS sets its length (default 180).
soak: deps build
	scripts/soak.py $(BUILD_DIR)/ostrane

# Cost per record, flushed per batch of 64, against one write(2) per record and buffered pcap_dump.
bench:
	scripts/install-deps.sh bench
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target dispatch_bench
	$(BUILD_DIR)/bench/dispatch_bench --benchmark_min_time=0.5

# ostrane against tcpdump -U, buffered and in immediate mode on a loopback load:
# drops, CPU per packet flat out and paced, a lone packet's latency;
# ostrane | reader --summary, a reader that pauses 1 s at 20 000/s and 3 s
# at 2 000/s, and an idle capture (root; about ten minutes).
# Options through LIVE_ARGS, e.g. make bench-live LIVE_ARGS="--rounds 5".
bench-live:
	scripts/install-deps.sh bench
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ostrane udp_flood
	bench/live.py --build $(BUILD_DIR) $(LIVE_ARGS)

# The reader against tcpdump -n -r on the same frames, and ostrane | reader
# live at paced rates (root for the live part).
bench-reader:
	scripts/install-deps.sh bench
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS) --target ostrane udp_flood
	bench/reader.py --build $(BUILD_DIR)

# Mutated record streams, pcap and pcapng files through the reader in every
# mode, each run checked against a plain framer of its own: no traceback, one
# error line, the same packets, strict JSON, counts that agree. Seeded and
# bounded: FUZZ_SEED, FUZZ_COUNT inputs at most, FUZZ_SECONDS at most.
FUZZ_SEED ?= 1
FUZZ_COUNT ?= 3000
FUZZ_SECONDS ?= 1800
fuzz-reader:
	scripts/fuzz_reader.py --seed $(FUZZ_SEED) --count $(FUZZ_COUNT) --seconds $(FUZZ_SECONDS) \
	  --python $(or $(wildcard /usr/bin/python3),python3) --keep $(BUILD_DIR)/fuzz-reader

# ostrane.exe for x86-64 Windows (mingw-w64), linked against wpcap.dll.
WINDOWS_DIR ?= build-windows
windows:
	scripts/install-deps.sh windows
	cmake -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DOSTRANE_BUILD_TESTS=OFF
	cmake --build $(WINDOWS_DIR) -j $(JOBS)

# build-windows/ostrane-<version>-win64.zip: ostrane.exe, README.md, LICENSE, README-windows.txt.
package-windows: windows
	cd $(WINDOWS_DIR) && cpack

# The zip unpacked into a fresh folder, its exe under wine64 in a fresh prefix.
test-windows: package-windows
	OSTRANE_ZIP=$(WINDOWS_DIR)/ostrane-$(VERSION)-win64.zip python3 tests/windows/test_windows.py -v

# PREFIX and DESTDIR as usual: make install PREFIX=/usr DESTDIR=/tmp/stage
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

uninstall:
	DESTDIR="$(DESTDIR)" cmake -DMANIFEST=$(BUILD_DIR)/install_manifest.txt -P cmake/uninstall.cmake

# build/ostrane_<version>_amd64.deb. CPack gives the archive members the
# modes of its staging files, so it runs under umask 022 as dpkg-buildpackage does.
package: build
	scripts/install-deps.sh package
	cd $(BUILD_DIR) && umask 022 && cpack

# install and uninstall, the man pages, the completion and the package,
# installed with apt and purged again (root; changes the system while it runs).
test-package: package
	python3 tests/packaging/test_packaging.py -v

# Debian's checks on the .deb: any error or warning fails. Tags shown as
# info or pedantic are listed in the output, for a look.
lintian: package
	scripts/install-deps.sh release
	lintian --fail-on error,warning --display-info --pedantic $(BUILD_DIR)/ostrane_$(VERSION)_amd64.deb

# Two packages, each built in a fresh folder of its own under a different
# path, umask and time zone, and seconds apart, must be the same bytes. If
# they are not, the listings and checksums of their files show where.
reproducible:
	rm -rf build-repro-a build-repro-b
	umask 022 && export TZ=UTC && $(MAKE) --no-print-directory repro-build REPRO_DIR=build-repro-a
	umask 002 && export TZ=Pacific/Kiritimati && $(MAKE) --no-print-directory repro-build REPRO_DIR=build-repro-b
	cmp build-repro-a/ostrane_$(VERSION)_amd64.deb build-repro-b/ostrane_$(VERSION)_amd64.deb \
	  || { for tree in a b; do deb=build-repro-$$tree/ostrane_$(VERSION)_amd64.deb; \
	         { dpkg-deb -c $$deb; dpkg-deb -I $$deb md5sums; } >build-repro-$$tree/contents; done; \
	       diff build-repro-a/contents build-repro-b/contents; exit 1; }
	@echo "reproducible: ostrane_$(VERSION)_amd64.deb is the same bytes from both builds"

repro-build:
	cmake -S . -B $(REPRO_DIR) -DCMAKE_BUILD_TYPE=Release -DOSTRANE_BUILD_TESTS=OFF >/dev/null
	$(MAKE) --no-print-directory package BUILD_DIR=$(REPRO_DIR)

# build/ostrane-<version>.tar.gz of the files committed at HEAD.
dist:
	mkdir -p $(BUILD_DIR)
	git diff --quiet HEAD || echo "dist: uncommitted changes are left out of the tarball" >&2
	git archive --format=tar.gz --prefix=ostrane-$(VERSION)/ -o $(BUILD_DIR)/ostrane-$(VERSION).tar.gz HEAD

# The tarball holds every tracked file, and builds and passes `make test`
# unpacked on its own, in a fresh folder.
DISTCHECK_DIR ?= $(BUILD_DIR)/distcheck
distcheck: dist
	rm -rf $(DISTCHECK_DIR) && mkdir -p $(DISTCHECK_DIR)
	tar -xzf $(BUILD_DIR)/ostrane-$(VERSION).tar.gz -C $(DISTCHECK_DIR)
	git ls-files | sort >$(DISTCHECK_DIR)/tracked
	cd $(DISTCHECK_DIR)/ostrane-$(VERSION) && find . ! -type d | sed 's|^\./||' | sort | diff ../tracked -
	$(MAKE) -C $(DISTCHECK_DIR)/ostrane-$(VERSION) test
	rm -rf $(DISTCHECK_DIR)
	@echo "distcheck: ostrane-$(VERSION).tar.gz is complete"

demo: deps build
	scripts/demo.sh

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(TSAN_DIR) $(WINDOWS_DIR) build-repro-*
