# What `cmake --install` lays out: the libraries and modules in lib64, the
# programs in bin, the public headers in include/orvo, and the CMake package
# that gives `find_package(Orvo)` the target Orvo::OrvoCI.
include(CMakePackageConfigHelpers)

# Under share, which find_package searches on every distribution; lib64 it
# does not search where the system keeps its libraries elsewhere.
set(ORVO_PACKAGE_DIR ${CMAKE_INSTALL_DATADIR}/cmake/Orvo)

install(TARGETS OrvoPlatform OrvoCI EXPORT OrvoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Loaded at run time rather than linked: the support library, the engine and
# the module that reaches engines on other machines.
install(TARGETS KivraToolBox OrvoTankEngine OrvoRemote LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/orvo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(EXPORT OrvoTargets NAMESPACE Orvo:: DESTINATION ${ORVO_PACKAGE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/OrvoConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/OrvoConfig.cmake INSTALL_DESTINATION ${ORVO_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrvoConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/OrvoConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/OrvoConfigVersion.cmake
  DESTINATION ${ORVO_PACKAGE_DIR})

# The network server's systemd unit, naming the installed program.
if(TARGET orvo-engined)
  set(ORVO_ENGINED ${CMAKE_INSTALL_FULL_BINDIR}/orvo-engined)
  configure_file(${PROJECT_SOURCE_DIR}/server/orvo-engined/orvo-engined.service.in
    ${CMAKE_CURRENT_BINARY_DIR}/orvo-engined.service @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/orvo-engined.service DESTINATION lib/systemd/system)
endif()
