# drvsetup: top-level commands. The real build is CMake; this file only drives it.
BUILD   ?= build
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
SECONDS ?= 60

.PHONY: all build deps run test windows bench fuzz clean

all: build

deps:
	@tools/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@tools/run-demo.sh

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

windows: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target windows

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target bench

fuzz: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target fuzz
	tests/fuzz/run.sh $(BUILD) $(SECONDS)

clean:
	rm -rf $(BUILD) dist
