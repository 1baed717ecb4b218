# The log window: the two log sets over SQLite, the export writers and the save dialog.
target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ExportSaveDialog.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogController.ui
  ${CMAKE_CURRENT_LIST_DIR}/LogExport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LogTableModel.cpp)
