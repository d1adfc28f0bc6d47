# Every target sets itself up on a fresh machine: system packages, .venv, build.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(CURDIR)/$(VENV)/bin/python
BUILD := build/release
ASAN_BUILD := build/asan
ASAN_PKG := $(ASAN_BUILD)/pkg
SRC_PKG := src/zarnik_manifest
PYTEST_ARGS ?= -q

.PHONY: all demo test native-test bench sanitize lint fuzz fuzz-minimise fuzzdeps stress mutants build sysdeps clangdeps venv clean

all: build

sysdeps:
	@if [ ! -f /usr/include/openssl/evp.h ] || [ ! -f /usr/include/fmt/format.h ]; then \
	  echo "installing libssl-dev libfmt-dev"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libssl-dev libfmt-dev; \
	fi

# pip prints one line per package (no -q), so a cold install is never silent for long.
# Byte-compiling here (not on first import) keeps that cost out of the first `make test`.
$(VENV)/.ready: requirements-dev.txt
	@test -x $(VPY) || { echo "== creating $(VENV)"; $(PYTHON) -m venv $(VENV); }
	@echo "== installing requirements-dev.txt into $(VENV)"
	$(VPY) -m pip install --disable-pip-version-check --progress-bar off -r requirements-dev.txt
	@touch $@

venv: $(VENV)/.ready

$(BUILD)/CMakeCache.txt: | sysdeps venv
	$(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(VPY) -DZM_INPLACE_DIR=$(CURDIR)/$(SRC_PKG)

build: sysdeps venv $(BUILD)/CMakeCache.txt
	$(VENV)/bin/cmake --build $(BUILD) -j2

native-test: build
	$(BUILD)/native_tests

# The type and wheel checks run beside pytest (which mostly waits on files, subprocesses
# and signals); their output is shown after the suite's. The wheel check builds its wheel
# in $(BUILD), the tree just built: nothing compiles twice.
test: build
	@echo "== layers"
	$(VPY) tools/check_layers.py
	@echo "== native tests"
	$(BUILD)/native_tests
	@log=$(BUILD)/checks.log; \
	echo "== type and wheel checks: started beside pytest, their output follows it"; \
	( tools/check_types.sh && ZM_BUILD_DIR=$(BUILD) tools/check_package.sh ) > $$log 2>&1 & checks=$$!; \
	echo "== pytest"; \
	PYTHONPATH=$(CURDIR)/src ZM_NATIVE_BUILD=$(CURDIR)/$(BUILD) $(VPY) -m pytest $(PYTEST_ARGS); suite=$$?; \
	wait $$checks; status=$$?; cat $$log; \
	if [ $$status -ne 0 ]; then echo "type or wheel checks failed (above)"; fi; \
	[ $$suite -eq 0 ] && [ $$status -eq 0 ]

demo: build
	PYTHONPATH=$(CURDIR)/src $(VPY) -m zarnik_manifest.demo

bench: build
	@for b in $$(grep -l "^if __name__ == .__main__.:" bench/*.py); do echo "== $$b"; PYTHONPATH=$(CURDIR)/src $(VPY) $$b || exit 1; done

# The same suite against an AddressSanitizer + UndefinedBehaviorSanitizer build.
sanitize: sysdeps venv
	@test -f $(ASAN_BUILD)/CMakeCache.txt || $(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZM_SANITIZE=ON -DPython_EXECUTABLE=$(VPY) \
	  -DZM_INPLACE_DIR=$(CURDIR)/$(ASAN_PKG)/zarnik_manifest
	@mkdir -p $(ASAN_PKG)/zarnik_manifest
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j2
	cp -f $(SRC_PKG)/*.py $(ASAN_PKG)/zarnik_manifest/
	cp -rf $(SRC_PKG)/schemas $(ASAN_PKG)/zarnik_manifest/
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 $(ASAN_BUILD)/native_tests
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  PYTHONPATH=$(CURDIR)/$(ASAN_PKG) ZM_NATIVE_BUILD=$(CURDIR)/$(ASAN_BUILD) ZM_SANITIZED=1 \
	  $(VPY) -m pytest $(PYTEST_ARGS) -p no:cacheprovider

# clang-format and clang-tidy 16; the tidy pass uses its own clang/libc++ compile database.
LINT_BUILD := build/lint
CLANG_PKGS := clang-16 clang-tidy-16 clang-format-16 libc++-16-dev libc++abi-16-dev libclang-rt-16-dev
clangdeps:
	@command -v clang-tidy-16 >/dev/null && [ -f /usr/lib/llvm-16/include/c++/v1/expected ] || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(CLANG_PKGS))

lint: sysdeps venv clangdeps
	clang-format-16 --dry-run --Werror $$(git ls-files 'native/*.cpp' 'native/*.h')
	@test -f $(LINT_BUILD)/CMakeCache.txt || $(VENV)/bin/cmake -S . -B $(LINT_BUILD) -G Ninja \
	  -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DPython_EXECUTABLE=$(VPY) >/dev/null
	clang-tidy-16 -p $(LINT_BUILD) --quiet $$(git ls-files 'native/*.cpp')

# nlohmann/json is the second parser of the differential JSON harness (used only there).
fuzzdeps: sysdeps venv clangdeps
	@test -f /usr/include/nlohmann/json.hpp || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nlohmann-json3-dev)

# Fuzzes from fuzz/seeds/<name>/ and grows build/fuzz-corpus/<name>/ (outside git).
fuzz: fuzzdeps
	./fuzz/run.sh

# Rewrites each fuzz/seeds/<name>/ as at most 64 inputs from the seeds and the grown corpus.
fuzz-minimise: fuzzdeps
	./fuzz/run.sh minimise

# Races, threads and leaks at full size (make test runs them small).
stress: build
	PYTHONPATH=$(CURDIR)/src ZM_STRESS_SCALE=full $(VPY) tools/stress.py

# Each fault of tools/mutants.toml injected in turn into a scratch copy of this tree (its own
# build; each fault's run ends at its first failing test); a fault that tools/mutants-caught.json
# says the suite caught and that it no longer catches fails the target.
mutants: sysdeps venv
	@mkdir -p build
	$(VPY) tools/mutants.py . --fast --order tools/mutants-caught.json --out build/mutants.json
	$(VPY) tools/mutants.py --compare tools/mutants-caught.json build/mutants.json

clean:
	rm -rf build $(SRC_PKG)/*.so
