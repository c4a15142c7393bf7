# Run at the start of an install (install(CODE) in the top CMakeLists.txt) with VURN_INSTALL_FOLDERS
# holding the install's folders relative to the prefix. Writes, beside the install manifest, the
# folders among them and their parents that do not exist yet, deepest first: the folders this
# install creates, which scripts/uninstall.sh removes again (when empty) and no others.
set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(created)
foreach(folder IN LISTS VURN_INSTALL_FOLDERS)
  while(folder AND NOT IS_DIRECTORY "${root}/${folder}")
    list(APPEND created "${root}/${folder}")
    get_filename_component(folder "${folder}" DIRECTORY)
  endwhile()
endforeach()
if(NOT IS_DIRECTORY "${root}")
  list(APPEND created "${root}")
endif()
list(REMOVE_DUPLICATES created)
list(SORT created ORDER DESCENDING) # a folder's subfolders sort after it
if(CMAKE_INSTALL_COMPONENT)
  set(record "${VURN_BINARY_DIR}/install_folders_${CMAKE_INSTALL_COMPONENT}.txt")
else()
  set(record "${VURN_BINARY_DIR}/install_folders.txt")
endif()
list(JOIN created "\n" text)
file(WRITE "${record}" "${text}\n")
