# The two set-up commands of the README, an install step and the package.
.PHONY: demo test install package
demo:
	cmake --preset dev >/dev/null && cmake --build --preset dev --target kalvern && bash tests/cli/sample_trees.sh --demo build/kalvern
test:
	cmake --workflow --preset dev && cmake --workflow --preset asan && cmake --workflow --preset tsan
install:
	cmake --preset dev >/dev/null && cmake --build --preset dev && cmake --install build
package:
	cmake --preset dev >/dev/null && cmake --build --preset dev && cd build && cpack
