# The two set-up commands of the README, an install step and the package.
.PHONY: demo test install package
# Builds use every core; most tests wait on strace's delays or on mounts
# rather than on a core, so twice as many run at once.
CORES := $(shell nproc 2>/dev/null || echo 2)
export CMAKE_BUILD_PARALLEL_LEVEL ?= $(CORES)
export CTEST_PARALLEL_LEVEL ?= $(shell expr $(CORES) \* 2)
# The demo and the install build the program alone, without its tests, so
# that they need no test framework.
demo:
	cmake --preset demo >/dev/null && cmake --build --preset demo && bash tests/cli/sample_trees.sh --demo build/kalvern
# The tests wait on delays and mounts more than on a core: the
# ThreadSanitizer's build goes on beside the first run of the tests, its
# output kept in build-tsan/build.log and shown if it fails.
test:
	cmake --preset asan && cmake --build --preset asan && cmake --preset tsan
	cmake --build --preset tsan >build-tsan/build.log 2>&1 & build=$$!; \
	  ctest --preset asan; status=$$?; \
	  wait $$build || { cat build-tsan/build.log; exit 1; }; \
	  [ $$status -eq 0 ] && ctest --preset tsan
install:
	cmake --preset demo >/dev/null && cmake --build --preset demo && cmake --install build
# The Debian package, built by dpkg-buildpackage from a clean copy of the
# tree (the last commit with the changes to tracked files) in dist/, where
# the source package, the .deb and its debug symbols are left.
package:
	rm -rf dist && mkdir -p dist/kalvern
	tree=$$(git stash create) && git archive $${tree:-HEAD} | tar -x -C dist/kalvern
	cd dist/kalvern && dpkg-buildpackage -us -uc -J$(CORES)
	rm -rf dist/kalvern
