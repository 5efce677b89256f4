# One entry point for everything: `make test` on a fresh Debian 12 machine
# installs what is missing, builds, and runs every test.
# QT=6 selects the Qt 6 build for build, demo, screenshots and bench; `make
# test` builds and tests both majors.
QT        ?= 5
PRESET    ?= $(if $(filter 6,$(QT)),qt6,default)
BUILD_DIR ?= build/$(PRESET)
JOBS      ?= $(shell nproc)

# Debian packages the project needs, by name.
PACKAGES = build-essential cmake ninja-build pkg-config python3 \
           qtbase5-dev qtbase5-dev-tools qtwebengine5-dev libqt5webengine5 \
           libcpp-httplib-dev libsqlite3-dev libexiv2-dev \
           clang libclang-rt-14-dev \
           qt5-image-formats-plugins \
           qt6-base-dev qt6-base-dev-tools qt6-webengine-dev libqt6webenginecore6-bin \
           libqt6opengl6-dev qt6-image-formats-plugins \
           xvfb xauth fonts-dejavu-core fonts-wqy-microhei curl \
           libvips-tools imagemagick \
           dpkg-dev lintian

.PHONY: deps build test test-fast test-sanitize demo screenshots bench fuzz package clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

# CI builds without debug information (a third of the compile time) and,
# where told EXTRAS=OFF, without the benchmarks and the page renderer.
build: deps
	cmake --preset $(PRESET) $(if $(CI),-DORVELLE_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=Release) \
	    -DORVELLE_EXTRAS=$(or $(EXTRAS),ON)
	cmake --build --preset $(PRESET) -j $(JOBS)

# Both Qt majors, each with its whole suite (the Qt 6 build also reads the
# files the Qt 5 build writes and the other way round), then the fuzzers.
# The minute-long check of the real retry timer runs once, from the Qt 5
# build, beside the Qt 6 build (it spends that minute waiting). The
# benchmarks are compiled by the Qt 5 build only.
test: deps
	$(MAKE) --no-print-directory build QT=5
	cd build/default && ctest --output-on-failure -j $(JOBS) -LE slow
	(cd build/default && ctest --output-on-failure -L slow > Testing/slow.log 2>&1; echo $$? > Testing/slow.status) & \
	$(MAKE) --no-print-directory build QT=6 EXTRAS=OFF && (cd build/qt6 && ctest --output-on-failure -j $(JOBS) -LE slow); \
	status=$$?; wait; cat build/default/Testing/slow.log; \
	[ $$status = 0 ] && [ "$$(cat build/default/Testing/slow.status)" = 0 ]
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=5

# Debian packages of both builds (build/default/*.deb: the Qt 5 plug-in and
# the programs; build/qt6/*.deb: the Qt 6 plug-in), their dependencies from
# dpkg-shlibdeps; then lintian and the programs of an unpacked copy.
package: deps
	$(MAKE) --no-print-directory build QT=5
	cd build/default && rm -f *.deb && cpack
	$(MAKE) --no-print-directory build QT=6 EXTRAS=OFF
	cd build/qt6 && rm -f *.deb && cpack
	packaging/check-packages.sh build/default/*.deb build/qt6/*.deb

# Every test again but the real-time one, built with the address and
# undefined-behaviour sanitizers (leak checks on where the web engine lets
# them run).
test-sanitize: deps
	cmake --preset sanitize $(if $(CI),-DORVELLE_WARNINGS_AS_ERRORS=ON)
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize -j $(JOBS) -LE slow

# Everything but the minute-long real-time checks, for one major (QT=5|6).
test-fast: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) -LE slow

# The stand-in host drives the plug-in against the sandbox: who is logged in,
# the albums, two photos (one a large TIFF, sent scaled down as JPEG), a
# shared post, and a picture of the gallery (build/default/demo/gallery.png).
demo: build
	tools/demo.sh $(BUILD_DIR)

# The README's pictures in docs/, taken under Xvfb.
screenshots: build
	tools/screenshots.sh $(BUILD_DIR)

# Each prints its figures, the anchor, the ratio and whether the target was
# met; one that misses its target does not keep the others from running.
bench: build
	-$(BUILD_DIR)/bench/bench_json
	-$(BUILD_DIR)/bench/bench_upload
	-$(BUILD_DIR)/bench/bench_plugin
	-$(BUILD_DIR)/bench/bench_prepare
	-$(BUILD_DIR)/bench/bench_batch
	-$(BUILD_DIR)/bench/bench_scale

# The libFuzzer targets with address and undefined-behaviour sanitizers, each
# for FUZZ_SECONDS: the JSON reader (seeded from the JSONTestSuite corpus next
# to the repository when it is there), the stored cookie list's reader, the
# sandbox's photo upload and the photo metadata reader (seeded from
# fuzz/seeds).
FUZZ_SECONDS ?= 600
FUZZ_CORPUS  ?= ../shared/testdata/JSONTestSuite/test_parsing
FUZZ_FLAGS    = -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 -print_final_stats=1
fuzz: deps
	cmake -S fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/fuzz
	mkdir -p build/fuzz/corpus/json build/fuzz/corpus/cookies build/fuzz/corpus/multipart build/fuzz/corpus/metadata
	build/fuzz/fuzz_json build/fuzz/corpus/json fuzz/seeds/json $(wildcard $(FUZZ_CORPUS)) $(FUZZ_FLAGS)
	ASAN_OPTIONS=allocator_may_return_null=1 build/fuzz/fuzz_cookies build/fuzz/corpus/cookies fuzz/seeds/cookies $(FUZZ_FLAGS)
	build/fuzz/fuzz_multipart build/fuzz/corpus/multipart fuzz/seeds/multipart $(FUZZ_FLAGS)
	build/fuzz/fuzz_metadata build/fuzz/corpus/metadata fuzz/seeds/metadata $(FUZZ_FLAGS)

clean:
	rm -rf build
