# The application in other languages and for assistive technology: every window's accessible names,
# text contrast and tab order; the German translation, plural forms and locale formats.
zh_add_app_test(app_i18n_tests AccessibilityTest.cpp LocalizationTest.cpp)
target_compile_definitions(app_i18n_tests PRIVATE ZH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")

# Every text of the application's sources has its translation in every .ts file (lupdate over the
# sources into a copy of each).
add_test(NAME translations_cover_every_text
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/check-translations.sh ${CMAKE_BINARY_DIR}
          ${Qt6LinguistTools_DIR}/GenerateLUpdateProject.cmake $<TARGET_FILE:Qt6::lupdate>)
