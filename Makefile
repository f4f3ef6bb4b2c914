# Thin wrapper: set-up, then CMake. Everything builds into build/.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVBF_SANITIZE=ON

.PHONY: all setup configure build test demo run bench install clean

all: build

setup:
	@./scripts/setup.sh

configure: setup
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

demo: build
	./scripts/demo.sh $(BUILD)

run: build
	$(BUILD)/src/vorna-base-flasher

clean:
	rm -rf $(BUILD)
