# The network tools window: name lookup and whois.
target_sources(keepwall_app PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ResolverController.cpp)
