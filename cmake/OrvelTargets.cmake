# Compiler settings shared by every target of the project.

if(ORVEL_SANITIZE)
  add_compile_options(-fsanitize=${ORVEL_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ORVEL_SANITIZE})
  if(ORVEL_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# Warnings are per target so that Cython's generated code can be held to a looser standard.
function(orvel_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Werror=return-type)
endfunction()
