# The packet tester, rules from log entries and the traffic charts.
kw_add_gui_test(tst_packettester)
add_dependencies(tst_packettester kw-whatif)
kw_add_gui_test(tst_logrule)
