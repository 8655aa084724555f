# orvel_find_package(<package> <Debian packages> [find_package arguments...])
#
# find_package that stops configuration, when the package is missing, with the Debian packages
# that provide it: a build from the source distribution meets this before anything else.
macro(orvel_find_package package debian)
  find_package(${package} ${ARGN})
  if(NOT ${package}_FOUND)
    message(FATAL_ERROR "${package} not found: install Debian's ${debian} (apt-get install ${debian})")
  endif()
endmacro()
