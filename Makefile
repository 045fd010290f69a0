# Thin front end over CMake. `make` builds build/vardo; `make check` builds and runs every test.
BUILD ?= build
JOBS ?= 2

.PHONY: all check bench microbench clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) --target vardo -j $(JOBS)

check:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure

# The side-by-side comparison with gzip, pigz and cat; `make microbench` runs the Google
# Benchmarks of the CRC and the inflater.
bench:
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DVARDO_TESTS=OFF -DVARDO_BENCH=ON >/dev/null
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/compare $(BUILD)-bench/vardo $(BUILD)-bench/work

microbench:
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DVARDO_TESTS=OFF -DVARDO_BENCH=ON >/dev/null
	cmake --build $(BUILD)-bench -j $(JOBS)
	for b in $(BUILD)-bench/bench_*; do $$b; done

clean:
	rm -rf $(BUILD) $(BUILD)-bench
