#!/bin/bash
# Builds the SDK archive: the library and debug components of the CMake install (headers, import
# libraries, the DLLs they bind to, their debug files, the CMake package) as a zip whose root is the
# install prefix. The modules are signed when a certificate is configured (installer/sign.sh).
# Usage: make-sdk.sh BUILD_DIR OUTPUT.zip
set -euo pipefail
build=$1
output=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
stage=${output%.zip}
rm -rf "$stage" "$output"
cmake --install "$build" --prefix "$stage" --component library >/dev/null
# The debug files of the stripped modules, for a maintainer who turns a fault address into a line.
cmake --install "$build" --prefix "$stage" --component debug >/dev/null
bash "$here/sign.sh" "$stage"/bin/*.dll
(cd "$stage" && cmake -E tar cf "$output" --format=zip .)
echo "sdk: $output"
