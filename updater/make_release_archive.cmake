# Packs the installable tree with Info-ZIP. Run by the vq_release_archive
# target: cmake -DPROGRAMS=... -DUPDATER=... -DCONFIG_DIR=... -DSTAGE_DIR=...
#   -DARCHIVE=... -P make_release_archive.cmake
find_program(ZIP_PROGRAM zip REQUIRED)

set(release "${STAGE_DIR}/Quorvex串口烧录工具")
file(REMOVE_RECURSE "${STAGE_DIR}")
file(MAKE_DIRECTORY "${release}/config" "${release}/upliftor")

foreach(program IN LISTS PROGRAMS)
  file(COPY "${program}" DESTINATION "${release}")
endforeach()
file(COPY "${UPDATER}" DESTINATION "${release}/upliftor")

# Site settings and counters are the installation's own and never shipped.
file(GLOB config_files "${CONFIG_DIR}/*")
foreach(f IN LISTS config_files)
  get_filename_component(name "${f}" NAME)
  if(NOT name STREQUAL "update_sources.json" AND NOT name STREQUAL "cfg_file.json")
    file(COPY "${f}" DESTINATION "${release}/config")
  endif()
endforeach()

set(partial "${ARCHIVE}.partial")
file(REMOVE "${partial}")
execute_process(COMMAND "${ZIP_PROGRAM}" -q -r -X "${partial}" "Quorvex串口烧录工具"
  WORKING_DIRECTORY "${STAGE_DIR}"
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  file(REMOVE "${partial}")
  message(FATAL_ERROR "zip failed (${rc})")
endif()
file(RENAME "${partial}" "${ARCHIVE}")
