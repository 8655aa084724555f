# Compiler settings shared by every target of the project.

if(ORVEL_SANITIZE)
  add_compile_options(-fsanitize=${ORVEL_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ORVEL_SANITIZE})
  if(ORVEL_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
  if(ORVEL_SANITIZE MATCHES "thread")
    # ThreadSanitizer does not model stand-alone fences. The ring's fences order only atomic
    # accesses (the sleeper handshake, overwrite mode's copy-then-validate), so it cannot
    # misreport a race because of them.
    add_compile_options(-Wno-tsan)
  endif()
endif()

# Warnings are per target so that Cython's generated code can be held to a looser standard.
function(orvel_strict_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wno-sign-conversion -Werror=return-type)
endfunction()
