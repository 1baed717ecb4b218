target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/KeepwallAssistant.cpp
  ${CMAKE_CURRENT_LIST_DIR}/KeepwallAssistant.ui)
