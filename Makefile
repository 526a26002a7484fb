# The two commands of the README:
#   make demo   builds the library and previews the bundled sample pictures into out/
#   make test   builds the normal and the sanitizer configurations and runs every test in both,
#               then the overlapping-calls stress test under ThreadSanitizer

JOBS ?= 2

.PHONY: demo test deps build build-asan tsan

deps:
	@echo "== checking build and test packages"
	@./scripts/install-deps.sh

build: deps
	@echo "== building the library, host and tests (build/)"
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS)

build-asan: deps
	@echo "== building with AddressSanitizer and UBSan (build-asan/)"
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=ON
	cmake --build build-asan -j$(JOBS)

# ThreadSanitizer: only the overlapping-calls stress test is built and run.
tsan: deps
	@echo "== overlapping calls under ThreadSanitizer (build-tsan/)"
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TSAN=ON
	cmake --build build-tsan -j$(JOBS) --target quorvel_stress
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --test-dir build-tsan -R overlapping_calls --output-on-failure

demo: build
	@echo "== previewing samples/ into out/"
	./scripts/demo.sh build out

# Every test oracle is installed by deps, so a test that would skip for want
# of one fails instead.
test: build build-asan
	@echo "== running the tests (build/)"
	QUORVEL_REQUIRE_ORACLES=1 ctest --test-dir build -j$(JOBS) --output-on-failure
	@echo "== running the tests under the sanitizers (build-asan/)"
	QUORVEL_REQUIRE_ORACLES=1 ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir build-asan -j$(JOBS) --output-on-failure
	$(MAKE) tsan
