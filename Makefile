# Entry points: `make` builds QarSldwInterface_x64.dll, `make test` builds and runs every test,
# `make demo` runs the command-line host through a session against the simulator. All install
# missing Debian packages first.
PRESET := mingw

.PHONY: all deps configure build test clean demo package

all: build

deps:
	@sh cmake/install-deps.sh

configure: deps
	cmake --preset $(PRESET)

build: configure
	cmake --build --preset $(PRESET)

test: build
	ctest --preset $(PRESET)

# The release artefacts in build/mingw/release: the MSI package and the SDK archive (signed when a
# certificate is configured; README "Release").
package: build
	cmake --build --preset $(PRESET) --target qar_package

clean:
	rm -rf build

# The README's main command: builds, registers the simulated CAD application in a private Wine
# prefix and runs qarsldw (doctor, then a session) against it.
demo: build
	sh cmake/demo.sh
