# The parts of the desktop program that need no window toolkit: platform services, settings,
# languages, progress polling and the messages at the end of a job. The window links it, and
# so do the unit tests, which therefore run in builds without wxWidgets too.
include_guard(GLOBAL)

find_package(tinyxml2 REQUIRED GLOBAL)

add_library(torvane_appcore STATIC
    ${CMAKE_CURRENT_LIST_DIR}/platform.cpp
    ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/language.cpp
    ${CMAKE_CURRENT_LIST_DIR}/progress_poller.cpp
    ${CMAKE_CURRENT_LIST_DIR}/job_messages.cpp
    ${CMAKE_CURRENT_LIST_DIR}/skin.cpp)
target_include_directories(torvane_appcore PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(torvane_appcore
    PUBLIC tinyxml2::tinyxml2 Threads::Threads
    PRIVATE torvane_warnings)
# It calls the core's platform layer, which the Windows programs carry inside them.
if(WIN32)
    target_compile_definitions(torvane_appcore PUBLIC TORVANE_STATIC)
endif()

# An installed program finds its data folder relative to its own folder.
file(RELATIVE_PATH torvane_data_from_bin
     ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/torvane)
target_compile_definitions(torvane_appcore PRIVATE
    TORVANE_DATA_FROM_BIN="${torvane_data_from_bin}")
