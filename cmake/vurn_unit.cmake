include_guard(GLOBAL)

# vurn_unit_include_root(<target> <PUBLIC|INTERFACE|PRIVATE> [HEADERS <header>...])
#
# Every unit under src/ (fileio, cipher, keyfile, container, cli, filter, ...) calls this for its
# library instead of adding src/ as an include folder, e.g. in src/filter/CMakeLists.txt:
#     add_library(vurn_filter STATIC filter.cpp child.cpp pipeline.cpp)
#     vurn_unit_include_root(vurn_filter PUBLIC)
#     target_link_libraries(vurn_filter PUBLIC vurn_fileio PRIVATE vurn_build_flags)
# The target gets an include folder of its own in the build tree, holding one link named after the
# calling folder (the unit), so the unit and whatever links it include its headers as
# "filter/filter.h", and a unit sees only the units it links: an include of a unit it does not
# link (a call upwards) fails to build. With HEADERS the link is a folder holding just those
# headers, so the rest of the unit stays out of reach (the cipher gives other units chunks.h
# only). A unit's installed headers live in src/<unit>/include/vurn/ and are included as
# <vurn/<header>> in the tree as outside it; when that folder exists it is added too.
function(vurn_unit_include_root target scope)
  cmake_parse_arguments(ARG "" "" "HEADERS" ${ARGN})
  get_filename_component(unit ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(root ${PROJECT_BINARY_DIR}/include_roots/${target})
  # A build folder configured before may hold the other form: a link to the unit where a folder
  # of links is wanted, or the reverse. Remove it first, never through the link, or the headers
  # would be written into the sources.
  if(IS_SYMLINK ${root}/${unit})
    file(REMOVE ${root}/${unit})
  elseif(IS_DIRECTORY ${root}/${unit} AND NOT ARG_HEADERS)
    file(REMOVE_RECURSE ${root}/${unit})
  endif()
  if(ARG_HEADERS)
    file(MAKE_DIRECTORY ${root}/${unit})
    foreach(header IN LISTS ARG_HEADERS)
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${root}/${unit}/${header} SYMBOLIC)
    endforeach()
  else()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${unit} SYMBOLIC)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${root}>)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/include/vurn)
    target_include_directories(${target} ${scope}
                               $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>)
  endif()
endfunction()
