if(TARGET pm_resources)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
endif()
if(WIN32)
    # Cases that need drive letters of their own (see drive-letter.sh); the
    # console host is run by one of them.
    add_test(NAME ${PM_TEST_PREFIX}.batch.drive
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/common/drive-letter.sh ${PM_WINE_RUN}
                     $<TARGET_FILE:${suite_target}> "BatchWalk.DriveEntries*:BatchDriveRoots.*")
    set_tests_properties(${PM_TEST_PREFIX}.batch.drive PROPERTIES TIMEOUT 300 LABELS ${PM_TEST_PREFIX})
    add_dependencies(${suite_target} pixmillc)
endif()
if(WIN32 AND TARGET pixmillc)
    add_test(NAME ${PM_TEST_PREFIX}.batch.console-paths
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/console-paths.sh ${PM_WINE_RUN} $<TARGET_FILE:pixmillc>
                     ${PM_ROOT}/samples)
    set_tests_properties(${PM_TEST_PREFIX}.batch.console-paths PROPERTIES TIMEOUT 300 LABELS ${PM_TEST_PREFIX})
endif()
if(WIN32)
    add_test(NAME ${PM_TEST_PREFIX}.batch.machine_faults
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/batch/machine-faults.sh ${PM_WINE_RUN} $<TARGET_FILE:${suite_target}>)
    set_tests_properties(${PM_TEST_PREFIX}.batch.machine_faults PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
                         LABELS ${PM_TEST_PREFIX})
endif()
if(WIN32 AND TARGET PIXMILUI)
    # A case runs the library's own dialog procedure as a host does.
    add_dependencies(${suite_target} PIXMILUI)
endif()
