# Every program of a sanitizer build carries the leak suppressions in
# tests/lsan.supp, so that one run by hand (the window, say) reports what the
# tests would, and no more; LSAN_OPTIONS may still add a file of its own. The
# suppressions name Qt's functions deep in a stack, which only the slow
# unwinder finds through Qt's code without frame pointers. A host and the
# plug-in it loads both define the contract class on purpose (the host's copy
# wins), which Clang's AddressSanitizer reports as an ODR violation unless told
# to report only definitions that differ in size, as the tests tell it.
set(ORBISTO_LSAN_FILE "${CMAKE_CURRENT_LIST_DIR}/lsan.supp")
set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ORBISTO_LSAN_FILE}")
file(READ "${ORBISTO_LSAN_FILE}" ORBISTO_LSAN_SUPPRESSIONS)
set(ORBISTO_LSAN_SOURCE "${CMAKE_BINARY_DIR}/LsanSuppressions.cpp")
file(WRITE "${ORBISTO_LSAN_SOURCE}.in"
    "// Made from tests/lsan.supp by tests/SanitizerSuppressions.cmake.\n"
    "extern \"C\" __attribute__((visibility(\"default\"), used)) const char *__lsan_default_suppressions()\n"
    "{\n    return R\"supp(${ORBISTO_LSAN_SUPPRESSIONS})supp\";\n}\n"
    "extern \"C\" __attribute__((visibility(\"default\"), used)) const char *__lsan_default_options()\n"
    "{\n    return \"fast_unwind_on_malloc=0:print_suppressions=0\";\n}\n"
    "extern \"C\" __attribute__((visibility(\"default\"), used)) const char *__asan_default_options()\n"
    "{\n    return \"detect_odr_violation=1\";\n}\n")
configure_file("${ORBISTO_LSAN_SOURCE}.in" "${ORBISTO_LSAN_SOURCE}" COPYONLY)
add_library(OrbistoLsanSuppressions OBJECT "${ORBISTO_LSAN_SOURCE}")
link_libraries(OrbistoLsanSuppressions)
