# pixmillc.exe: the batch run as a console program for scripts. It links the
# libraries directly (not through PIXMILUI.DLL) and carries the resources
# itself, so the log report's texts load from its own module.
add_executable(pixmillc ${CMAKE_CURRENT_SOURCE_DIR}/pixmillc_win.cpp $<TARGET_OBJECTS:pm_resources>
    ${CMAKE_CURRENT_SOURCE_DIR}/pixmillc.rc)
target_link_libraries(pixmillc PRIVATE pm_windows pm_portable)
target_include_directories(pixmillc PRIVATE ${PM_ROOT} ${CMAKE_BINARY_DIR} ${PM_ROOT}/resources)
set_property(SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/pixmillc.rc APPEND PROPERTY OBJECT_DEPENDS
    ${PM_ROOT}/resources/version.rc ${PM_ROOT}/resources/pixmill.manifest ${CMAKE_BINARY_DIR}/pm_version.h)
set_target_properties(pixmillc PROPERTIES OUTPUT_NAME pixmillc SUFFIX ".exe"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
