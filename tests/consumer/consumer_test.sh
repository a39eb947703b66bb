#!/usr/bin/env bash
# Installs a build tree into a temporary prefix, checks the installed tree, then builds the
# consumer in project/ against that prefix alone, once through CMake (find_package) and once
# through pkg-config on a plain compiler command line, and runs both programs. Any failed step
# fails the test (exit 1); the temporary directory is kept for examination when a step fails.
#
#   consumer_test.sh --build-dir=DIR --cxx=COMPILER --version=X.Y.Z [--config=CONFIG]
#       [--cmake=CMAKE] [--generator=NAME] [--make-program=PATH] [--cxx-flags=FLAGS]
#       [--linker-flags=FLAGS] [--build-type=TYPE] [--libdir=lib] [--includedir=include]
#
# The compiler and flags are those the build tree was made with, so a sanitizer build produces a
# sanitized consumer (its libraries need the sanitizer runtime in the executable).
set -euo pipefail

build_dir='' cxx='' version='' config='' cmake=cmake generator='' make_program=''
cxx_flags='' linker_flags='' build_type='' libdir=lib includedir=include
for arg in "$@"; do
  case $arg in
    --build-dir=*) build_dir=${arg#*=} ;;
    --cxx=*) cxx=${arg#*=} ;;
    --version=*) version=${arg#*=} ;;
    --config=*) config=${arg#*=} ;;
    --cmake=*) cmake=${arg#*=} ;;
    --generator=*) generator=${arg#*=} ;;
    --make-program=*) make_program=${arg#*=} ;;
    --cxx-flags=*) cxx_flags=${arg#*=} ;;
    --linker-flags=*) linker_flags=${arg#*=} ;;
    --build-type=*) build_type=${arg#*=} ;;
    --libdir=*) libdir=${arg#*=} ;;
    --includedir=*) includedir=${arg#*=} ;;
    *) echo "consumer_test: unknown argument: $arg" >&2; exit 2 ;;
  esac
done
if [[ -z $build_dir || -z $cxx || -z $version ]]; then
  echo "consumer_test: --build-dir, --cxx and --version are required" >&2
  exit 2
fi
read -r -a cxx_flag_list <<<"$cxx_flags"
read -r -a linker_flag_list <<<"$linker_flags"

fail() {
  echo "consumer_test: FAILED: $*" >&2
  exit 1
}
need() { command -v "$1" >/dev/null 2>&1 || fail "$1 is not installed; $2"; }
need "$cmake" "it installs the build tree"
need readelf "it reads the installed libraries' SONAME and RUNPATH (binutils)"
need ldd "it shows where the installed libraries are loaded from (libc-bin)"
need pkg-config "install it (apt-get install pkg-config) to build the consumer through operation-receipt.pc"

here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/or-consumer.XXXXXX")
prefix=$work/prefix
lib_path=$prefix/$libdir
include_path=$prefix/$includedir
ok=0
finish() {
  if ((ok)); then
    rm -rf "$work"
  else
    echo "consumer_test: kept $work for examination" >&2
  fi
}
trap finish EXIT

step() { echo "--- $*"; }

# Lists where each of the three libraries resolves for a binary, without LD_LIBRARY_PATH, and
# fails unless every one of them is found in the installed libdir.
check_resolves_in_prefix() {
  local binary=$1 resolved library
  resolved=$(env -u LD_LIBRARY_PATH ldd "$binary") || fail "ldd $binary"
  for library in "${@:2}"; do
    local line path
    line=$(grep -F "lib$library.so.1 =>" <<<"$resolved") ||
      fail "$binary does not need lib$library.so.1"
    path=$(sed -n 's/.*=> \(.*\) (0x[0-9a-f]*)$/\1/p' <<<"$line")
    [[ -n $path && -f $path && $(cd "$(dirname "$path")" && pwd -P) == "$lib_path_real" ]] ||
      fail "$binary loads lib$library.so.1 from outside $lib_path: $line"
  done
}

step "install $build_dir into $prefix"
"$cmake" --install "$build_dir" --prefix "$prefix" ${config:+--config "$config"} ||
  fail "cmake --install"
(cd "$prefix" && find . | LC_ALL=C sort)
[[ -d $lib_path ]] || fail "$libdir is not installed"
lib_path_real=$(cd "$lib_path" && pwd -P)

step "check the installed tree"
for header in OperationReceipt.h OperationReceipt.hpp StandInServices.h BitData.h \
  services/BitDataLibrary.h services/CommonService.h services/ErrorService.h \
  services/EventBroker.h services/LoggingService.h; do
  [[ -f $include_path/$header ]] || fail "$includedir/$header is not installed"
