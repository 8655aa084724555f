# orvel_add_cython_module(<target>
#     PYX <file.pyx> MODULE <dotted.module.name>
#     [SOURCES <extra C++ sources>...] [LINK <libraries>...] [RPATH <run paths>...])
#
# Translates the .pyx with Cython in C++ mode (a depfile makes edits to cimported .pxd files
# rebuild it), builds the extension module and installs it beside its .pyx in the package.
find_program(CYTHON_EXECUTABLE NAMES cython cython3 HINTS ${Python_EXECUTABLE}/.. REQUIRED)

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
