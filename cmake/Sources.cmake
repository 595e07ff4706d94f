# Reads the source lists in cmake/sources/ (one file per native target, shared with
# setup.py): qn4t_read_sources(core VAR) sets VAR to the sources of cmake/sources/core.txt.
function(qn4t_read_sources list_name out_var)
  set(list_file ${CMAKE_SOURCE_DIR}/cmake/sources/${list_name}.txt)
  file(STRINGS ${list_file} lines REGEX "^[^#]")
  set(sources)
  foreach(line IN LISTS lines)
    string(STRIP "${line}" line)
    if(line)
      list(APPEND sources ${CMAKE_SOURCE_DIR}/${line})
    endif()
  endforeach()
  # Editing a list reconfigures the build.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${list_file})
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()
