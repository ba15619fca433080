# Board back-end: the real wiringPi on the Pi, the simulated board elsewhere.
set(ORVIX_BOARD "" CACHE STRING "Board back-end: wiringpi or sim (default: wiringpi when found)")
set_property(CACHE ORVIX_BOARD PROPERTY STRINGS wiringpi sim)

find_library(WIRINGPI_LIBRARY wiringPi)
find_path(WIRINGPI_INCLUDE_DIR wiringPi.h)

if(ORVIX_BOARD STREQUAL "")
  if(WIRINGPI_LIBRARY AND WIRINGPI_INCLUDE_DIR)
    set(ORVIX_BOARD wiringpi)
  else()
    set(ORVIX_BOARD sim)
  endif()
endif()

if(ORVIX_BOARD STREQUAL "wiringpi")
  if(NOT WIRINGPI_LIBRARY OR NOT WIRINGPI_INCLUDE_DIR)
    message(FATAL_ERROR
      "ORVIX_BOARD=wiringpi, but wiringPi was not found (library wiringPi, headers wiringPi.h and "
      "wiringPiI2C.h). Install the wiringpi package, or configure with -DORVIX_BOARD=sim.")
  endif()
elseif(NOT ORVIX_BOARD STREQUAL "sim")
  message(FATAL_ERROR "ORVIX_BOARD must be wiringpi or sim, not '${ORVIX_BOARD}'")
endif()
message(STATUS "Orvix board back-end: ${ORVIX_BOARD}")
