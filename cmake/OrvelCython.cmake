# orvel_add_cython_module(<target>
#     PYX <file.pyx> MODULE <dotted.module.name>
#     [SOURCES <extra C++ sources>...] [LINK <libraries>...] [RPATH <run paths>...])
#
# Translates the .pyx with Cython in C++ mode (a depfile makes edits to cimported .pxd files
# rebuild it), builds the extension module and installs it beside its .pyx in the package.
find_program(CYTHON_EXECUTABLE NAMES cython cython3 HINTS ${Python_EXECUTABLE}/.. REQUIRED)

# Cross-compiling, the Python headers may be the build machine's, whose pyconfig.h records that
# machine's type sizes; the object layouts of the C API follow them. Stop unless the target has
# the same ones.
if(CMAKE_CROSSCOMPILING)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES ${Python_INCLUDE_DIRS})
  check_cxx_source_compiles([[
    #include <pyconfig.h>
    #include <cstddef>
    #include <ctime>
    #include <sys/types.h>
    static_assert(SIZEOF_SHORT == sizeof(short) && SIZEOF_INT == sizeof(int));
    static_assert(SIZEOF_LONG == sizeof(long) && SIZEOF_LONG_LONG == sizeof(long long));
    static_assert(SIZEOF_VOID_P == sizeof(void*) && SIZEOF_SIZE_T == sizeof(std::size_t));
    static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t) && SIZEOF_TIME_T == sizeof(std::time_t));
    static_assert(SIZEOF_OFF_T == sizeof(off_t) && SIZEOF_PID_T == sizeof(pid_t));
    static_assert(SIZEOF_FLOAT == sizeof(float) && SIZEOF_DOUBLE == sizeof(double));
    static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double));
    static_assert(ALIGNOF_LONG == alignof(long) && ALIGNOF_SIZE_T == alignof(std::size_t));
    static_assert(ALIGNOF_MAX_ALIGN_T == alignof(std::max_align_t));
    #if defined(WORDS_BIGENDIAN) != (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__)
    #error "byte order"
    #endif
    int main() {}
  ]] ORVEL_PYCONFIG_FITS_TARGET)
  unset(CMAKE_REQUIRED_INCLUDES)
  if(NOT ORVEL_PYCONFIG_FITS_TARGET)
    message(FATAL_ERROR "${Python_INCLUDE_DIRS}/pyconfig.h describes types of another size than "
                        "${CMAKE_SYSTEM_PROCESSOR} has: these headers cannot build its modules")
  endif()
endif()

function(orvel_add_cython_module target)
  cmake_parse_arguments(ARG "" "PYX;MODULE" "SOURCES;LINK;RPATH" ${ARGN})
  get_filename_component(pyx ${ARG_PYX} ABSOLUTE)
  get_filename_component(stem ${ARG_PYX} NAME_WE)
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/${stem}.cpp)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND ${CYTHON_EXECUTABLE} --cplus -3 --fast-fail
            --module-name ${ARG_MODULE} -I ${PROJECT_SOURCE_DIR}
            --depfile -o ${generated} ${pyx}
    DEPENDS ${pyx}
    DEPFILE ${generated}.dep
    COMMENT "Cython ${ARG_MODULE}"
    VERBATIM)

  python_add_library(${target} MODULE WITH_SOABI ${generated} ${ARG_SOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${stem})
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  # Cython's generated code trips -Wextra in ways that are not ours to fix.
  target_compile_options(${target} PRIVATE -Wall -Wno-unused-function -Wno-unused-parameter)
  if(ARG_LINK)
    target_link_libraries(${target} PRIVATE ${ARG_LINK})
  endif()
  if(ARG_RPATH)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "${ARG_RPATH}")
  endif()

  string(REPLACE "." "/" module_path ${ARG_MODULE})
  get_filename_component(package_dir ${module_path} DIRECTORY)
  install(TARGETS ${target} LIBRARY DESTINATION ${package_dir})
endfunction()
