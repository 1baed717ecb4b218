# The syntax checker window and the keyword colourer of the expert rule text.
target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SyntaxChecker.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SyntaxColorizer.cpp)
