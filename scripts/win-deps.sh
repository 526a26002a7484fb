#!/bin/sh
# Cross-builds the static libraries the Windows DLL links (libjpeg-turbo,
# libpng, libtiff with liblzma and libzstd) from Debian's own source packages,
# once per architecture:  scripts/win-deps.sh i686|x86_64 CACHE_DIR
# The sources come through a private deb-src list, leaving the system's apt
# configuration alone.  CACHE_DIR/ARCH/ is the install prefix; its `stamp`
# records the source versions and makes later runs return at once.
set -eu
arch=$1
cache=$(mkdir -p "$2" && cd "$2" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=$cache/$arch
[ -f "$prefix/stamp" ] && exit 0
host=$arch-w64-mingw32
packages="libjpeg-turbo libpng1.6 xz-utils libzstd tiff"

src=$cache/src
if [ ! -f "$src/fetched" ]; then
    mkdir -p "$src/lists/partial"
    # The same mirror the system's packages come from.
    uri=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)
    [ -n "$uri" ] || { echo "win-deps: no Debian mirror in the apt sources" >&2; exit 1; }
    echo "deb-src $uri bookworm main" >"$src/sources.list"
    apt="-o Dir::Etc::SourceList=$src/sources.list -o Dir::Etc::SourceParts=/dev/null -o Dir::State::Lists=$src/lists"
    # shellcheck disable=SC2086
    { apt-get $apt update -qq && (cd "$src" && apt-get $apt source -qq $packages); } >"$src/apt.log" 2>&1 ||
        { echo "win-deps: fetching the sources failed; see $src/apt.log" >&2; exit 1; }
    touch "$src/fetched"
fi
dir_of() { find "$src" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | sort | head -n 1; }

cat >"$cache/$arch.cmake" <<EOT
include($root/cmake/mingw-$arch.cmake)
set(CMAKE_FIND_ROOT_PATH /usr/$host $prefix)
EOT
common="-G Ninja"
command -v ninja >/dev/null 2>&1 || common=""
build() {  # name source-dir cmake-options...
    name=$1; dir=$2; shift 2
    rm -rf "$cache/build-$arch/$name"
    cmake -S "$dir" -B "$cache/build-$arch/$name" $common -DCMAKE_TOOLCHAIN_FILE="$cache/$arch.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=OFF \
        -DBUILD_SHARED_LIBS=OFF "$@" >"$cache/build-$arch/$name.log" 2>&1 &&
    cmake --build "$cache/build-$arch/$name" -j"${JOBS:-2}" >>"$cache/build-$arch/$name.log" 2>&1 &&
    cmake --install "$cache/build-$arch/$name" >>"$cache/build-$arch/$name.log" 2>&1 ||
    { tail -n 30 "$cache/build-$arch/$name.log"; echo "win-deps: $name failed for $arch" >&2; exit 1; }
}
mkdir -p "$cache/build-$arch"
build jpeg "$(dir_of libjpeg-turbo)" -DENABLE_SHARED=OFF -DWITH_SIMD=OFF -DWITH_TURBOJPEG=OFF
build png "$(dir_of libpng1.6)" -DPNG_SHARED=OFF -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF
build lzma "$(dir_of xz-utils)"
build zstd "$(dir_of libzstd)/build/cmake" -DZSTD_BUILD_SHARED=OFF -DZSTD_BUILD_PROGRAMS=OFF \
    -DZSTD_BUILD_TESTS=OFF -DZSTD_MULTITHREAD_SUPPORT=OFF
build tiff "$(dir_of tiff)" -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF \
    -Dtiff-cxx=OFF -Dwebp=OFF -Djbig=OFF -Dlerc=OFF -Dlibdeflate=OFF -Dpixarlog=ON -Dzlib=ON \
    -Djpeg=ON -Dold-jpeg=ON -Dlzma=ON -Dzstd=ON -Djpeg12=OFF
for p in $packages; do
    d=$(dir_of "$p"); echo "$p $(dpkg-parsechangelog -l "$d/debian/changelog" -S Version)"
done >"$prefix/stamp"
echo "zlib (libz-mingw-w64-dev) $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)" >>"$prefix/stamp"
