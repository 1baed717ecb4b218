# The stored settings window and the interface editor.
target_sources(keepwall_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/SettingsFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SettingsController.ui
  ${CMAKE_CURRENT_LIST_DIR}/SettingNamePanel.ui
  ${CMAKE_CURRENT_LIST_DIR}/InterfaceEditController.cpp
  ${CMAKE_CURRENT_LIST_DIR}/InterfaceEditController.ui
  ${CMAKE_CURRENT_LIST_DIR}/InterfaceSheet.ui
)
