# orvel_check_bundled_versions(<result variable> <include dir> <spdlog library> <fmt library>)
#
# Compares the versions the spdlog and fmt headers under <include dir> declare with the versions
# the two shared libraries carry at the end of their file names (libspdlog.so.1.10.0, or
# libspdlog-<hash>.so.1.10.0 once auditwheel has copied it). Code compiled against one version's
# headers and run against another's library fails at import or, worse, misbehaves, so both orvel's
# own build and the CMake package of the wheel call this. Sets <result variable> to an empty string
# when everything agrees, else to a message naming both versions.
#
# Installed beside orvelConfig.cmake; usable on its own with `cmake -P`.

function(orvel_check_bundled_versions result include_dir spdlog_library fmt_library)
  set(problems "")

  set(version_h "${include_dir}/spdlog/version.h")
  if(EXISTS "${version_h}")
    file(STRINGS "${version_h}" lines REGEX "^#define SPDLOG_VER_(MAJOR|MINOR|PATCH) ")
    foreach(part MAJOR MINOR PATCH)
      string(REGEX REPLACE ".*#define SPDLOG_VER_${part} ([0-9]+).*" "\\1" ${part} "${lines}")
    endforeach()
    set(spdlog_headers "${MAJOR}.${MINOR}.${PATCH}")
  else()
    set(spdlog_headers "none (no ${version_h})")
  endif()

  # fmt 11 moved FMT_VERSION from core.h to base.h; the value is major * 10000 + minor * 100 + patch.
  set(fmt_headers "none (no ${include_dir}/fmt/base.h or core.h)")
  foreach(header base.h core.h)
    if(EXISTS "${include_dir}/fmt/${header}")
      file(STRINGS "${include_dir}/fmt/${header}" line REGEX "^#define FMT_VERSION [0-9]+")
      if(line)
        string(REGEX REPLACE "^#define FMT_VERSION ([0-9]+).*" "\\1" number "${line}")
        math(EXPR major "${number} / 10000")
        math(EXPR minor "${number} / 100 % 100")
        math(EXPR patch "${number} % 100")
        set(fmt_headers "${major}.${minor}.${patch}")
        break()
      endif()
    endif()
  endforeach()

  foreach(name spdlog fmt)
    get_filename_component(file "${${name}_library}" NAME)
    if(file MATCHES "\\.so\\.([0-9]+\\.[0-9]+\\.[0-9]+)$")
      set(library "${CMAKE_MATCH_1}")
    else()
      set(library "unknown (${file} does not end in .so.<major>.<minor>.<patch>)")
    endif()
    if(NOT "${${name}_headers}" STREQUAL "${library}")
      string(APPEND problems "${name}: the headers in ${include_dir} are version ${${name}_headers}, "
                             "the library ${${name}_library} is version ${library}. ")
    endif()
  endforeach()
  string(STRIP "${problems}" problems)
  set(${result} "${problems}" PARENT_SCOPE)
endfunction()
