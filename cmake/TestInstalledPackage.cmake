# Installs a build into a scratch prefix, records a short demo block with the
# installed orvo program, then builds examples/read-waves against the
# installed package with find_package(Orvo) and runs it on that block.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSCRATCH=... [-DFLAGS=...] -P TestInstalledPackage.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN}\nfailed (${status}):\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${SCRATCH})
set(prefix ${SCRATCH}/root)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed share/cmake/Orvo/OrvoConfig.cmake share/cmake/Orvo/OrvoConfigVersion.cmake
        include/orvo/OrvoCI.h lib64/libOrvoCI.so lib64/libOrvoTankEngine.so lib64/libKivraToolBox.so)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/read-waves -B ${SCRATCH}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS=${FLAGS}"
    "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${SCRATCH}/build)

set(ENV{ORVO_REGISTRY} ${SCRATCH}/registry.db)
if(EXISTS ${prefix}/bin/orvo)
  run(${prefix}/bin/orvo demo ${SCRATCH}/demo --seconds 1)
  run(${SCRATCH}/build/read-waves OrvoDemo Block-1 Wav1 3)
  message(STATUS "read-waves: ${last_output}")
  if(NOT last_output MATCHES "^[0-9]+ samples, the first ")
    message(FATAL_ERROR "unexpected answer: ${last_output}")
  endif()
else()
  # Without the tools there is no tank to read: the program must still run
  # and say so.
  execute_process(COMMAND ${SCRATCH}/build/read-waves NoSuchTank RESULT_VARIABLE status ERROR_VARIABLE err)
  if(status EQUAL 0 OR NOT err MATCHES "^read-waves: ")
    message(FATAL_ERROR "read-waves without a tank: ${status} ${err}")
  endif()
endif()
