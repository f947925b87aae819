#!/usr/bin/env bash
# Builds what the Windows build needs from Debian's sources: Expat, as a static mingw-w64
# library with wchar_t characters and DTD support (its amplification protection on).
#   cmake/windows-deps.sh PREFIX
# Installs into PREFIX (lib/libexpatw.a, include/expat.h) and records the version in
# PREFIX/expat-version. Nothing is downloaded but Debian's source package.
set -euo pipefail
prefix=$1
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(dirname "$prefix")/expat-source
[ -f "$prefix/lib/libexpatw.a" ] && [ -f "$prefix/expat-version" ] && exit 0

# A deb-src entry made from the machine's own apt sources.
if ! apt-cache showsrc expat 2>/dev/null | grep -q '^Version:'; then
  if [ "$(id -u)" != 0 ]; then
    echo "windows-deps: Debian source entries are needed (run as root)" >&2
    exit 2
  fi
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/kvn-deb-src.sources
  else
    grep -h '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null \
      | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/kvn-deb-src.list
  fi
  apt-get update -qq
fi

# The newest version the archive serves: the security archive may not serve its source,
# so versions are tried newest first.
rm -rf "$work"
mkdir -p "$work"
cd "$work"
version=""
for v in $(apt-cache showsrc expat | awk '/^Version:/ {print $2}' | sort -Vr -u); do
  if apt-get source --download-only "expat=$v" >/dev/null 2>&1; then
    version=$v
    break
  fi
  rm -f ./*.dsc ./*.debian.tar.* 2>/dev/null || true
done
if [ -z "$version" ]; then
  echo "windows-deps: no source of expat could be fetched from the archive" >&2
  exit 1
fi
dpkg-source -x ./*.dsc src >/dev/null  # applies Debian's patches

cmake -S src/expat -B build -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DEXPAT_SHARED_LIBS=OFF -DEXPAT_CHAR_TYPE=wchar_t -DEXPAT_DTD=ON -DEXPAT_NS=ON \
  -DEXPAT_BUILD_TOOLS=OFF -DEXPAT_BUILD_EXAMPLES=OFF -DEXPAT_BUILD_TESTS=OFF -DEXPAT_BUILD_DOCS=OFF \
  -DEXPAT_BUILD_PKGCONFIG=OFF >/dev/null
# Debian's security patches test "#if XML_DTD == 1", as its autotools build defines it;
# CMake's configuration header defines the switches without a value.
sed -i -e 's/^#define XML_DTD$/#define XML_DTD 1/' -e 's/^#define XML_NS$/#define XML_NS 1/' build/expat_config.h
cmake --build build -j "$(nproc)" >/dev/null
cmake --install build >/dev/null
echo "$version" > "$prefix/expat-version"
echo "windows-deps: Expat $version (Debian source, patches applied) in $prefix"
