# Finds the Python 2.7 development files: QN4T_PYTHON2_CONFIG names a python2.7-config;
# otherwise one on PATH that works, otherwise pyenv's 2.7 install. Sets
# QN4T_PYTHON2_FOUND, QN4T_PYTHON2_EXECUTABLE, QN4T_PYTHON2_INCLUDE_DIRS and
# QN4T_PYTHON2_LIBRARY (for programs that embed the interpreter). QN4T_WITH_PYTHON2=OFF
# skips Python 2 altogether.
option(QN4T_WITH_PYTHON2 "Build the module for Python 2.7" ON)
set(QN4T_PYTHON2_CONFIG "" CACHE FILEPATH "python2.7-config of the interpreter to build for")

function(qn4t_python2_config_works config result)
  execute_process(COMMAND ${config} --prefix RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND EXISTS "${out}/bin/python2.7")
    set(${result} "${out}" PARENT_SCOPE)
  else()
    set(${result} "" PARENT_SCOPE)
  endif()
endfunction()

set(_qn4t_candidates)
if(NOT QN4T_WITH_PYTHON2)
  # no candidates: Python 2 is not wanted
elseif(QN4T_PYTHON2_CONFIG)
  list(APPEND _qn4t_candidates "${QN4T_PYTHON2_CONFIG}")
else()
  find_program(_qn4t_on_path python2.7-config)
  if(_qn4t_on_path)
    list(APPEND _qn4t_candidates "${_qn4t_on_path}")
  endif()
  set(_qn4t_pyenv_root "$ENV{PYENV_ROOT}")
  if(NOT _qn4t_pyenv_root)
    set(_qn4t_pyenv_root "$ENV{HOME}/.pyenv")
  endif()
  file(GLOB _qn4t_pyenv_configs "${_qn4t_pyenv_root}/versions/2.7*/bin/python2.7-config")
  list(APPEND _qn4t_candidates ${_qn4t_pyenv_configs})
endif()

set(QN4T_PYTHON2_FOUND OFF)
foreach(config IN LISTS _qn4t_candidates)
  qn4t_python2_config_works("${config}" prefix)
  if(prefix)
    set(QN4T_PYTHON2_FOUND ON)
    set(QN4T_PYTHON2_EXECUTABLE "${prefix}/bin/python2.7")
    set(QN4T_PYTHON2_INCLUDE_DIRS "${prefix}/include/python2.7")
    find_library(QN4T_PYTHON2_LIBRARY NAMES python2.7 PATHS "${prefix}/lib" NO_DEFAULT_PATH)
    message(STATUS "Python 2.7: ${QN4T_PYTHON2_EXECUTABLE}")
    break()
  endif()
endforeach()
if(QN4T_WITH_PYTHON2 AND NOT QN4T_PYTHON2_FOUND)
  message(WARNING "No Python 2.7 development files found: the module is not built for Python 2.7. "
                  "Set QN4T_PYTHON2_CONFIG to a python2.7-config.")
endif()
