# The string table and the result dialog's template come from the test
# executable's own resources.
if(WIN32)
    target_sources(${suite_target} PRIVATE $<TARGET_OBJECTS:pm_resources>)
    # The long-folder case needs a short scratch folder: a drive letter.
    add_test(NAME ${PM_TEST_PREFIX}.records.drive
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/common/drive-letter.sh ${PM_WINE_RUN}
                     $<TARGET_FILE:${suite_target}> "RunLog.SubFoldersThatDoNotFitAreReportedNotCut")
    set_tests_properties(${PM_TEST_PREFIX}.records.drive PROPERTIES TIMEOUT 120 LABELS ${PM_TEST_PREFIX})
endif()
