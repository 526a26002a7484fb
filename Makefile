# The two commands of the README:
#   make demo   builds the library and previews the bundled sample pictures into out/
#   make test   builds the normal and the sanitizer configurations and runs every test in both,
#               then the overlapping-calls stress test under ThreadSanitizer, then the Windows DLL
#               checks and tests (64-bit Wine)
#   make dll    cross-builds build-win32/quorvel.dll (i686) and build-win64/ (x86_64, with its host)

JOBS ?= 2

.PHONY: demo test deps build build-asan tsan dll wintest

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
	$(MAKE) wintest

# The dependencies are cross-built once from Debian's sources into WINDEPS.
WINDEPS ?= $(CURDIR)/.cache/win-deps
dll: deps
	@echo "== cross-building the Windows DLL (build-win32/, build-win64/)"
	./scripts/win-deps.sh i686 $(WINDEPS)
	./scripts/win-deps.sh x86_64 $(WINDEPS)
	cmake -S . -B build-win32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(WINDEPS)/i686.cmake
	cmake --build build-win32 -j$(JOBS)
	cmake -S . -B build-win64 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=$(WINDEPS)/x86_64.cmake
	cmake --build build-win64 -j$(JOBS)

# Export and import tables of both DLLs; then, under 64-bit Wine, the platform
# tests and the parity with the Linux library (needs build/).
wintest: dll build
	@echo "== Windows checks and tests under 64-bit Wine"
	cmake --build build -j$(JOBS) --target quorvel_parity_host
	ctest --test-dir build-win32 --output-on-failure
	./win/wine.sh start build-win64
	ctest --test-dir build-win64 --output-on-failure; rc=$$?; ./win/wine.sh stop build-win64; exit $$rc
