# Install rules and the package configuration. A project of one's own then needs only
#   find_package(Dezuvura REQUIRED)
#   target_link_libraries(app PRIVATE Dezuvura::database)
# Each library of the SDK is Dezuvura::<name> (the database's public objects are
# Dezuvura::database), in the build tree as well as installed; headers go to include/dezuvura in
# their source layout, so programs include "database/api/database.h" either way.
include(CMakePackageConfigHelpers)
include(GNUInstallDirs)

# The libraries a program built on the SDK may link; the poll application and the development
# server's library are this project's own.
set(DZ_SDK_TARGETS
  dz_platform dz_platform_ui dz_toolbox dz_core
  dz_database_utilities dz_database_snapshot dz_database_websocket dz_database_realtime
  dz_database_persistence dz_database_core dz_database_api
  dz_geo dz_auth dz_hud dz_http dz_messaging dz_analytics)
set(DZ_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Dezuvura)

foreach(target IN LISTS DZ_SDK_TARGETS)
  string(REGEX REPLACE "^dz_" "" name ${target})
  if(target STREQUAL dz_database_api)
    set(name database)
  endif()
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${name})
  add_library(Dezuvura::${name} ALIAS ${target})
  get_target_property(folder ${target} SOURCE_DIR)
  file(RELATIVE_PATH folder ${PROJECT_SOURCE_DIR} ${folder})
  install(DIRECTORY ${folder}/ DESTINATION ${DZ_INSTALL_INCLUDEDIR}/${folder} COMPONENT sdk
          FILES_MATCHING PATTERN "*.h" PATTERN resources EXCLUDE)
endforeach()

# Libraries built with a sanitizer need its runtime in every program that links them.
if(DZ_SANITIZER_LINK_OPTIONS)
  target_link_options(dz_platform INTERFACE ${DZ_SANITIZER_LINK_OPTIONS})
endif()

# Component "sdk" is what programs build on; "devserver" the development server they run against.
install(TARGETS ${DZ_SDK_TARGETS} EXPORT DezuvuraTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk)
install(TARGETS dz-devserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devserver)
install(DIRECTORY ${DZ_HUD_BUNDLE} DESTINATION ${CMAKE_INSTALL_DATADIR}/dezuvura COMPONENT sdk)
install(EXPORT DezuvuraTargets NAMESPACE Dezuvura:: DESTINATION ${DZ_PACKAGE_DIR} COMPONENT sdk)

configure_package_config_file(cmake/DezuvuraConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/DezuvuraConfig.cmake
                              INSTALL_DESTINATION ${DZ_PACKAGE_DIR})
install(FILES ${PROJECT_BINARY_DIR}/DezuvuraConfig.cmake cmake/FindLevelDB.cmake
        DESTINATION ${DZ_PACKAGE_DIR} COMPONENT sdk)

# The build tree as a package too (Dezuvura_DIR=<build folder>), without installing.
export(EXPORT DezuvuraTargets NAMESPACE Dezuvura:: FILE ${PROJECT_BINARY_DIR}/DezuvuraTargets.cmake)
configure_file(cmake/FindLevelDB.cmake ${PROJECT_BINARY_DIR}/FindLevelDB.cmake COPYONLY)
