# The manual page and the --help text, both made from doc/sysaudio.1.txt so they say the same.
find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(SYSAUDIO_MANUAL "${PROJECT_BINARY_DIR}/doc/sysaudio.1")
set(sysaudio_usage_header "${PROJECT_BINARY_DIR}/generated/usage_text.h")
add_custom_command(
  OUTPUT "${SYSAUDIO_MANUAL}" "${sysaudio_usage_header}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/doc"
          "${PROJECT_BINARY_DIR}/generated"
  COMMAND Python3::Interpreter "${PROJECT_SOURCE_DIR}/doc/render_manual.py"
          "${PROJECT_SOURCE_DIR}/doc/sysaudio.1.txt" --version "${PROJECT_VERSION}"
          --manual "${SYSAUDIO_MANUAL}" --header "${sysaudio_usage_header}"
  DEPENDS "${PROJECT_SOURCE_DIR}/doc/render_manual.py" "${PROJECT_SOURCE_DIR}/doc/sysaudio.1.txt"
  COMMENT "Making the manual page and the --help text"
  VERBATIM)
target_sources(sysaudio_core PRIVATE "${sysaudio_usage_header}")
target_include_directories(sysaudio_core PRIVATE "${PROJECT_BINARY_DIR}/generated")
# The manual is built with the program, so that an install finds it.
add_custom_target(sysaudio_manual ALL DEPENDS "${SYSAUDIO_MANUAL}")

if(SYSAUDIO_BUILD_TESTS)
  add_test(NAME manual_renderer
           COMMAND Python3::Interpreter -m unittest -v test_render_manual
           WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}/doc")
  # groff as man(1) runs it, with every warning on: a stray request or escape in the source shows.
  find_program(SYSAUDIO_GROFF groff REQUIRED)
  add_test(NAME manual_formats_cleanly
           COMMAND sh -c "warnings=$(\"$0\" -man -Tutf8 -ww -z \"$1\" 2>&1) && [ -z \"$warnings\" ] || { echo \"$warnings\"; exit 1; }"
                   "${SYSAUDIO_GROFF}" "${SYSAUDIO_MANUAL}")
  set_tests_properties(manual_renderer manual_formats_cleanly PROPERTIES LABELS unit)
endif()
