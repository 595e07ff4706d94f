# Install rules (`cmake --install build --prefix P`): for each Python host built, its
# module folder (the extension modules, the generated layout, the package
# qn4tGenericActionLoader with its stubs and the page's script and style) and the actionfile
# package go to P/lib/pythonX.Y/site-packages; P/bin/actiontool runs the tool on the tool's
# host with that folder on its path. Whatever the build puts in a host's folder is installed.

# Installs one host's folder and actionfile into site_dir (relative to the prefix).
function(qn4t_install_python_host module_dir site_dir)
  install(DIRECTORY ${module_dir}/ DESTINATION ${site_dir}
          FILES_MATCHING PATTERN "*.so" PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed"
          PATTERN "page.js" PATTERN "page.css" PATTERN "__pycache__" EXCLUDE)
  install(DIRECTORY ${CMAKE_SOURCE_DIR}/tools/actionfile DESTINATION ${site_dir}
          FILES_MATCHING PATTERN "*.py" PATTERN "__pycache__" EXCLUDE)
  # what `actiontool help TOPIC` shows (setup.py's DOCS)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/actiontool.md ${CMAKE_SOURCE_DIR}/docs/tables.md
          ${CMAKE_SOURCE_DIR}/docs/fields.md DESTINATION ${site_dir}/actionfile/docs)
endfunction()

if(QN4T_PYTHON2_FOUND)
  set(QN4T_SITE_DIR lib/python2.7/site-packages)
  qn4t_install_python_host(${QN4T_MODULE_DIR} ${QN4T_SITE_DIR})
endif()
if(QN4T_PYTHON3_FOUND)
  set(QN4T_SITE3_DIR lib/python${QN4T_PYTHON3_VERSION}/site-packages)
  qn4t_install_python_host(${QN4T_MODULE3_DIR} ${QN4T_SITE3_DIR})
endif()

if(QN4T_TOOL_PYTHON)
  if(QN4T_TOOL_PYTHON STREQUAL QN4T_PYTHON3_EXECUTABLE)
    set(QN4T_TOOL_SITE_DIR ${QN4T_SITE3_DIR})
  else()
    set(QN4T_TOOL_SITE_DIR ${QN4T_SITE_DIR})
  endif()
  configure_file(cmake/actiontool.in ${CMAKE_BINARY_DIR}/installed/actiontool @ONLY)
  install(PROGRAMS ${CMAKE_BINARY_DIR}/installed/actiontool DESTINATION bin)
endif()
