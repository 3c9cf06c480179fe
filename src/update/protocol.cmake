# The instrument command protocol: reply parser and wake-up frames, package version markers,
# air pressure and clock commands.
add_library(update_protocol STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Replies.cpp
  ${CMAKE_CURRENT_LIST_DIR}/VersionMarkers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/AirPressure.cpp
)
target_link_libraries(update_protocol PUBLIC update_options update_kernel update_files update_platform)
