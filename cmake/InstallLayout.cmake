# Where everything installs, and the RUNPATHs that let an installed tree run
# wherever it is unpacked: each binary finds the libraries relative to itself.

# Debian's multiarch library directory under any prefix (ld.so searches
# /usr/local/lib/<triplet> too), so that a tree installed anywhere and the
# package have one layout.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
    set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)

set(SMC_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/smc-sensors)   # libIOKit, libFoundation
set(SMC_MODULEDIR ${SMC_PRIVATE_LIBDIR}/modules)             # SensorsModule.so
set(SMC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/smc-sensors)
set(SMC_PROFILEDIR ${CMAKE_INSTALL_DATADIR}/smc-sensors/profiles)
set(SMC_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/SMCSensors)
set(SMC_EXPORT SMCSensorsTargets)

# A directory of the layout as an absolute path under the prefix; one given
# absolute stays as it is.
function(smc_full_path out dir)
    if(IS_ABSOLUTE "${dir}")
        set(${out} "${dir}" PARENT_SCOPE)
    else()
        set(${out} "${CMAKE_INSTALL_PREFIX}/${dir}" PARENT_SCOPE)
    endif()
endfunction()

# The path from the installed directory `from` to `to` ("" for the same
# directory, "." for the prefix itself), without a trailing slash.
function(smc_relative_path out from to)
    smc_full_path(from_full "${from}")
    smc_full_path(to_full "${to}")
    file(RELATIVE_PATH relative "${from_full}" "${to_full}")
    string(REGEX REPLACE "/$" "" relative "${relative}")
    set(${out} "${relative}" PARENT_SCOPE)
endfunction()

# "$ORIGIN/<relative path>" from the directory `from` to `to`.
function(smc_origin_path out from to)
    smc_relative_path(relative "${from}" "${to}")
    if(relative STREQUAL "")
        set(${out} "$ORIGIN" PARENT_SCOPE)
    else()
        set(${out} "$ORIGIN/${relative}" PARENT_SCOPE)
    endif()
endfunction()

# Sets the installed RUNPATH of each target installed in `dir` to the public
# and the private library directories, relative to `dir`. Build-tree
# binaries keep CMake's absolute build RUNPATH.
function(smc_install_runpath dir)
    smc_origin_path(to_libdir "${dir}" "${CMAKE_INSTALL_LIBDIR}")
    smc_origin_path(to_private "${dir}" "${SMC_PRIVATE_LIBDIR}")
    set(runpath "${to_libdir};${to_private}")
    list(REMOVE_ITEM runpath "$ORIGIN")
    foreach(target IN LISTS ARGN)
        set_target_properties(${target} PROPERTIES INSTALL_RPATH "${runpath}")
    endforeach()
endfunction()
