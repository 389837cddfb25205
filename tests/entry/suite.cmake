if(TARGET pm_resources)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
