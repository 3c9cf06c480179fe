# The Files service: file search, case-insensitive package names, line lists with encodings,
# folder variables and the program's folder.
add_library(update_files STATIC ${CMAKE_CURRENT_LIST_DIR}/Files.cpp)
target_link_libraries(update_files PUBLIC update_platform)
