# Configuration files, the message catalogue and the firmware-file discovery.
add_library(update_config STATIC
  ${CMAKE_CURRENT_LIST_DIR}/Config.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Infotext.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Discovery.cpp
)
target_link_libraries(update_config PUBLIC update_options update_platform update_files)
