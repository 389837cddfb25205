if(TARGET pm_resources)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
if(WIN32)
    add_test(NAME ${PM_TEST_PREFIX}.batch.drive
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/drive-letter.sh ${PM_WINE_RUN} $<TARGET_FILE:${suite_target}>)
    set_tests_properties(${PM_TEST_PREFIX}.batch.drive PROPERTIES TIMEOUT 120 LABELS ${PM_TEST_PREFIX})
endif()
if(WIN32)
    add_test(NAME ${PM_TEST_PREFIX}.batch.machine_faults
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/machine-faults.sh ${PM_WINE_RUN} $<TARGET_FILE:${suite_target}>)
    set_tests_properties(${PM_TEST_PREFIX}.batch.machine_faults PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
                         LABELS ${PM_TEST_PREFIX})
endif()
