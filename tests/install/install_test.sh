#!/usr/bin/env bash
# The installed tree and the Debian package of a build, as a user and another
# project meet them: cmake --install into a temporary prefix, the layout, the
# installed programs run from there, a C program (pkg-config) and a C++ CMake
# project (find_package) built from that prefix alone, then cpack -G DEB, the
# package's fields and files, its programs run from an unpacked copy, lintian.
#
# Usage: install_test.sh BUILD_DIR SOURCE_DIR  (CMAKE, CPACK, CC from the
# environment, as the build found them)
set -euo pipefail
build=$1
source=$2
cmake=${CMAKE:-cmake}
cpack=${CPACK:-cpack}
cc=${CC:-cc}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
step() { echo "== $* (at ${SECONDS}s)"; }

# No library of the build or the system may stand in for the installed ones.
unset LD_LIBRARY_PATH
# The built-in emulated machine: no daemon or driver of this machine is used.
export SMC_SERVICE=builtin

# Reads the cache to learn the layout this build installs.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
libdir=$(cache_value CMAKE_INSTALL_LIBDIR)
[[ -n $libdir ]] || libdir=lib

# Runs "$@" and checks that its output holds the text $expect.
expect_output() {
    local what=$1 expect=$2
    shift 2
    local output
    if ! output=$("$@" 2>&1); then
        fail "$what exited non-zero: $output"
        return
    fi
    [[ $output == *"$expect"* ]] || fail "$what printed '$output', not '$expect'"
}

step "cmake --install"
prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" > "$work/install.log" || { cat "$work/install.log"; exit 1; }

step "layout"
expected=(
    bin/smc bin/smcd bin/sensors-host bin/smcfs bin/smcfan bin/smcfand
    "$libdir/libsmc-sensors.so.0" "$libdir/libsmc-sensors.so"
    "$libdir/smc-sensors/libIOKit.so" "$libdir/smc-sensors/libFoundation.so"
    "$libdir/smc-sensors/modules/SensorsModule.so"
    include/smc-sensors/smc/smc.h include/smc-sensors/IOKit/IOKitLib.h include/smc-sensors/IOKit/IOKitSMCRecord.h
    include/smc-sensors/Foundation/Foundation.h include/smc-sensors/SensorsModule/SensorsModule.h
    share/smc-sensors/profiles/builtin.profile share/smc-sensors/profiles/macbookpro14-m1pro.profile
    share/smc-sensors/prometheus/smc-alerts.yml share/smc-sensors/prometheus/README.md
    "$libdir/cmake/SMCSensors/SMCSensorsConfig.cmake" "$libdir/cmake/SMCSensors/SMCSensorsConfigVersion.cmake"
    "$libdir/pkgconfig/smc-sensors.pc" "$libdir/pkgconfig/smc-foundation.pc"
)
for path in "${expected[@]}"; do
    [[ -e $prefix/$path ]] || fail "not installed: $path"
done
unwanted=$(cd "$prefix" && find . -type f | grep -E '_test|_bench|_fuzzer|_replay|/tests?/|golden|libgtest|\.a$' || true)
[[ -z $unwanted ]] || fail "installed but not for users: $unwanted"

