# The string table and the result dialog's template come from the test
# executable's own resources.
if(WIN32)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
