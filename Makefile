# Thin front over the CMake presets. Every target first installs what is missing.
.PHONY: deps build test soak demo demo-nautilus demo-installed install uninstall asan tsan fuzz clean

JOBS ?= $(shell nproc)
# Where `make install` puts the commands, the launcher and the icons. The application bundle goes
# into the applications folder: PELLORA_APPLICATIONS_DIR=... when given (also to make), else
# /Applications. DESTDIR=... stages the whole installation.
PREFIX ?= /usr/local

deps:
	./scripts/install-deps.sh

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default -j $(JOBS)
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

# Ten minutes of random user actions on the running system; `make test` runs one minute of it.
# PELLORA_SOAK_SEED=N replays the draws of a run.
PELLORA_SOAK_SECONDS ?= 600
soak: build
	PELLORA_SOAK_SECONDS=$(PELLORA_SOAK_SECONDS) ./tests/isolated.sh build/default/tests/e2e/soak_e2e_test --gtest_color=no

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

demo: build
	./scripts/demo.sh

# The add-on in GNOME Files, where Nautilus is installed (under Xvfb when there is no display).
demo-nautilus: build
	./tools/nautilus/demo.sh

# The build's programs know their prefix (they look for the plug-in tool there as well).
install: deps
	cmake --preset default -DCMAKE_INSTALL_PREFIX="$(PREFIX)"
	cmake --build --preset default -j $(JOBS)
	cmake --install build/default

uninstall:
	cmake -DPELLORA_PREFIX="$(PREFIX)" -P cmake/Uninstall.cmake

# The demo with the programs of the installation at PREFIX.
demo-installed:
	./scripts/demo-installed.sh "$(PREFIX)"

clean:
	rm -rf build