# The program a unit starts, from its ExecStart= line.
exec_start() { sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$1"; }
units=(smcd:smcd smcfand:smcfand sensors-host:sensors-host sensors-host-textfile:sensors-host)
for unit_and_program in "${units[@]}"; do
    unit=${unit_and_program%%:*} program=${unit_and_program#*:}
    unit_program=$(exec_start "$prefix/lib/systemd/system/$unit.service")
    [[ $unit_program == "$prefix/bin/$program" ]] ||
        fail "the installed $unit.service starts '$unit_program', not $prefix/bin/$program"
done

step "exported symbols of libsmc-sensors"
# Exactly the functions and the variable that the header declares.
declared=$(sed -n 's/^SMC_API .*[ *]\([A-Za-z_][A-Za-z_0-9]*\)[[(;].*/\1/p' "$source/smc/smc.h" | sort)
# (Instantiations of the standard library's templates keep their default
# visibility whatever the build says; they are not this project's interface.)
own_exports() { nm -D --defined-only "$1" | awk '{print $3}' | grep -vE '^_ZZ?N?K?St' | sort; }
exported=$(own_exports "$prefix/$libdir/libsmc-sensors.so.0")
[[ $declared == "$exported" ]] || fail "libsmc-sensors exports"$'\n'"$(diff <(echo "$declared") <(echo "$exported"))"
[[ $(echo "$declared" | wc -l) -ge 15 ]] || fail "found only $(echo "$declared" | wc -l) declarations in smc.h"
module_exports=$(own_exports "$prefix/$libdir/smc-sensors/modules/SensorsModule.so")
[[ $module_exports == SensorsModuleAlloc ]] || fail "SensorsModule.so exports: $module_exports"

step "installed programs"
expect_output "smc -k FNum -r" "  FNum  [ui8 ]  2 (bytes 02)" "$prefix/bin/smc" -k FNum -r
expect_output "smc -f" "Total fans in system: 2" "$prefix/bin/smc" -f
expect_output "sensors-host" "Fans" "$prefix/bin/sensors-host"
expect_output "smcfan" "" "$prefix/bin/smcfan"
expect_output "smcfand --check" "fan 0 (Left): 1200 to 6156 rpm" "$prefix/bin/smcfand" --check /dev/null
# A copy of the tree elsewhere still finds its libraries and module.
cp -a "$prefix" "$work/moved"
expect_output "moved smc -k FNum -r" "(bytes 02)" "$work/moved/bin/smc" -k FNum -r
expect_output "moved sensors-host" "Fans" "$work/moved/bin/sensors-host"
rm -rf "$work/moved"

step "C program with pkg-config"
# Only the prefix's .pc files.
prefix_pkg_config() { PKG_CONFIG_LIBDIR=$prefix/$libdir/pkgconfig PKG_CONFIG_PATH= pkg-config "$@"; }
read -ra pc_flags <<< "$(prefix_pkg_config --cflags --libs smc-sensors)"
[[ $(prefix_pkg_config --variable=moduledir smc-sensors) -ef $prefix/$libdir/smc-sensors/modules ]] \
    || fail "pkg-config moduledir: $(prefix_pkg_config --variable=moduledir smc-sensors)"
if "$cc" -std=c11 -Wall -Wextra -pedantic -Werror "$source/tests/install/read_key.c" -o "$work/read_key" \
        "${pc_flags[@]}" "-Wl,-rpath,$prefix/$libdir" 2> "$work/cc.log"; then
    expect_output "read_key FNum 2" "FNum [ui8 ] 2" "$work/read_key" FNum 2
    "$work/read_key" FNum 3 > /dev/null && fail "read_key FNum 3 succeeded"
else
    fail "C program did not build: $(cat "$work/cc.log")"
fi

step "the examples of the install and module pages, against this prefix"
for page in docs/installing.md docs/module-api.md; do
    status=0
    bash "$source/tests/docs/examples_test.sh" --installed "$source/$page" "$prefix" > "$work/examples.log" 2>&1 ||
        status=$?
    case $status in
        0) ;;
        77) tail -1 "$work/examples.log" ;;
        *) fail "$page: $(grep -v ': \$ ' "$work/examples.log")" ;;
    esac
done

step "C++ CMake project with find_package"
if "$cmake" -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release "-DCMAKE_PREFIX_PATH=$prefix" > "$work/consumer.log" 2>&1 &&
    "$cmake" --build "$work/consumer" >> "$work/consumer.log" 2>&1; then
    found=$(sed -n 's/^SMCSensors_DIR:PATH=//p' "$work/consumer/CMakeCache.txt")
    [[ $found -ef $prefix/$libdir/cmake/SMCSensors ]] || fail "find_package took SMCSensors from $found"
    expect_output "consumer FNum 2" "FNum 2 2" "$work/consumer/consumer" FNum 2
else
    fail "C++ consumer did not build: $(cat "$work/consumer.log")"
fi

step "added to another project with add_subdirectory"
"$cmake" -S "$source/tests/install/subproject" -B "$work/subproject" -G Ninja "-DSMC_SOURCE_DIR=$source" \
    > "$work/subproject.log" 2>&1 || fail "subproject: $(grep -A3 'Error' "$work/subproject.log")"
rm -rf "$work/subproject"

