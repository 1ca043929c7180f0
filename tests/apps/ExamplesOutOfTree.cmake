# Adoption check, run by ctest as a CMake script: installs the kasp2 build
# into a fresh prefix, checks that the headers, libraries, CMake package and
# pkg-config file are in place, then configures, builds and runs the sample
# plug-ins out of tree against that prefix, as a plug-in author would.
#
# Variables: BUILD_DIR (the kasp2 build), SOURCE_DIR (the kasp2 sources),
# WORK_DIR (scratch), LIBDIR (CMAKE_INSTALL_LIBDIR), GENERATOR, BUILD_TYPE,
# CXX_COMPILER, CXX_FLAGS, LINKER_FLAGS (the same toolchain and sanitizer
# flags as the kasp2 build, so that the program links against it).
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
endfunction()

set(prefix "${WORK_DIR}/prefix")
file(REMOVE_RECURSE "${WORK_DIR}")
run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

foreach(path
    include/kasp2/kasp2.h
    include/kasp2/buffers/kaBufferGroup2.h
    include/kasp2/render/kaPluginVideoRenderer.h
    include/kasp2/plugins/kaPluginAudioRenderer.h
    include/kasp2/filters/kaVideoFilterManager.h
    include/host/kaXIImageFilter.h
    include/tolm/zTime.h
    include/vesk/veMediaRecord.h
    include/Vel/CAudioFilter.h
    ${LIBDIR}/libkasp2.so
    ${LIBDIR}/libtolm.so
    ${LIBDIR}/libvesk.so
    ${LIBDIR}/libVel.so
    ${LIBDIR}/cmake/kasp2/kasp2Config.cmake
    ${LIBDIR}/cmake/kasp2/kasp2ConfigVersion.cmake
    ${LIBDIR}/cmake/kasp2/kasp2Targets.cmake
    ${LIBDIR}/pkgconfig/kasp2.pc)
  if(NOT EXISTS "${prefix}/${path}")
    message(FATAL_ERROR "not installed: ${path}")
  endif()
endforeach()
if(EXISTS "${prefix}/include/kasp2/foundation/internal")
  message(FATAL_ERROR "internal headers were installed")
endif()
file(STRINGS "${prefix}/${LIBDIR}/pkgconfig/kasp2.pc" pcPrefix REGEX "^prefix=")
if(NOT pcPrefix STREQUAL "prefix=${prefix}")
  message(FATAL_ERROR "kasp2.pc names ${pcPrefix}, installed into ${prefix}")
endif()

run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/build" --parallel 2)
run("${WORK_DIR}/build/kasp2-example-host")
file(REMOVE_RECURSE "${WORK_DIR}")
message(STATUS "the sample plug-ins build and run against the installed package")
