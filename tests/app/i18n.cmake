# The application in other languages and for assistive technology: every window's accessible names,
# text contrast and tab order; the German translation, plural forms and locale formats.
zh_add_app_test(app_i18n_tests AccessibilityTest.cpp LocalizationTest.cpp)
target_compile_definitions(app_i18n_tests PRIVATE ZH_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
