# kvx_export_headers(target [HEADERS h ...])
#
# Gives `target` a PUBLIC include directory that holds only its own headers, at
# the paths the code includes them by ("device/sim/scenario.h" for
# src/device/sim/scenario.h, "resources/dialog_templates.h" for resources/):
# symlinks made at configure time under ${PROJECT_BINARY_DIR}/exports/<target>/.
# A file can therefore include a header only of a target it links (directly or
# through a PUBLIC link), and including any other fails to compile.
#
# Without HEADERS the target exports every header of the calling folder that no
# other target of that folder exported before it, so in a folder with two
# targets the lower one names its headers and the upper one takes the rest (and
# every header added later). The folder's headers are globbed with
# CONFIGURE_DEPENDS, so a new header is exported at the next build.
function(kvx_export_headers target)
  cmake_parse_arguments(E "" "" "HEADERS" ${ARGN})
  set(here ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB all_headers CONFIGURE_DEPENDS RELATIVE ${here} ${here}/*.h)
  if(E_HEADERS)
    foreach(h IN LISTS E_HEADERS)
      if(NOT h IN_LIST all_headers)
        message(FATAL_ERROR "kvx_export_headers(${target}): ${here}/${h} is not a header of this folder")
      endif()
    endforeach()
    set(headers ${E_HEADERS})
  else()
    get_directory_property(taken KVX_EXPORTED_HEADERS)
    set(headers ${all_headers})
    if(taken)
      list(REMOVE_ITEM headers ${taken})
    endif()
  endif()
  get_directory_property(taken KVX_EXPORTED_HEADERS)
  set_directory_properties(PROPERTIES KVX_EXPORTED_HEADERS "${taken};${headers}")

  # The path the code includes the folder's headers by: below src/ for the
  # sources, below the project's root for resources/.
  if(here MATCHES "^${PROJECT_SOURCE_DIR}/src/")
    file(RELATIVE_PATH prefix ${PROJECT_SOURCE_DIR}/src ${here})
  else()
    file(RELATIVE_PATH prefix ${PROJECT_SOURCE_DIR} ${here})
  endif()

  set(root ${PROJECT_BINARY_DIR}/exports/${target})
  file(REMOVE_RECURSE ${root})  # a header removed from the folder leaves no stale link
  file(MAKE_DIRECTORY ${root}/${prefix})
  foreach(h IN LISTS headers)
    file(CREATE_LINK ${here}/${h} ${root}/${prefix}/${h} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()
