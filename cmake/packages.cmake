# The product's packages (packaging/README.md): `cmake --build build --target packages`
# writes build/packages/tarn_<version>_<arch>.deb, tarn-<version>-1.<arch>.rpm and the
# programs' debug information, from the patch tree, for LAUNCHER_PRODUCT_VERSION. They need
# the packaging tools of tools/install-deps, so they are not part of "all"; the tests build
# them.
set(LAUNCHER_PACKAGES_DIR ${CMAKE_BINARY_DIR}/packages)
file(GLOB_RECURSE PACKAGING_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/packaging/*)
set(BUILD_PACKAGES ${CMAKE_SOURCE_DIR}/packaging/build-packages)

add_custom_command(
  OUTPUT ${LAUNCHER_PACKAGES_DIR}/packages.stamp
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${LAUNCHER_PACKAGES_DIR}
  COMMAND ${BUILD_PACKAGES} --tree ${LAUNCHER_PATCH_TREE} --version ${LAUNCHER_PRODUCT_VERSION}
          --output ${LAUNCHER_PACKAGES_DIR}
  COMMAND ${CMAKE_COMMAND} -E touch ${LAUNCHER_PACKAGES_DIR}/packages.stamp
  DEPENDS ${PATCH_TREE_OUTPUT} ${PACKAGING_SOURCES}
  COMMENT "Building the packages of version ${LAUNCHER_PRODUCT_VERSION} in ${LAUNCHER_PACKAGES_DIR}"
  VERBATIM)
add_custom_target(packages DEPENDS ${LAUNCHER_PACKAGES_DIR}/packages.stamp)
add_dependencies(packages patch_tree)

# Packages of other versions made from the same tree, for the package lifecycle test: an
# upgrade chain, whose third version has a watchdog server that fails to start. Each gets a
# launcher built as its version: the objects of the product's launcher, with a definition of
# the build's version linked ahead of the library that holds the product's own. Lightly
# compressed and without debug information, so that they build in seconds.
set(LAUNCHER_LIFECYCLE_VERSIONS 12.7.0.1 12.7.0.2 12.7.0.3 12.7.0.4)
set(LAUNCHER_LIFECYCLE_FAILING_VERSION 12.7.0.3)
set(LAUNCHER_LIFECYCLE_PACKAGES_DIR ${CMAKE_BINARY_DIR}/lifecycle_packages)
get_target_property(launcher_link_options launcher LINK_OPTIONS)
get_target_property(launcher_link_depends launcher LINK_DEPENDS)
set(lifecycle_stamps)
foreach(version ${LAUNCHER_LIFECYCLE_VERSIONS})
  string(REPLACE "." "_" id ${version})
  set(version_source ${CMAKE_BINARY_DIR}/lifecycle/product_version_${id}.cpp)
  file(CONFIGURE OUTPUT ${version_source} @ONLY CONTENT
       "#define SOV_PRODUCT_VERSION \"${version}\"\n#include \"supervisor/common/paths/product_version.cpp\"\n")

  add_executable(launcher_${id} EXCLUDE_FROM_ALL supervisor/launcher/main.cpp ${version_source})
  target_link_libraries(launcher_${id} PRIVATE launcher_core)
  if(launcher_link_options)
    target_link_options(launcher_${id} PRIVATE ${launcher_link_options})
  endif()
  if(launcher_link_depends)
    set_property(TARGET launcher_${id} PROPERTY LINK_DEPENDS ${launcher_link_depends})
  endif()
  set_target_properties(launcher_${id} PROPERTIES
    OUTPUT_NAME launcher RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lifecycle/${version})

  set(variant)
  if(version STREQUAL LAUNCHER_LIFECYCLE_FAILING_VERSION)
    set(variant --wdserver-fail)
  endif()
  set(stamp ${LAUNCHER_LIFECYCLE_PACKAGES_DIR}/${version}.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${BUILD_PACKAGES} --fast ${variant} --tree ${LAUNCHER_PATCH_TREE}
            --launcher $<TARGET_FILE:launcher_${id}> --version ${version}
            --output ${LAUNCHER_LIFECYCLE_PACKAGES_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS launcher_${id} ${PATCH_TREE_OUTPUT} ${PACKAGING_SOURCES}
    COMMENT "Building the test packages of version ${version}"
    VERBATIM)
  list(APPEND lifecycle_stamps ${stamp})
endforeach()
add_custom_target(lifecycle_packages DEPENDS ${lifecycle_stamps})
add_dependencies(lifecycle_packages patch_tree)

# Packages of the first two of these versions with a launcher that only records how the
# maintainer scripts run it (tests/packaging/stub-launcher), for the test that drives the
# scripts through dpkg and rpm.
set(LAUNCHER_STUB_PACKAGES_DIR ${CMAKE_BINARY_DIR}/stub_packages)
list(SUBLIST LAUNCHER_LIFECYCLE_VERSIONS 0 2 LAUNCHER_STUB_VERSIONS)
set(stub_stamps)
foreach(version ${LAUNCHER_STUB_VERSIONS})
  set(stamp ${LAUNCHER_STUB_PACKAGES_DIR}/${version}.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${BUILD_PACKAGES} --fast --tree ${LAUNCHER_PATCH_TREE}
            --launcher ${CMAKE_SOURCE_DIR}/tests/packaging/stub-launcher --version ${version}
            --output ${LAUNCHER_STUB_PACKAGES_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${PATCH_TREE_OUTPUT} ${PACKAGING_SOURCES} ${CMAKE_SOURCE_DIR}/tests/packaging/stub-launcher
    COMMENT "Building the stub test packages of version ${version}"
    VERBATIM)
  list(APPEND stub_stamps ${stamp})
endforeach()
add_custom_target(stub_packages DEPENDS ${stub_stamps})
add_dependencies(stub_packages patch_tree)
