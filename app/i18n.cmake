# The application's texts in other languages: translations/ZorvikHollin_<lang>.ts, compiled by lrelease
# and built into the program under :/i18n (AppTranslations loads the person's language at start).
# "ninja -C build update_translations" runs lupdate over the application's sources and .ui files.
target_sources(zh_app PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AppTranslations.cpp
  ${CMAKE_CURRENT_LIST_DIR}/controls/AccessibleControls.cpp
)
# Dates and sizes in the locale's form, for every window (the restore browser's library included).
target_sources(zh_restore PRIVATE ${CMAKE_CURRENT_LIST_DIR}/LocaleFormat.cpp)
target_include_directories(zh_restore PUBLIC ${CMAKE_CURRENT_LIST_DIR})
file(GLOB_RECURSE ZH_APP_TRANSLATED_SOURCES CONFIGURE_DEPENDS
  ${CMAKE_CURRENT_LIST_DIR}/*.cpp ${CMAKE_CURRENT_LIST_DIR}/*.h ${CMAKE_CURRENT_LIST_DIR}/ui/*.ui)
qt_add_translations(zh_app
  TS_FILES ${PROJECT_SOURCE_DIR}/translations/ZorvikHollin_de.ts
  SOURCES ${ZH_APP_TRANSLATED_SOURCES}
  RESOURCE_PREFIX /i18n
  LUPDATE_OPTIONS -no-obsolete -locations none)
