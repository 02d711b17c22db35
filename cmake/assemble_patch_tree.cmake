# Script mode (cmake -P), run by the patch_tree target: assembles the patch tree in
# OUTPUT.new and renames it over OUTPUT, so that a reader never sees half a tree.
# Inputs (-D): SOURCE_DIR, OUTPUT, AGENT_OUTPUT, MANIFEST and the built programs LAUNCHER,
# WDSERVER, PRODUCT_PROCESS, INTEGRITY_CHECKER and the library APP_INFRA.
cmake_minimum_required(VERSION 3.18)

set(stage "${OUTPUT}.new")
set(opt "${stage}/opt/brevantis/tarn")
set(PROGRAM_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                 WORLD_EXECUTE)
set(DATA_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Copies the file FROM to the path TO with the permissions of KIND (PROGRAM or DATA).
function(place from to kind)
  get_filename_component(name "${from}" NAME)
  get_filename_component(directory "${to}" DIRECTORY)
  set(scratch "${stage}.copy")
  file(REMOVE_RECURSE "${scratch}")
  file(COPY "${from}" DESTINATION "${scratch}" FILE_PERMISSIONS ${${kind}_MODE})
  file(MAKE_DIRECTORY "${directory}")
  file(RENAME "${scratch}/${name}" "${to}")
  file(REMOVE_RECURSE "${scratch}")
endfunction()

# Copies the directory FROM with its content to TO, data files only.
function(place_tree from to)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${from}" "${from}/*")
  foreach(file ${files})
    place("${from}/${file}" "${to}/${file}" DATA)
  endforeach()
endfunction()

file(REMOVE_RECURSE "${stage}")

place("${LAUNCHER}" "${opt}/libexec/launcher" PROGRAM)
place("${WDSERVER}" "${opt}/libexec/wdserver" PROGRAM)
place("${PRODUCT_PROCESS}" "${opt}/libexec/tarn-starter" PROGRAM)
place("${PRODUCT_PROCESS}" "${opt}/libexec/tarn" PROGRAM)
foreach(script prepare_module.sh cert-manager symlinks)
  place("${SOURCE_DIR}/standins/${script}" "${opt}/libexec/${script}" PROGRAM)
endforeach()
place("${APP_INFRA}" "${opt}/lib64/libtarn_infra.so" DATA)
place("${INTEGRITY_CHECKER}" "${opt}/bin/integrity_checker" PROGRAM)
foreach(script setup tarn-setup.pl tarn-control response)
  place("${SOURCE_DIR}/standins/${script}" "${opt}/bin/${script}" PROGRAM)
endforeach()

place("${MANIFEST}" "${opt}/doc/manifest.ini" DATA)
place("${SOURCE_DIR}/product/tarn.ini" "${opt}/shared/init/tarn.ini" DATA)
place("${SOURCE_DIR}/product/agreements.ini" "${opt}/shared/init/agreements.ini" DATA)
place_tree("${SOURCE_DIR}/product/storage" "${opt}/shared/init/storage")
place_tree("${SOURCE_DIR}/product/updates" "${opt}/shared/init/updates")
place_tree("${SOURCE_DIR}/localization_tools/loc" "${opt}/shared/loc")

# The service files. The init script is also laid at etc/init.d/tarn below the patch root:
# the system's /etc/init.d/tarn links there through install-current.
place("${SOURCE_DIR}/dist/tarn.service" "${opt}/shared/tarn.service" DATA)
place("${SOURCE_DIR}/dist/tarn" "${opt}/shared/tarn" PROGRAM)
place("${SOURCE_DIR}/dist/tarn" "${stage}/etc/init.d/tarn" PROGRAM)
place("${SOURCE_DIR}/dist/selinux/tarn.te" "${opt}/shared/selinux/tarn.te" DATA)

# The integrity manifest lists every file of the tree, relative to its own directory.
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${opt}/bin" "${opt}/*")
list(SORT files)
set(xml "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<integrity>\n")
foreach(file ${files})
  string(APPEND xml "  <file>${file}</file>\n")
endforeach()
string(APPEND xml "</integrity>\n")
file(WRITE "${opt}/bin/integrity_check.xml" "${xml}")

file(REMOVE_RECURSE "${OUTPUT}")
file(RENAME "${stage}" "${OUTPUT}")

# The management agent's files.
set(agent "${AGENT_OUTPUT}.new/opt/brevantis/qvnagent64/bin")
file(REMOVE_RECURSE "${AGENT_OUTPUT}.new")
place("${SOURCE_DIR}/standins/qvscmodchk" "${agent}/qvscmodchk" PROGRAM)
file(WRITE "${agent}/qv_file_integrity_manifest.xml"
     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<integrity>\n  <file>qvscmodchk</file>\n</integrity>\n")
file(REMOVE_RECURSE "${AGENT_OUTPUT}")
file(RENAME "${AGENT_OUTPUT}.new" "${AGENT_OUTPUT}")
