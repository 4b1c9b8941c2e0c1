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
