# Fails when a source file includes a header of a layer it may not use.
#   cmake -DROOT=<source tree> -P CheckLayers.cmake
# The layers and what each may include are those of docs/architecture.md.
# Tests, benchmarks and fuzzers sit above everything and are not checked.
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "usage: cmake -DROOT=<source tree> -P CheckLayers.cmake")
endif()

# The layer a file of the tree belongs to, or "" when it is not checked.
function(layer_of_file path out)
  if(path MATCHES "^include/orvo/platform/")
    set(layer platform-public)
  elseif(path MATCHES "^include/orvo/protocol/")
    set(layer protocol-public)
  elseif(path MATCHES "^include/orvo/")
    set(layer client-public)
  elseif(path MATCHES "^(platform|protocol|toolbox|client)/")
    set(layer ${CMAKE_MATCH_1})
  elseif(path MATCHES "^tankengine/")
    set(layer engine)
  elseif(path MATCHES "^(tools|examples|bindings|server)/")
    set(layer application)
  elseif(path MATCHES "^remote/")
    set(layer remote)
  else()
    set(layer "")
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

# The layer an included name belongs to, or "" for headers not of this tree.
function(layer_of_include name out)
  if(name MATCHES "^orvo/platform/")
    set(layer platform-public)
  elseif(name MATCHES "^orvo/protocol/")
    set(layer protocol-public)
  elseif(name MATCHES "^orvo/")
    set(layer client-public)
  elseif(name MATCHES "^(platform|protocol|toolbox|client)/")
    set(layer ${CMAKE_MATCH_1})
  elseif(name MATCHES "^tankengine/")
    set(layer engine)
  elseif(name MATCHES "^remote/")
    set(layer remote)
  elseif(name MATCHES "^(tools|examples|bindings|server|tests|bench|fuzz)/")
    set(layer ${CMAKE_MATCH_1})
  else()
    set(layer "")
  endif()
  set(${out} ${layer} PARENT_SCOPE)
endfunction()

# Public headers are installed alone, so they include public headers only.
set(allowed_platform-public platform-public)
set(allowed_protocol-public protocol-public platform-public)
set(allowed_client-public client-public protocol-public platform-public)
set(allowed_platform platform platform-public)
set(allowed_protocol protocol protocol-public platform platform-public)
set(allowed_toolbox toolbox)
# The client and the engine stand side by side: neither includes the other.
set(allowed_client client client-public protocol protocol-public platform platform-public toolbox)
set(allowed_engine engine protocol protocol-public platform platform-public)
# The remote engine's proxy module stands beside them both, on the contract.
set(allowed_remote remote protocol protocol-public platform platform-public)
# Programs and bindings use the client's API, the contract and the platform,
# and their own folder.
set(allowed_application client-public protocol protocol-public platform platform-public)

file(GLOB_RECURSE files RELATIVE ${ROOT} LIST_DIRECTORIES false
  ${ROOT}/include/*.h ${ROOT}/platform/*.h ${ROOT}/platform/*.cpp ${ROOT}/protocol/*.h ${ROOT}/protocol/*.cpp
  ${ROOT}/toolbox/*.h ${ROOT}/toolbox/*.cpp ${ROOT}/client/*.h ${ROOT}/client/*.cpp
  ${ROOT}/tankengine/*.h ${ROOT}/tankengine/*.cpp ${ROOT}/tools/*.h ${ROOT}/tools/*.cpp
  ${ROOT}/examples/*.h ${ROOT}/examples/*.cpp ${ROOT}/bindings/*.h ${ROOT}/bindings/*.cpp
  ${ROOT}/server/*.h ${ROOT}/server/*.cpp ${ROOT}/remote/*.h ${ROOT}/remote/*.cpp)
list(SORT files)

set(faults "")
foreach(file IN LISTS files)
  layer_of_file(${file} layer)
  if(NOT layer)
    continue()
  endif()
  set(allowed ${allowed_${layer}})
  if(layer STREQUAL "application")
    string(REGEX MATCH "^[a-z]+" own ${file})
    list(APPEND allowed ${own})
  endif()
  file(STRINGS ${ROOT}/${file} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"]")
      continue()
    endif()
    set(name ${CMAKE_MATCH_1})
    layer_of_include(${name} target)
    if(target AND NOT target IN_LIST allowed)
      string(APPEND faults "${file}:${number}: ${layer} may not include ${name} (${target})\n")
    endif()
  endforeach()
endforeach()

if(faults)
  message(NOTICE "${faults}")
  message(FATAL_ERROR "Includes cross the layers; docs/architecture.md says which may use which.")
endif()
list(LENGTH files count)
message(STATUS "Layers hold: ${count} files checked")
