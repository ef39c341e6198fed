# Test set-up for both builds. Windows test programs run under Wine through the
# cross-compiling emulator, in a prefix inside the build tree.
enable_testing()
include(GoogleTest)

set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/_gtest EXCLUDE_FROM_ALL)

if(WIN32)
  set(PL_WINE_SCRIPT ${CMAKE_SOURCE_DIR}/cmake/wine.sh)
  execute_process(COMMAND bash ${PL_WINE_SCRIPT} ${WINE_PREFIX_DIR} create ${PL_WINE_ARCH})
  execute_process(COMMAND bash ${PL_WINE_SCRIPT} ${WINE_PREFIX_DIR} warm ${PL_WINE_ARCH})
  # Test discovery runs the programs under Wine right after linking: keep the server warm
  # so that no Wine service starts with the build's pipes open.
  add_custom_target(wine_warm ALL
    COMMAND bash ${PL_WINE_SCRIPT} ${WINE_PREFIX_DIR} warm ${PL_WINE_ARCH} VERBATIM)
  add_test(NAME wine_start COMMAND bash ${PL_WINE_SCRIPT} ${WINE_PREFIX_DIR} warm ${PL_WINE_ARCH})
  set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine)
  add_test(NAME wine_stop COMMAND bash ${PL_WINE_SCRIPT} ${WINE_PREFIX_DIR} stop ${PL_WINE_ARCH})
  set_tests_properties(wine_stop PROPERTIES FIXTURES_CLEANUP wine)
  add_test(NAME windows_binaries_import_only_system_dlls
           COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/check-imports.sh ${CMAKE_BINARY_DIR}/bin)
endif()

# pl_add_gtest(name SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest program whose tests ctest runs one by one, so that a test that takes its
# process down fails alone.
function(pl_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} gtest gmock gtest_main)
  set(props)
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  if(WIN32)
    add_dependencies(${name} wine_warm)
    list(APPEND props FIXTURES_REQUIRED wine)
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ${props})
endfunction()

# pl_add_test(name COMMAND ...): a plain program as one test, with the Wine fixture.
function(pl_add_test name)
  cmake_parse_arguments(T "" "" "COMMAND;LABELS" ${ARGN})
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  if(WIN32)
    set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
