# Velmora: `make demo` and `make test` are the two everyday commands (see README.md).
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test sanitize demo bench format clean

all: build

deps:
	@tools/setup-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, in a second tree.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The default configuration on the bundled recording demo/demo_7mic_1ref.wav (regenerate it with
# tools/make_demo_recording.sh, which needs espeak-ng and sox); draws out/demo_report.png.
demo: build
	tools/demo.sh $(BUILD)

bench:
	@tools/setup-deps.sh libbenchmark-dev libspeexdsp-dev
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@for b in $(BENCH_BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	@if ls $(BENCH_BUILD)/python/velmora*.so >/dev/null 2>&1; then \
		/usr/bin/python3 bench/python_loop.py --build $(BENCH_BUILD) || true; fi

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) build-pip *.egg-info
