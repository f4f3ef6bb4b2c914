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
