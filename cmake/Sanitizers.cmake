# Instrumented builds. Both options apply to every target of the build, so the record
# core, the binding objects, the module and the test programs are checked alike.
#   QN4T_SANITIZE  AddressSanitizer and UndefinedBehaviorSanitizer; any report aborts.
#   QN4T_FUZZ      the libFuzzer targets in fuzz/ (clang only); implies QN4T_SANITIZE and
#                  adds the fuzzer's coverage instrumentation to everything they link.
option(QN4T_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(QN4T_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)

if(QN4T_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "QN4T_FUZZ needs clang (libFuzzer): configure with "
                        "-DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(QN4T_SANITIZE ON CACHE BOOL "" FORCE)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

if(QN4T_SANITIZE)
  set(_qn4t_sanitizers -fsanitize=address,undefined)
  # A report is a failure, not a line in a log: stop at the first one.
  add_compile_options(${_qn4t_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(${_qn4t_sanitizers})
  # The runtime that a non-instrumented interpreter must preload to load the module;
  # cached for the scripts that run the Python suites (scripts/hardening.sh).
  set(_qn4t_runtime libasan.so)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    set(_qn4t_runtime libclang_rt.asan-x86_64.so)
  endif()
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_qn4t_runtime}
                  OUTPUT_VARIABLE _qn4t_runtime_path OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QN4T_ASAN_RUNTIME "${_qn4t_runtime_path}" CACHE INTERNAL "sanitizer runtime to preload")
  message(STATUS "Sanitizers: address, undefined; runtime ${QN4T_ASAN_RUNTIME}")
endif()
