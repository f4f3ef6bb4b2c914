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

# Figures come from an optimised build without sanitizers.
bench: setup
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DVBF_SANITIZE=OFF
	cmake --build build-release -j$(JOBS)
	cmake --build build-release --target bench

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)

# libFuzzer harnesses (clang, ASan/UBSan) in a build folder of their own, each run for
# FUZZ_SECONDS; not part of `make test`.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz: setup
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j$(JOBS)
	./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)
