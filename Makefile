# kwcore's front door. `make test` is what CI runs.
PREFIX ?= /usr/local
# What `make install` builds: optimised with debug info unless overridden.
BUILD_TYPE ?= RelWithDebInfo
# Build and test jobs (`make test JOBS=1` on a busy machine).
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
.PHONY: all deps build demo test test-default test-asan test-tsan test-fuzz consumer install bench fuzz format clean

all: build

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default

# The library's main job from end to end: kw demo builds, saves, reopens and
# checks a DVD project in a fresh temporary folder; kw tree shows the file.
demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default --target kw
	@dir=$$(mktemp -d) && build/default/bin/kw demo "$$dir/demo.kwp" && echo && \
	  build/default/bin/kw tree "$$dir/demo.kwp" && echo && \
	  echo "The project file is $$dir/demo.kwp (its registration file $$dir/demo.ini beside it)."

test: deps test-default test-asan test-tsan test-fuzz consumer

test-default:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(JOBS); status=$$?; scripts/ctest-skips.sh build/default; exit $$status

test-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS); status=$$?; scripts/ctest-skips.sh build/asan; exit $$status

test-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS); status=$$?; scripts/ctest-skips.sh build/tsan; exit $$status

# About a minute of fuzzing the compound-file reader, and ten seconds each the
# Nubra value readers, the registration-file reader and the persistent list
# loader, under ASan + UBSan.
test-fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/run-fuzz.sh build/fuzz 60

# Installs into a temporary prefix and builds and runs a consumer against it.
consumer:
	scripts/check-consumer.sh

install: deps
	cmake --preset install -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	cmake --build --preset install -j $(JOBS)
	cmake --install build/install --prefix "$(PREFIX)"

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench
	scripts/run-bench.sh build/bench

# Ten minutes of fuzzing, then the allocation-failure sweep at every
# allocation under ASan + UBSan, as `make test` also runs it.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	scripts/run-fuzz.sh build/fuzz 600
	cmake --preset asan >/dev/null
	cmake --build --preset asan --target sweep_test
	KWCORE_SWEEP_STRIDE=1 build/asan/tests/sweep_test

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
