# kwcore's front door. `make test` is what CI runs.
PREFIX ?= /usr/local
.PHONY: all deps build test test-default test-asan test-tsan test-fuzz consumer install bench fuzz format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

test: deps test-default test-asan test-tsan test-fuzz consumer

test-default:
	cmake --preset default >/dev/null
	cmake --build --preset default
	ctest --preset default

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan
	ctest --preset asan

test-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan
	ctest --preset tsan

# About a minute of fuzzing the compound-file reader, and ten seconds each the
# Nubra value readers, the registration-file reader and the persistent list
# loader, under ASan + UBSan.
test-fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	scripts/run-fuzz.sh build/fuzz 60

# Installs into a temporary prefix and builds and runs a consumer against it.
consumer:
	scripts/check-consumer.sh

install: build
	cmake --install build/default --prefix "$(PREFIX)"

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	scripts/run-bench.sh build/bench

# Ten minutes of fuzzing, then the allocation-failure sweep at every
# allocation (not every third, as in `make test`) under ASan + UBSan.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz
	scripts/run-fuzz.sh build/fuzz 600
	cmake --preset asan >/dev/null
	cmake --build --preset asan --target sweep_test
	KWCORE_SWEEP_STRIDE=1 build/asan/tests/sweep_test

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
