# Entry points. `make demo` runs the demo against a local sandbox; `make test`
# runs the whole test suite. Both install missing Debian packages first.
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: demo test deps build release asan tsan fuzz bench format clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset ci
	cmake --build --preset ci -j $(JOBS)

release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

demo: release
	scripts/demo.sh build/release

test: deps
	scripts/test.sh

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS) $(CTEST_ARGS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS) -L concurrency $(CTEST_ARGS)

bench: release
	build/release/bench/qelsms-bench

format:
	git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

clean:
	rm -rf build
