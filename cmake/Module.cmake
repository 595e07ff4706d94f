# The extension module, built from one set of sources for each Python host that was found,
# and the Python-side files beside each build of it: the package qn4tGenericActionLoader
# (the shadow classes, with type stubs generated beside them) and the generated field layout.
# `cmake --install` places each host's folder, with the actionfile package, in
# <prefix>/lib/pythonX.Y/site-packages (see Install.cmake).
#   _qn4tGenericActionLoader   one shared object, two modules sharing one native state:
#                              the flat module (the 134 functions and four constants), whose
#                              start also makes its companion _qn4tGenericActionSupport (what
#                              the Python-side classes need beyond them, and whole actions)
#                              and enters it in sys.modules under its own name
#   _qn4tGenericActionSupport.py  a file that imports the flat module and so the companion,
#                              for a script that imports the companion first
#   Python 2.7: targets qn4t_binding_objects, _qn4tGenericActionLoader -> ${QN4T_MODULE_DIR}
#   Python 3:   the same targets with the suffix _py3 -> ${QN4T_MODULE3_DIR}
# Without Python 2.7, the target _qn4tGenericActionLoader builds the Python 3 module.
# The module's sources (which the tests and fuzz targets that embed it link too).
qn4t_read_sources(binding QN4T_BINDING_SOURCES)  # cmake/sources/binding.txt
qn4t_read_sources(module QN4T_MODULE_SOURCES)    # cmake/sources/module.txt
qn4t_read_sources(support QN4T_SUPPORT_SOURCES)  # cmake/sources/support.txt
list(APPEND QN4T_BINDING_SOURCES ${QN4T_MODULE_SOURCES} ${QN4T_SUPPORT_SOURCES})

file(GLOB QN4T_PACKAGE_FILES CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/python/_qn4tGenericActionSupport.py
  ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/*.py
  ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/*.pyi
  ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/py.typed
  ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/page.js
  ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/page.css)
set(QN4T_STUB_TEMPLATE ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader/__init__.pyi.in)

# An object library of binding sources for one host, and the extension module made of it.
#   objects, module: target names; name: the module's file name (without .so)
function(qn4t_add_extension objects module name sources include_dirs module_dir)
  add_library(${objects} OBJECT ${sources})
  target_include_directories(${objects} PUBLIC ${CMAKE_SOURCE_DIR} ${include_dirs})
  target_link_libraries(${objects} PUBLIC qn4t_core PkgConfig::QN4T_SODIUM)
  # The Python 2 headers predate C++17 and use old-style casts and register.
  target_compile_options(${objects} PRIVATE -Wno-register -fno-strict-aliasing)
  set_target_properties(${objects} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                              VISIBILITY_INLINES_HIDDEN ON)
  add_library(${module} MODULE $<TARGET_OBJECTS:${objects}>)
  target_link_libraries(${module} PRIVATE qn4t_core PkgConfig::QN4T_SODIUM)
  set_target_properties(${module} PROPERTIES
    PREFIX ""
    OUTPUT_NAME ${name}
    LIBRARY_OUTPUT_DIRECTORY ${module_dir})
endfunction()

# Adds the module and its Python-side files for one host.
#   suffix: appended to the target names ("" or "_py3")
function(qn4t_add_python_module suffix include_dirs module_dir)
  qn4t_add_extension(qn4t_binding_objects${suffix} _qn4tGenericActionLoader${suffix}
                     _qn4tGenericActionLoader "${QN4T_BINDING_SOURCES}" "${include_dirs}" ${module_dir})
  set(module _qn4tGenericActionLoader${suffix})
  # A companion built as a shared object of its own by earlier builds would be found before
  # _qn4tGenericActionSupport.py and fail to start: it goes.
  file(GLOB stale_companions ${module_dir}/_qn4tGenericActionSupport*.so)
  if(stale_companions)
    file(REMOVE ${stale_companions})
  endif()

  add_custom_command(
    OUTPUT ${module_dir}/qn4tGenericActionLayout.py
    COMMAND ${CMAKE_COMMAND} -E make_directory ${module_dir}
    COMMAND layout_dump > ${module_dir}/qn4tGenericActionLayout.py
    DEPENDS layout_dump
    COMMENT "Writing the record layout for the Python-side classes in ${module_dir}")
  set(stubs ${module_dir}/qn4tGenericActionLoader/__init__.pyi)
  add_custom_command(
    OUTPUT ${stubs}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${module_dir}/qn4tGenericActionLoader
    COMMAND ${QN4T_TOOL_PYTHON} ${CMAKE_SOURCE_DIR}/tools/make_stubs.py
            ${module_dir}/qn4tGenericActionLayout.py ${QN4T_STUB_TEMPLATE} ${stubs}
    DEPENDS ${module_dir}/qn4tGenericActionLayout.py ${QN4T_STUB_TEMPLATE}
            ${CMAKE_SOURCE_DIR}/tools/make_stubs.py
    COMMENT "Writing the type stubs in ${module_dir}")
  # The Python-side files: the package (every file of python/qn4tGenericActionLoader/) and
  # python/_qn4tGenericActionSupport.py, copied as they are.
  set(package_outputs)
  foreach(source IN LISTS QN4T_PACKAGE_FILES)
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR}/python ${source})
    add_custom_command(
      OUTPUT ${module_dir}/${relative}
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${module_dir}/${relative}
      DEPENDS ${source})
    list(APPEND package_outputs ${module_dir}/${relative})
  endforeach()
  add_custom_target(python_side_files${suffix} ALL DEPENDS
    ${module_dir}/qn4tGenericActionLayout.py
    ${stubs}
    ${package_outputs})
  # Building the module builds everything the package needs.
  add_dependencies(${module} python_side_files${suffix})
endfunction()

if(QN4T_PYTHON2_FOUND)
  qn4t_add_python_module("" "${QN4T_PYTHON2_INCLUDE_DIRS}" ${QN4T_MODULE_DIR})
endif()
if(QN4T_PYTHON3_FOUND)
  qn4t_add_python_module(_py3 "${QN4T_PYTHON3_INCLUDE_DIRS}" ${QN4T_MODULE3_DIR})
  if(NOT QN4T_PYTHON2_FOUND)
    add_custom_target(_qn4tGenericActionLoader DEPENDS _qn4tGenericActionLoader_py3)
  endif()
endif()
