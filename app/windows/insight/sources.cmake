# Insight: the packet tester, rules from log entries and the traffic charts.
target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/PacketTesterController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InsightHooks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogRuleMenu.cpp)
# The packet tester runs kw-whatif beside the application.
add_dependencies(keepwall_app kw-whatif)
