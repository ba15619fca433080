# orvix_tool(NAME SOURCES src... [LIBS lib...] [WIRINGPI])
# Declares one program of the suite; it links the board back-end and installs into bin. The
# declarations are the list of programs: the global property ORVIX_TOOLS, which the top
# CMakeLists.txt reads back (the variable ORVIX_TOOLS, the target orvix_tools, the bench's
# orvix_tools.h and tools.list). WIRINGPI: the program calls wiringPi (the clock, the GPIO), so
# it is also built against the real library for the tests that compare the two; those read the
# global property ORVIX_WIRINGPI_TOOLS and each one's ORVIX_SOURCES and ORVIX_LIBS.
function(orvix_tool NAME)
  cmake_parse_arguments(T "WIRINGPI" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${NAME} ${T_SOURCES})
  target_link_libraries(${NAME} PRIVATE ${T_LIBS} orvix::board)
  set_target_properties(${NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${ORVIX_TOOL_DIR})
  install(TARGETS ${NAME} RUNTIME DESTINATION bin)
  set_property(GLOBAL APPEND PROPERTY ORVIX_TOOLS ${NAME})
  if(T_WIRINGPI)
    list(TRANSFORM T_SOURCES PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/)
    set_property(GLOBAL APPEND PROPERTY ORVIX_WIRINGPI_TOOLS ${NAME})
    set_property(GLOBAL PROPERTY ORVIX_SOURCES_${NAME} ${T_SOURCES})
    set_property(GLOBAL PROPERTY ORVIX_LIBS_${NAME} ${T_LIBS})
  endif()
endfunction()

# orvix_test(NAME SOURCES src... [LIBS lib...] [ON_BOARD] [DEPENDS target...])
# A GoogleTest program. ON_BOARD runs it inside the bench on a scratch board, for
# module tests that call the board back-end in their own process.
function(orvix_test NAME)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(T "ON_BOARD" "" "SOURCES;LIBS;DEPENDS" ${ARGN})
  add_executable(${NAME} ${T_SOURCES})
  # Line tables only: a failure's stack keeps its files and lines, and the test programs, heavy
  # with GoogleTest's templates, compile in some 60 % of the time that full debug information takes.
  target_compile_options(${NAME} PRIVATE $<$<CONFIG:RelWithDebInfo>:-g1>)
  target_link_libraries(${NAME} PRIVATE ${T_LIBS} bench GTest::gtest_main)
  add_dependencies(${NAME} bench_standins)
  if(T_DEPENDS)
    add_dependencies(${NAME} ${T_DEPENDS})
  endif()
  if(T_ON_BOARD)
    add_dependencies(${NAME} vboard)
    set_target_properties(${NAME} PROPERTIES
      CROSSCOMPILING_EMULATOR "$<TARGET_FILE:vboard>;run;--scratch;--timeout;120;--")
  endif()
  gtest_discover_tests(${NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()
