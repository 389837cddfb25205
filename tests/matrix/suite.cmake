if(TARGET pm_resources)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
# The console host is run as a program of its own.
if(TARGET pixmillc)
    add_dependencies(${suite_target} pixmillc)
endif()
target_include_directories(${suite_target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/batch)
target_sources(${suite_target} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/batch/batch_support_wintest.cpp)
