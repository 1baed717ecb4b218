# The stored settings window and the interface editor.
kw_add_gui_test(tst_settings)
kw_add_gui_test(tst_interfaces)
