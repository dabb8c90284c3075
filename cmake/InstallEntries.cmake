# Desktop entries and file-manager actions run Kavo by its installed path, so that they work
# where the install's bin folder is not on PATH (an install into ~/.local). The path is that of
# the prefix the files are installed into (`cmake --install --prefix` included), so the entry
# is written at install time: @KAVO_BINDIR@ in the source becomes PREFIX/bin.
#
# kavo_install_entry(SOURCE DESTINATION [RENAME NAME] [EXECUTABLE])
function(kavo_install_entry source destination)
  cmake_parse_arguments(ARG "EXECUTABLE" "RENAME" "" ${ARGN})
  get_filename_component(source "${source}" ABSOLUTE)
  get_filename_component(name "${source}" NAME)
  if(ARG_RENAME)
    set(name "${ARG_RENAME}")
  endif()
  set(permissions OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(ARG_EXECUTABLE)
    list(APPEND permissions OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
  endif()
  set(staged "${CMAKE_CURRENT_BINARY_DIR}/installed-entries/${destination}/${name}")
  install(CODE "
    set(KAVO_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    configure_file(\"${source}\" \"${staged}\" @ONLY)
    file(INSTALL \"${staged}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\" PERMISSIONS ${permissions})
  ")
endfunction()
