# Thin front over the CMake presets. Every target first installs what is missing.
.PHONY: deps build test demo demo-nautilus demo-installed install uninstall asan tsan fuzz clean

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
