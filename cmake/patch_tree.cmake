# The patch tree: one complete patch root in ${CMAKE_BINARY_DIR}/patch_tree, as the package
# will ship it below /var/opt/brevantis/tarn/install_<version>/: the launcher, the
# stand-ins for the product's other programs, the product's data files (product/), the
# message catalogue and the service files of dist/ when they exist. The end-to-end tests lay
# their patches from it. Beside it, agent_tree holds the management agent's files that a
# test may lay below /opt/brevantis/qvnagent64.
set(LAUNCHER_PATCH_TREE ${CMAKE_BINARY_DIR}/patch_tree)
set(LAUNCHER_AGENT_TREE ${CMAKE_BINARY_DIR}/agent_tree)

configure_file(${CMAKE_SOURCE_DIR}/product/manifest.ini.in
               ${CMAKE_BINARY_DIR}/product/manifest.ini @ONLY)
file(GLOB_RECURSE PATCH_TREE_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/product/*
  ${CMAKE_SOURCE_DIR}/localization_tools/loc/*
  ${CMAKE_SOURCE_DIR}/dist/*
  ${CMAKE_SOURCE_DIR}/standins/*)

# The integrity manifest is written last, so it stands for the whole tree.
set(PATCH_TREE_OUTPUT ${LAUNCHER_PATCH_TREE}/opt/brevantis/tarn/bin/integrity_check.xml)
add_custom_command(
  OUTPUT ${PATCH_TREE_OUTPUT}
  COMMAND ${CMAKE_COMMAND}
    -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
    -DOUTPUT=${LAUNCHER_PATCH_TREE}
    -DAGENT_OUTPUT=${LAUNCHER_AGENT_TREE}
    -DMANIFEST=${CMAKE_BINARY_DIR}/product/manifest.ini
    -DLAUNCHER=$<TARGET_FILE:launcher>
    -DWDSERVER=$<TARGET_FILE:wdserver>
    -DPRODUCT_PROCESS=$<TARGET_FILE:product_process>
    -DINTEGRITY_CHECKER=$<TARGET_FILE:integrity_checker>
    -P ${CMAKE_SOURCE_DIR}/cmake/assemble_patch_tree.cmake
  DEPENDS launcher wdserver product_process integrity_checker
          ${PATCH_TREE_SOURCES} ${CMAKE_BINARY_DIR}/product/manifest.ini
          ${CMAKE_SOURCE_DIR}/cmake/assemble_patch_tree.cmake
  COMMENT "Assembling the patch tree in ${LAUNCHER_PATCH_TREE}"
  VERBATIM)
add_custom_target(patch_tree ALL DEPENDS ${PATCH_TREE_OUTPUT})
