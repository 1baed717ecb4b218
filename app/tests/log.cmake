# The log window.
kw_add_gui_test(tst_logwindow)
target_compile_definitions(tst_logwindow PRIVATE KW_LOG_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data/log")
