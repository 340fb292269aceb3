# tovak_add_gtest(NAME <name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>])
# One GoogleTest executable; every TEST becomes its own CTest entry.
function(tovak_add_gtest)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # A test folder whose sources are still being written must not break the
  # configuration of everything else.
  foreach(src ${T_SOURCES})
    if(NOT IS_ABSOLUTE ${src})
      set(src ${CMAKE_CURRENT_SOURCE_DIR}/${src})
    endif()
    if(NOT EXISTS ${src})
      message(WARNING "test ${T_NAME} skipped: ${src} does not exist")
      return()
    endif()
  endforeach()
  add_executable(${T_NAME} ${T_SOURCES})
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${T_NAME} PRIVATE
    TOVAK_BIN_DIR="${CMAKE_BINARY_DIR}/bin" TOVAK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  tovak_warnings(${T_NAME})
  gtest_discover_tests(${T_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1")
endfunction()

# Registers a driver library so the registry links it.
macro(tovak_driver name)
  set(TOVAK_DRIVER_LIBS ${TOVAK_DRIVER_LIBS} ${name} PARENT_SCOPE)
endmacro()
