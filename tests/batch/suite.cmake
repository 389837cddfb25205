if(TARGET pm_resources)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
if(WIN32)
    add_test(NAME ${PM_TEST_PREFIX}.batch.drive
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/drive-letter.sh ${PM_WINE_RUN} $<TARGET_FILE:${suite_target}>)
    set_tests_properties(${PM_TEST_PREFIX}.batch.drive PROPERTIES TIMEOUT 120 LABELS ${PM_TEST_PREFIX})
endif()
if(WIN32 AND TARGET pixmillc)
    add_test(NAME ${PM_TEST_PREFIX}.batch.console-paths
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/console-paths.sh ${PM_WINE_RUN} $<TARGET_FILE:pixmillc>
                     ${PM_ROOT}/samples)
    set_tests_properties(${PM_TEST_PREFIX}.batch.console-paths PROPERTIES TIMEOUT 300 LABELS ${PM_TEST_PREFIX})
endif()
