kw_add_gui_test(tst_safety)
