# Serial devices: the COM port map, the termios and loopback backends, thread messages.
add_library(update_serial STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/SerialDevice.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/SerialTermios.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/SerialBaud.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/SerialLoopback.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ThreadMessages.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ExclusiveFile.cpp
)
target_link_libraries(update_serial PUBLIC update_platform)
