target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
