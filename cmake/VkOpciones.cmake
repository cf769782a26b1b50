# Compiler settings every target of ours takes. Build configuration only: no code is shared.
function(vk_opciones target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion
                         -Wshadow -Wnon-virtual-dtor -Wold-style-cast)
  if(VK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(VK_ENDURECER)
    target_compile_options(${target} PRIVATE -fstack-protector-strong -fstack-clash-protection
                           -fcf-protection -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
    target_link_options(${target} PRIVATE -Wl,-z,relro,-z,now -Wl,-z,noexecstack)
    set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  endif()
endfunction()

# vk_programa(<target>): a shipped program. The hardened builds (what ships, and CI) link the C++
# runtime statically: a run neither maps nor relocates the whole shared library (about 2 ms of
# every vkcofre run) nor keeps its pages resident (about 0.6 MB of vkoido's). Sanitizer builds
# keep it shared, as their runtimes expect.
function(vk_programa target)
  if(VK_ENDURECER)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()

# Tests and third-party-facing code are compiled with the same warnings, minus the ones
# GoogleTest's macros trip over.
function(vk_opciones_test target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(VK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
