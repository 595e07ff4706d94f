# The extension module _qn4tGenericActionLoader and the Python-side files beside it in
# ${QN4T_MODULE_DIR}: the shadow classes and the generated field layout.
set(QN4T_BINDING_SOURCES
  binding/constants.cpp
  binding/live_references.cpp
  binding/module_start.cpp
  binding/pointer_string.cpp
  binding/type_registry.cpp
  binding/variable_link.cpp
  interface/record_interface.cpp
  interface/stream_interface.cpp
  interface/action_header_interface.cpp
  interface/detail_header_interface.cpp
  interface/damage_details_interface.cpp
  interface/healing_details_interface.cpp
  interface/statmod_details_interface.cpp
  interface/statmod_stat_details_interface.cpp)

# Shared by the module and the tests that embed the interpreter.
add_library(qn4t_binding_objects OBJECT ${QN4T_BINDING_SOURCES})
target_include_directories(qn4t_binding_objects PUBLIC ${CMAKE_SOURCE_DIR} ${QN4T_PYTHON2_INCLUDE_DIRS})
target_link_libraries(qn4t_binding_objects PUBLIC qn4t_core)
# The interpreter's headers predate C++17 and use old-style casts and register.
target_compile_options(qn4t_binding_objects PRIVATE -Wno-register -fno-strict-aliasing)
set_target_properties(qn4t_binding_objects PROPERTIES CXX_VISIBILITY_PRESET hidden
                                                      VISIBILITY_INLINES_HIDDEN ON)

add_library(_qn4tGenericActionLoader MODULE $<TARGET_OBJECTS:qn4t_binding_objects>)
target_link_libraries(_qn4tGenericActionLoader PRIVATE qn4t_core)
set_target_properties(_qn4tGenericActionLoader PROPERTIES
  PREFIX ""
  LIBRARY_OUTPUT_DIRECTORY ${QN4T_MODULE_DIR})

add_custom_command(
  OUTPUT ${QN4T_MODULE_DIR}/qn4tGenericActionLayout.py
  COMMAND ${CMAKE_COMMAND} -E make_directory ${QN4T_MODULE_DIR}
  COMMAND layout_dump > ${QN4T_MODULE_DIR}/qn4tGenericActionLayout.py
  DEPENDS layout_dump
  COMMENT "Writing the record layout for the Python-side classes")
add_custom_command(
  OUTPUT ${QN4T_MODULE_DIR}/qn4tGenericActionLoader.py
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader.py
          ${QN4T_MODULE_DIR}/qn4tGenericActionLoader.py
  DEPENDS ${CMAKE_SOURCE_DIR}/python/qn4tGenericActionLoader.py)
add_custom_target(python_side_files ALL DEPENDS
  ${QN4T_MODULE_DIR}/qn4tGenericActionLayout.py
  ${QN4T_MODULE_DIR}/qn4tGenericActionLoader.py)
add_dependencies(_qn4tGenericActionLoader python_side_files)