step "cpack -G DEB"
if ! (cd "$build" && "$cpack" -G DEB -B "$work/package" > "$work/cpack.log" 2>&1); then
    cat "$work/cpack.log"
    exit 1
fi
! grep -iA3 'warning' "$work/cpack.log" || fail "cpack warned"
deb=$(echo "$work"/package/smc-sensors_*.deb)
[[ -f $deb ]] || { fail "no package in $(ls "$work/package")"; exit 1; }
depends=$(dpkg-deb -f "$deb" Depends)
for package in libc6 libfuse3-3 libstdc++6 libtomlplusplus3; do
    [[ $depends == *"$package"* ]] || fail "Depends lacks $package: $depends"
done
[[ $(dpkg-deb -f "$deb" Package) == smc-sensors ]] || fail "Package: $(dpkg-deb -f "$deb" Package)"
[[ $(dpkg-deb -f "$deb" Architecture) == "$(dpkg --print-architecture)" ]] || fail "Architecture: $(dpkg-deb -f "$deb" Architecture)"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' > "$work/files"
for path in /usr/bin/smc /usr/bin/smcd /usr/bin/sensors-host /usr/bin/smcfs /usr/bin/smcfan /usr/bin/smcfand \
            /usr/lib/systemd/system/smcfand.service /usr/share/bash-completion/completions/smcfand \
            /usr/lib/systemd/system/sensors-host-textfile.timer /usr/share/smc-sensors/grafana/smc-sensors.json \
            "/usr/$libdir/libsmc-sensors.so.0" "/usr/$libdir/smc-sensors/libIOKit.so" \
            "/usr/$libdir/smc-sensors/modules/SensorsModule.so" "/usr/$libdir/pkgconfig/smc-sensors.pc" \
            /usr/include/smc-sensors/smc/smc.h /usr/share/doc/smc-sensors/copyright \
            /usr/share/doc/smc-sensors/changelog.Debian.gz /usr/share/lintian/overrides/smc-sensors \
            "/usr/$libdir/pkgconfig/smc-foundation.pc"; do
    grep -qxF "$path" "$work/files" || fail "not in the package: $path"
done
if [[ -d $source/man ]]; then
    grep -q '^/usr/share/man/man1/smc\.1' "$work/files" || fail "no man page smc.1 in the package"
    grep -q '^/usr/share/man/man8/smcfand\.8' "$work/files" || fail "no man page smcfand.8 in the package"
fi
outside=$(grep -vE '^/usr/(bin|lib|include|share)(/|$)|^/$|^/usr/$' "$work/files" | grep -vE '^/(etc|usr/lib/systemd|usr/lib/sysusers\.d|usr/lib/tmpfiles\.d)/' || true)
[[ -z $outside ]] || fail "package paths outside the layout: $outside"
not_for_users=$(grep -E '_test|_bench|_fuzzer|_replay|/tests?/|golden|libgtest|\.a$' "$work/files" || true)
[[ -z $not_for_users ]] || fail "package holds files not for users: $not_for_users"

step "the package unpacked"
dpkg-deb -x "$deb" "$work/root"
expect_output "unpacked smc -k FNum -r" "  FNum  [ui8 ]  2 (bytes 02)" "$work/root/usr/bin/smc" -k FNum -r
expect_output "unpacked sensors-host" "Fans" "$work/root/usr/bin/sensors-host"
file "$work/root/usr/bin/smc" | grep -q ', stripped' || fail "smc is not stripped"
# The services start the programs that the package installs.
for unit_and_program in "${units[@]}"; do
    unit=${unit_and_program%%:*} program=${unit_and_program#*:}
    unit_program=$(exec_start "$work/root/usr/lib/systemd/system/$unit.service")
    [[ $unit_program == /usr/bin/$program && -x $work/root$unit_program ]] ||
        fail "the package's $unit.service starts '$unit_program', which the package does not install"
done

if command -v lintian > /dev/null; then
    step "lintian"
    # Quiet: a warning the package means to have is overridden, with its reason.
    lintian --fail-on error,warning --tag-display-limit 0 "$deb" > "$work/lintian.log" 2>&1 ||
        fail "lintian: $(grep -E '^[EW]:' "$work/lintian.log")"
fi

if ((failures)); then
    echo "$failures failed"
    exit 1
fi
echo "installed tree and package: all checks passed"
