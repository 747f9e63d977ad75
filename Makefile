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

# The native tests, then the unit, end-to-end, robustness and fuzz-replay tests again in a build
# with ASan, UBSan and LSan (the Windows suite and the data checks don't depend on it).
ASAN_BUILD ?= $(BUILD)-asan
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1 \
                UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 LSAN_OPTIONS=report_objects=1
test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRVSETUP_SANITIZE=ON \
	  -DDIST_LINUX=$(abspath $(ASAN_BUILD))/dist
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS) \
	  -E '^(windows\.|shipped_data_)'

windows: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target windows

bench: build
	cmake --build $(BUILD) -j $(JOBS) --target bench

fuzz: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target fuzz
	tests/fuzz/run.sh $(BUILD) $(SECONDS)

clean:
	rm -rf $(BUILD) dist
