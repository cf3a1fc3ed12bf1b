# Thin front over the CMake presets. Every target first installs what is missing.
.PHONY: deps build test demo asan tsan fuzz clean

JOBS ?= $(shell nproc)

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

clean:
	rm -rf build
