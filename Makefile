# Thin wrapper: set-up, then CMake. Two builds:
#   build/          sanitizer build of everything, for the tests (make build, make test)
#   build-release/  optimised build without sanitizers, for what people run and ship
#                   (make demo, run, install, bench, package)
BUILD ?= build
RELEASE ?= build-release
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBF_SANITIZE=ON
RELEASE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DVBF_SANITIZE=OFF -DVBF_TESTS=OFF

.PHONY: all setup configure build test demo run bench install clean

all: build

setup:
	@./scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) -DVBF_PACKAGE_DIR=$(abspath $(RELEASE))

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The tests include the package's: it is built first, from the optimised build.
test: build package
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

.PHONY: release-configure
release-configure: setup
	cmake -S . -B $(RELEASE) $(RELEASE_FLAGS)

# Only what the demo needs: the program and the simulated module.
demo: release-configure
	cmake --build $(RELEASE) -j$(JOBS) --target vorna-base-flasher module-sim
	./scripts/demo.sh $(RELEASE)

run: release-configure
	cmake --build $(RELEASE) -j$(JOBS) --target vorna-base-flasher
	$(RELEASE)/src/vorna-base-flasher

bench: release-configure
	cmake --build $(RELEASE) -j$(JOBS) --target bench

# To /usr/local; PREFIX=... installs elsewhere.
install: release-configure
	cmake --build $(RELEASE) -j$(JOBS)
	cmake --install $(RELEASE) $(if $(PREFIX),--prefix $(PREFIX))

# A Debian package in build-release/; the test package_deb installs it into a scratch root.
.PHONY: package
package: release-configure
	cmake --build $(RELEASE) -j$(JOBS)
	cd $(RELEASE) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(RELEASE)

# Windows: the Qt-free parts (programming library, vorna-flash.exe, Qt-free tests) built
# with mingw-w64, and run under Wine against the simulated module as part of `make test`.
WINDOWS_BUILD ?= build-windows
# With a Qt for Windows in the cache (`make qt-windows`, once: 30-90 minutes at two jobs)
# the same build is the whole tool: vorna-base-flasher.exe and its zip.
QT_WINDOWS := $(shell ./scripts/build-qt-windows.sh --cached 2>/dev/null)
WITH_QT_WINDOWS := $(if $(QT_WINDOWS),VBF_WINDOWS_PREFIX=$(QT_WINDOWS))
.PHONY: windows test-wine qt-windows test-windows
# Also setup.exe (CPack's NSIS generator): vorna-base-flasher-<version>-windows-x64-setup.exe,
# or without a Qt for Windows vorna-flash-<version>-windows-x64-setup.exe with vorna-flash alone.
# The line database's libraries for Windows (SQLite, OpenSSL, libpq) are built from Debian's
# sources on first use and cached outside the tree (scripts/build-windows-db.sh).
windows: setup
	db=$$(JOBS=$(JOBS) ./scripts/build-windows-db.sh) && \
	$(WITH_QT_WINDOWS) cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DVBF_SANITIZE=OFF -DVBF_WINDOWS_DB_PREFIX="$$db"
	$(WITH_QT_WINDOWS) cmake --build $(WINDOWS_BUILD) -j$(JOBS)
	cd $(WINDOWS_BUILD) && cpack -G NSIS

qt-windows: setup
	JOBS=$(JOBS) ./scripts/build-qt-windows.sh

# The window under Wine: its Qt Test programs, then the program from the zip against the
# simulated module. Needs the Qt for Windows; not part of `make test`.
test-windows: build windows
	@test -n "$(QT_WINDOWS)" || { echo "test-windows: no Qt for Windows cached; run make qt-windows first" >&2; exit 1; }
	$(WITH_QT_WINDOWS) cmake --build $(WINDOWS_BUILD) -j$(JOBS) --target windows-gui-tests
	./tests/windows-gui/wine_qt_tests.sh $(WINDOWS_BUILD)
	./tests/windows-gui/wine_window.sh $(WINDOWS_BUILD) $(BUILD)/tools/module-sim/vbf-module-sim \
	  ../shared/testdata/real-hex $(WINDOWS_BUILD)/shots
	./tests/windows-gui/wine_setup.sh --window $(WINDOWS_BUILD) $(BUILD)/tools/module-sim/vbf-module-sim \
	  ../shared/testdata/real-hex

# The Qt-free leg, and the setup that `make windows` made, installed and removed again.
test-wine: build windows
	./tests/windows/wine_leg.sh $(WINDOWS_BUILD) $(BUILD)/tools/module-sim/vbf-module-sim ../shared/testdata/real-hex
	./tests/windows-gui/wine_setup.sh $(WINDOWS_BUILD) $(BUILD)/tools/module-sim/vbf-module-sim ../shared/testdata/real-hex
	./tests/windows/wine_db.sh $(WINDOWS_BUILD) $(BUILD)/tools/module-sim/vbf-module-sim $(BUILD)/tools/vorna-flash/vorna-flash \
	  ../shared/testdata/real-hex

test: test-wine

# What ships, in one folder named with the version: the Debian package, the Windows zip,
# the Windows setup and SHA256SUMS over them. Needs the Qt for Windows.
RELEASE_OUT ?= build-dist
.PHONY: release
release:
	@test -n "$(QT_WINDOWS)" || { echo "release: no Qt for Windows cached, so there is no window for Windows:" \
	  "no zip and no setup.exe. Run make qt-windows first (30-90 minutes), then make release again." >&2; exit 1; }
	$(MAKE) package
	$(MAKE) windows
	./packaging/release.sh $(RELEASE) $(WINDOWS_BUILD) $(RELEASE_OUT)

# libFuzzer harnesses (clang, ASan/UBSan) in a build folder of their own, each run for
# FUZZ_SECONDS; not part of `make test`.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz: setup
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)
