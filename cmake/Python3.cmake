# Finds a Python 3 interpreter (3.8 or newer) with its development files.
# QN4T_PYTHON3_EXECUTABLE names the interpreter to build for; otherwise the first that
# works of: python3 on PATH, /usr/bin/python3, pyenv's 3.x installs (newest first).
# QN4T_WITH_PYTHON3=OFF skips Python 3 altogether. Sets QN4T_PYTHON3_FOUND,
# QN4T_PYTHON3_EXECUTABLE (the interpreter itself, never a launcher shim),
# QN4T_PYTHON3_VERSION, QN4T_PYTHON3_INCLUDE_DIRS and QN4T_PYTHON3_LIBRARY (for programs
# that embed the interpreter; may be NOTFOUND).
option(QN4T_WITH_PYTHON3 "Build the module for Python 3" ON)
set(QN4T_PYTHON3_EXECUTABLE "" CACHE FILEPATH "Python 3 interpreter to build the module for")

set(_qn4t_python3_minimum 3.8)

# Asks an interpreter for its version, real path, header and library folders; sets
# ${prefix}_OK when it is a Python 3 new enough and its Python.h is there.
function(qn4t_probe_python3 interpreter prefix)
  set(${prefix}_OK OFF PARENT_SCOPE)
  execute_process(
    COMMAND "${interpreter}" -c
      "import sys, sysconfig; print('%d.%d' % sys.version_info[:2]); print(sys.executable); print(sysconfig.get_paths()['include']); print(sysconfig.get_config_var('LIBDIR') or ''); print(sysconfig.get_config_var('LDVERSION') or '')"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    return()
  endif()
  string(REPLACE "\n" ";" lines "${out}")
  list(LENGTH lines count)
  if(count LESS 5)
    return()
  endif()
  list(GET lines 0 version)
  list(GET lines 1 executable)
  list(GET lines 2 include_dir)
  list(GET lines 3 library_dir)
  list(GET lines 4 ld_version)
  if(version VERSION_LESS ${_qn4t_python3_minimum}
     OR NOT EXISTS "${include_dir}/Python.h")
    return()
  endif()
  set(${prefix}_OK ON PARENT_SCOPE)
  set(${prefix}_VERSION "${version}" PARENT_SCOPE)
  set(${prefix}_EXECUTABLE "${executable}" PARENT_SCOPE)
  set(${prefix}_INCLUDE_DIR "${include_dir}" PARENT_SCOPE)
  set(${prefix}_LIBRARY_DIR "${library_dir}" PARENT_SCOPE)
  set(${prefix}_LD_VERSION "${ld_version}" PARENT_SCOPE)
endfunction()

set(QN4T_PYTHON3_FOUND OFF)
if(QN4T_WITH_PYTHON3)
  set(_qn4t_candidates)
  if(QN4T_PYTHON3_EXECUTABLE)
    list(APPEND _qn4t_candidates "${QN4T_PYTHON3_EXECUTABLE}")
  else()
    find_program(_qn4t_python3_on_path python3)
    if(_qn4t_python3_on_path)
      list(APPEND _qn4t_candidates "${_qn4t_python3_on_path}")
    endif()
    list(APPEND _qn4t_candidates /usr/bin/python3)
    set(_qn4t_pyenv_root "$ENV{PYENV_ROOT}")
    if(NOT _qn4t_pyenv_root)
      set(_qn4t_pyenv_root "$ENV{HOME}/.pyenv")
    endif()
    file(GLOB _qn4t_pyenv_pythons "${_qn4t_pyenv_root}/versions/3.*/bin/python3")
    list(SORT _qn4t_pyenv_pythons COMPARE NATURAL ORDER DESCENDING)
    list(APPEND _qn4t_candidates ${_qn4t_pyenv_pythons})
  endif()

  foreach(candidate IN LISTS _qn4t_candidates)
    qn4t_probe_python3("${candidate}" _qn4t_probe)
    if(_qn4t_probe_OK)
      set(QN4T_PYTHON3_FOUND ON)
      set(QN4T_PYTHON3_EXECUTABLE "${_qn4t_probe_EXECUTABLE}")
      set(QN4T_PYTHON3_VERSION "${_qn4t_probe_VERSION}")
      set(QN4T_PYTHON3_INCLUDE_DIRS "${_qn4t_probe_INCLUDE_DIR}")
      find_library(QN4T_PYTHON3_LIBRARY NAMES python${_qn4t_probe_LD_VERSION}
                   PATHS "${_qn4t_probe_LIBRARY_DIR}" NO_DEFAULT_PATH)
      message(STATUS "Python ${QN4T_PYTHON3_VERSION}: ${QN4T_PYTHON3_EXECUTABLE}")
      break()
    endif()
  endforeach()
  if(NOT QN4T_PYTHON3_FOUND)
    message(WARNING "No Python 3 (${_qn4t_python3_minimum} or newer) with development files found: "
                    "the module is not built for Python 3. Set QN4T_PYTHON3_EXECUTABLE to one.")
  endif()
endif()
