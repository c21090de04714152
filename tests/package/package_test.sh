#!/usr/bin/env bash
# Checks the Debian package the way a user meets it: unpacks the one .deb in PACKAGE_DIR into a scratch
# root with `dpkg -x`, builds the outside project in consumer/ against that root (CMake package and
# pkg-config), runs both programs and every installed tool, and checks the library's run-time needs.
#   package_test.sh PACKAGE_DIR WORK_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
package_dir=$1
work=$2

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

shopt -s nullglob
debs=("$package_dir"/tolvanlib_*.deb)
[ ${#debs[@]} -eq 1 ] || fail "expected one tolvanlib_*.deb in $package_dir, found ${#debs[@]}"
deb=${debs[0]}

rm -rf "$work"
mkdir -p "$work"
root="$work/root"
dpkg -x "$deb" "$root"
echo "unpacked $(basename "$deb") into $root"

# What the package holds: the library (with its soname link), headers, CMake and pkg-config files.
libdir=$(dirname "$(find "$root/usr/lib" -name 'libtolvan.so' -print -quit)")
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "libtolvan.so missing from the package"
for f in "$libdir/libtolvan.so.0" "$libdir/cmake/TolvanLib/TolvanLibConfig.cmake" \
    "$libdir/cmake/TolvanLib/TolvanLibTargets.cmake" "$libdir/pkgconfig/tolvan.pc" \
    "$root/usr/include/tolvan/tolvan.h"; do
    [ -e "$f" ] || fail "$f missing from the package"
done
[ -z "$(find "$root/usr/include" -name '*_posix.h')" ] || fail "private *_posix.h headers were packaged"
# (Outputs are read whole before grep -q looks at them: grep stopping early must not fail the writer.)
depends=$(dpkg-deb --field "$deb" Depends)
grep -q 'libc6' <<<"$depends" || fail "the package declares no run-time dependencies"

export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
expected_md5=$(printf '%s' "package check" | md5sum | cut -d' ' -f1)

# The consumer finds the package only through the scratch root: CMake by CMAKE_PREFIX_PATH,
# pkg-config by PKG_CONFIG_PATH (the .pc file finds its own prefix).
PKG_CONFIG_PATH="$libdir/pkgconfig" \
    cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF >"$work/configure.log" ||
    { cat "$work/configure.log"; fail "the consumer project does not configure against the package"; }
grep -q "$root" "$work/consumer/CMakeCache.txt" || fail "CMake found TolvanLib outside the scratch root"
cmake --build "$work/consumer" || fail "the consumer project does not build against the package"

for program in consumer_cmake consumer_pkgconfig; do
    output=$("$work/consumer/$program" "package check") || fail "$program exited with $?"
    echo "$program: $output"
    # Loaded from the scratch root, not from a library installed elsewhere on the machine.
    libraries=$(ldd "$work/consumer/$program")
    grep -q "$libdir/libtolvan.so.0" <<<"$libraries" || fail "$program does not load $libdir/libtolvan.so.0"
    grep -qix "md5 $expected_md5" <<<"$output" || fail "$program printed a wrong MD5"
    grep -qx "path C:/Renders/frame.exr" <<<"$output" || fail "$program printed a wrong path"
done

# No packaged binary points back into the build tree, which only exists on the machine that built it.
for binary in "$libdir"/*.so* "$root"/usr/bin/*; do
    [ -L "$binary" ] && continue
    dynamic=$(readelf -d "$binary")
    if grep -qE "R(UN)?PATH.*$package_dir" <<<"$dynamic"; then
        fail "$(basename "$binary") has a run-time search path into the build tree"
    fi
done

# Every installed program finds all its libraries, the library's own from the scratch root.
for tool in "$root"/usr/bin/*; do
    libraries=$(ldd "$tool")
    if grep -q 'not found' <<<"$libraries"; then
        echo "$libraries" >&2
        fail "$(basename "$tool") has unresolved libraries"
    fi
    if grep -q 'libtolvan' <<<"$libraries" && ! grep -q "$libdir/libtolvan" <<<"$libraries"; then
        fail "$(basename "$tool") does not load the library from $libdir"
    fi
    echo "tool $(basename "$tool"): libraries resolve"
done
echo "package check passed"
