# Velmora: `make demo` and `make test` are the two everyday commands (see README.md).
BUILD      ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: all deps build test sanitize demo bench fuzz format clean

all: build

deps:
	@tools/setup-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@tools/setup-deps.sh --test
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, in a second tree.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMORA_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

# The default configuration, then the echo-removal configuration conf/echo.conf, on the bundled
# recording demo/demo_7mic_1ref.wav (regenerate it with tools/make_demo_recording.sh, which needs
# espeak-ng and sox); draws out/demo_report.png.
demo: build
	tools/demo.sh $(BUILD)

bench:
	@tools/setup-deps.sh libbenchmark-dev libspeexdsp-dev
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVELMORA_BENCH=ON -DVELMORA_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	@for b in $(BENCH_BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done; true
	@if ls $(BENCH_BUILD)/python/velmora*.so >/dev/null 2>&1; then \
		/usr/bin/python3 bench/python_loop.py --build $(BENCH_BUILD) || true; fi

# Each libFuzzer target for FUZZ_SECONDS (default 600) under ASan and UBSan, starting from the
# seed corpus in fuzz/corpus; new inputs go to $(FUZZ_BUILD)/corpus, findings to $(FUZZ_BUILD)/.
fuzz:
	@tools/setup-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVELMORA_FUZZ=ON -DVELMORA_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_params fuzz_wav fuzz_pcm fuzz_engine
	tools/run-fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	find src tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) build-pip *.egg-info
