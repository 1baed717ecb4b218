# Safe changes: the count-down of "Apply with undo", and the window that shows how the loaded
# rules differ from a setting's.
target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/LoadedRulesBar.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RuleDiffWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TrialCountdownDialog.cpp)