done
for file in cmake/OperationReceipt/OperationReceiptConfig.cmake \
  cmake/OperationReceipt/OperationReceiptConfigVersion.cmake \
  cmake/OperationReceipt/OperationReceiptTargets.cmake pkgconfig/operation-receipt.pc; do
  [[ -f $lib_path/$file ]] || fail "$libdir/$file is not installed"
done
for library in OperationReceipt QuorvelServices BitData; do
  real=$lib_path/lib$library.so.1.0.0
  [[ -f $real && ! -L $real ]] || fail "$libdir/lib$library.so.1.0.0 is not installed"
  [[ $(readlink "$lib_path/lib$library.so.1") == "lib$library.so.1.0.0" ]] ||
    fail "$libdir/lib$library.so.1 does not link to lib$library.so.1.0.0"
  [[ $(readlink "$lib_path/lib$library.so") == "lib$library.so.1" ]] ||
    fail "$libdir/lib$library.so does not link to lib$library.so.1"
  dynamic=$(readelf -d "$real") || fail "readelf -d $real"
  soname=$(sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' <<<"$dynamic")
  [[ $soname == "lib$library.so.1" ]] || fail "lib$library has SONAME '$soname'"
  runpath=$(sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]/\2/p' <<<"$dynamic")
  echo "lib$library.so.1.0.0: SONAME $soname, RUNPATH '${runpath}'"
  [[ $runpath != *"$build_dir"* ]] || fail "lib$library keeps the build tree in its RUNPATH"
  if [[ $library == OperationReceipt ]]; then
    [[ $runpath == "\$ORIGIN" ]] || fail "libOperationReceipt has RUNPATH '$runpath', not \$ORIGIN"
  fi
done
# libOperationReceipt finds the stand-ins beside it by itself.
check_resolves_in_prefix "$lib_path/libOperationReceipt.so.1" QuorvelServices BitData

step "CMake consumer: configure and build"
cmake_args=(-S "$here/project" -B "$work/cmake-build"
  "-DCMAKE_CXX_COMPILER=$cxx" "-DCMAKE_CXX_FLAGS=$cxx_flags"
  "-DCMAKE_EXE_LINKER_FLAGS=$linker_flags" "-DCMAKE_BUILD_TYPE=$build_type"
  "-DCMAKE_PREFIX_PATH=$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
  "-DOR_EXPECTED_VERSION=$version")
[[ -n $generator ]] && cmake_args+=(-G "$generator")
[[ -n $make_program ]] && cmake_args+=("-DCMAKE_MAKE_PROGRAM=$make_program")
"$cmake" "${cmake_args[@]}" || fail "configuring the CMake consumer"
found_dir=$(sed -n 's/^OperationReceipt_DIR:[A-Z]*=//p' "$work/cmake-build/CMakeCache.txt")
[[ $found_dir == "$lib_path/cmake/OperationReceipt" ]] ||
  fail "find_package used '$found_dir', not the installed package"
"$cmake" --build "$work/cmake-build" ${config:+--config "$config"} ||
  fail "building the CMake consumer"
consumer=$(find "$work/cmake-build" -type f -name consumer -perm -u+x | head -n 1)
[[ -n $consumer ]] || fail "the CMake consumer built no program"

step "CMake consumer: run"
check_resolves_in_prefix "$consumer" OperationReceipt QuorvelServices BitData
env -u LD_LIBRARY_PATH "$consumer" || fail "the CMake consumer exited with $?"

step "pkg-config consumer: compile and run"
export PKG_CONFIG_PATH=$lib_path/pkgconfig
pkg-config --exists --print-errors operation-receipt || fail "pkg-config finds no operation-receipt"
pc_version=$(pkg-config --modversion operation-receipt)
[[ $pc_version == "$version" ]] || fail "operation-receipt.pc has version $pc_version, not $version"
pc_libdir=$(pkg-config --variable=libdir operation-receipt)
[[ $(cd "$pc_libdir" && pwd -P) == "$lib_path_real" ]] ||
  fail "operation-receipt.pc has libdir $pc_libdir, not $lib_path"
read -r -a pc_flags <<<"$(pkg-config --cflags --libs operation-receipt)"
echo "pkg-config --cflags --libs operation-receipt: ${pc_flags[*]}"
compile=("$cxx" -std=c++17 "${cxx_flag_list[@]}" "$here/project/main.cpp" -o "$work/pc-consumer"
  "${pc_flags[@]}" "${linker_flag_list[@]}" "-Wl,-rpath,$pc_libdir")
echo "${compile[*]}"
"${compile[@]}" || fail "compiling the consumer with pkg-config's flags"
check_resolves_in_prefix "$work/pc-consumer" OperationReceipt QuorvelServices BitData
env -u LD_LIBRARY_PATH "$work/pc-consumer" || fail "the pkg-config consumer exited with $?"

ok=1
echo "consumer_test: passed"
