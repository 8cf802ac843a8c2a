#!/usr/bin/env bash
# Builds GLFW and raylib from Debian's source packages inside an old Debian
# root, so that the shared objects ask for no newer C library than that
# root's, and stages what the wheel needs in /out:
#
#   /out/lib/        libraylib.so.600, libglfw.so.3 (and their links)
#   /out/include/    raylib.h, raymath.h, rlgl.h
#   /out/licenses/   raylib/ and glfw/: upstream's licence and Debian's
#                    copyright file, which covers the code bundled in each
#   /out/src/        raylib's src/ after lumabo's patches: what compiling
#                    raudio.c on its own needs (raudio.c, raylib.h, config.h,
#                    external/), for the fuzzing harness
#   /out/versions    what was built, from which source package, with which
#                    of lumabo's patches, on what
#
# distrib/patches/series lists lumabo's patches to raylib (one file name a
# line, # for comments); each is applied in order from the top of the
# source tree and must apply, or the build stops. ./dev copies the patches
# to /usr/src/patches beside this script.
#
# ./dev runs this once as a customisation step of mmdebstrap; the root's
# packages are the two source packages' Build-Depends that the root has.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

say() { echo "I: $*"; }

# raylib as Debian's newest release carries it; GLFW 3.4, the version raylib
# 6.0 asks for, from Debian's stable release.
raylib_from=raylib/forky
glfw_from=glfw3/trixie

patches=/usr/src/patches

mkdir -p /usr/src/wheel/build /out/lib /out/include /out/src /out/licenses/raylib /out/licenses/glfw
cd /usr/src/wheel
say "fetching the source packages $raylib_from and $glfw_from"
apt-get update -qq
apt-get source -qq --only-source "$raylib_from" "$glfw_from" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true
raylib_src=$(find . -maxdepth 1 -type d -name 'raylib-*' | head -n 1)
glfw_src=$(find . -maxdepth 1 -type d -name 'glfw3-*' | head -n 1)
[ -n "$raylib_src" ] && [ -n "$glfw_src" ] || { echo "E: the source packages did not unpack" >&2; exit 1; }

# Debian's own compiler and linker flags for each package (debian/rules).
buildflags() {
  DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CPPFLAGS_MAINT_APPEND="$1" dpkg-buildflags --export=sh
}

# GLFW loads X11, Wayland and OpenGL itself when a window opens, so the
# shared object needs only the C library. Installed under /usr/local, where
# raylib's build finds it.
# NOTE: GLFW 3.4 asserts that the window its functions get is not NULL, and
# raylib's cursor functions pass its window whether one is open or not: an
# assertion would abort the program (Debian's GLFW 3.5 reports an error
# instead). Without assertions, a call before glfwInit returns with
# GLFW_NOT_INITIALIZED, which is all raylib needs.
say "building GLFW ($glfw_src)"
(
  eval "$(buildflags '-D_DEFAULT_SOURCE -DNDEBUG')"
  # CMake reads CFLAGS, not CPPFLAGS; debhelper passes both, as here.
  export CFLAGS="$CFLAGS $CPPFLAGS"
  cmake -S "$glfw_src" -B build/glfw -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=ON -DGLFW_BUILD_X11=ON -DGLFW_BUILD_WAYLAND=ON \
    -DGLFW_BUILD_EXAMPLES=OFF -DGLFW_BUILD_TESTS=OFF -DGLFW_BUILD_DOCS=OFF >build/glfw.log
  cmake --build build/glfw -j"$(nproc)" >>build/glfw.log
  cmake --install build/glfw --strip >>build/glfw.log
)

# lumabo's patches to raylib, in the order of the series.
applied=()
while read -r line; do
  name=${line%%#*}
  name=${name//[[:space:]]/}
  [ -n "$name" ] || continue
  [ -f "$patches/$name" ] || { echo "E: the series names $name, which is not in distrib/patches" >&2; exit 1; }
  say "applying $name"
  patch -d "$raylib_src" -p1 --forward --batch --no-backup-if-mismatch <"$patches/$name" \
    || { echo "E: $name does not apply to $raylib_src" >&2; exit 1; }
  applied+=("$name")
done <"$patches/series"

# raylib asks for CMake 3.25, whose genex handling of a list in
# target_link_libraries it relies on; the root's CMake is 3.18. Quoting the
# genex gives 3.18 the same link line, and nothing else in the build needs
# more than 3.18. Each edit must apply, or the build stops here.
say "building raylib ($raylib_src)"
edit() {
  local file=$1 from=$2 to=$3
  grep -qF -- "$from" "$file" || { echo "E: $file no longer has: $from" >&2; exit 1; }
  sed -i "s|$(printf '%s' "$from" | sed 's/[][\.*^$|]/\\&/g')|$to|" "$file"
}
edit "$raylib_src/CMakeLists.txt" 'cmake_minimum_required(VERSION 3.25)' 'cmake_minimum_required(VERSION 3.18)'
edit "$raylib_src/src/CMakeLists.txt" 'PRIVATE $<BUILD_INTERFACE:${LIBS_PRIVATE}>)' 'PRIVATE "$<BUILD_INTERFACE:${LIBS_PRIVATE}>")'
(
  eval "$(buildflags '')"
  # raylib reaches OpenGL through GLFW; link only what it calls, as
  # Debian's newer toolchains do by default.
  export LDFLAGS="$LDFLAGS -Wl,--as-needed"
  cmake -S "$raylib_src" -B build/raylib -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_LIBDIR=lib \
    -DBUILD_SHARED_LIBS=ON -DOpenGL_GL_PREFERENCE=GLVND -DUSE_EXTERNAL_GLFW=ON \
    -DBUILD_EXAMPLES=OFF >build/raylib.log
  cmake --build build/raylib -j"$(nproc)" >>build/raylib.log
  cmake --install build/raylib --strip >>build/raylib.log
)

# The patches applied, in a section of raylib's shared object itself: the
# tests read it from the library they have loaded (tests/support.py).
printf '%s\n' "${applied[@]}" >build/lumabo-patches
objcopy --add-section .lumabo.patches=build/lumabo-patches \
  --set-section-flags .lumabo.patches=readonly "$(realpath /usr/local/lib/libraylib.so)"

cp -a /usr/local/lib/libglfw.so.3* /usr/local/lib/libraylib.so.6* /out/lib/
cp -a /usr/local/include/raylib.h /usr/local/include/raymath.h /usr/local/include/rlgl.h /out/include/
cp -a "$raylib_src/src/raudio.c" "$raylib_src/src/raylib.h" "$raylib_src/src/config.h" \
  "$raylib_src/src/external" /out/src/
cp "$raylib_src/LICENSE" "$raylib_src/debian/copyright" /out/licenses/raylib/
cp "$glfw_src/LICENSE.md" "$glfw_src/debian/copyright" /out/licenses/glfw/
{
  for src in "$raylib_src" "$glfw_src"; do
    echo "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Source)" \
      "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)"
  done
  for name in "${applied[@]}"; do
    echo "patch $name"
  done
  echo "built on Debian $(cat /etc/debian_version), $(gcc --version | head -n 1), $(ldd --version | head -n 1)"
} >/out/versions
say "built: $(paste -sd ';' /out/versions)"
