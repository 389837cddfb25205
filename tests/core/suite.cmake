# Under Wine the folder-cycle case needs links made by the host.
if(WIN32)
    add_test(NAME ${PM_TEST_PREFIX}.core.cycle
             COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/core/cycle-tree.sh ${PM_WINE_RUN} $<TARGET_FILE:${suite_target}>)
    set_tests_properties(${PM_TEST_PREFIX}.core.cycle PROPERTIES TIMEOUT 120 LABELS ${PM_TEST_PREFIX})
endif()
