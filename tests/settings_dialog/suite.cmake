# The dialogs run from the test program's own resources.
target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
target_link_libraries(${suite_target} PRIVATE comctl32)
