#!/bin/sh
# Installs a build into a scratch prefix and uses it as other projects do:
# through pkg-config, through find_package, and by running the installed
# command.
#
# install_test.sh BUILD_DIR CMAKE CONSUMER_DIR LIBDIR GENERATOR C_COMPILER WITH_COMMAND
set -eu

build=$1
cmake=$2
consumer=$3
libdir=$4
generator=$5
cc=$6
with_command=$7

fail() {
    echo "install test: $*" >&2
    exit 1
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" ||
    { cat "$scratch/install.log" >&2; fail "cmake --install failed"; }

for file in include/connwalk.h "$libdir/libconnwalk.so" "$libdir/libconnwalk.so.1" \
    "$libdir/pkgconfig/connwalk.pc" "$libdir/cmake/connwalk/connwalkConfig.cmake" \
    "$libdir/cmake/connwalk/connwalkConfigVersion.cmake"; do
    test -e "$prefix/$file" || fail "$file was not installed"
done

# pkg-config must point at this prefix, wherever the prefix was put.
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
libs=$(pkg-config --libs connwalk) || fail "pkg-config --libs connwalk failed"
cflags=$(pkg-config --cflags connwalk) || fail "pkg-config --cflags connwalk failed"
installed_libdir=$(cd "$prefix/$libdir" && pwd -P)
found=no
for word in $libs; do
    case $word in
    -L*)
        dir=${word#-L}
        if [ -d "$dir" ] && [ "$(cd "$dir" && pwd -P)" = "$installed_libdir" ]; then
            found=yes
        fi
        ;;
    esac
done
[ "$found" = yes ] || fail "pkg-config --libs gives '$libs', not $prefix/$libdir"
case " $libs " in *" -lconnwalk "*) ;; *) fail "pkg-config --libs gives '$libs', no -lconnwalk" ;; esac

# shellcheck disable=SC2086 # the flags are words
"$cc" $cflags "$consumer/main.c" -o "$scratch/pkg-config-consumer" $libs \
    -Wl,-rpath,"$installed_libdir" || fail "building with pkg-config's flags failed"
"$scratch/pkg-config-consumer" || fail "the consumer built with pkg-config failed"

"$cmake" -S "$consumer" -B "$scratch/consumer-build" -G "$generator" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >"$scratch/configure.log" ||
    { cat "$scratch/configure.log" >&2; fail "find_package(connwalk) consumer did not configure"; }
"$cmake" --build "$scratch/consumer-build" >"$scratch/build.log" ||
    { cat "$scratch/build.log" >&2; fail "find_package(connwalk) consumer did not build"; }
"$scratch/consumer-build/connwalk_consumer" || fail "the find_package consumer failed"

if [ "$with_command" = yes ]; then
    test -x "$prefix/bin/connwalk" || fail "bin/connwalk was not installed"
    version=$(env -u LD_LIBRARY_PATH "$prefix/bin/connwalk" --version) ||
        fail "the installed command does not run"
    [ "$version" = "connwalk 1.0.0" ] || fail "installed command says '$version'"
fi
echo "install test: passed"
