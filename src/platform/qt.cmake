# The Qt Widgets backend, for the window build.
add_library(update_platform_qt STATIC
  ${CMAKE_CURRENT_LIST_DIR}/QtApplication.cpp
  ${CMAKE_CURRENT_LIST_DIR}/QtWidgets.cpp
)
target_link_libraries(update_platform_qt PUBLIC update_platform Qt6::Widgets)
