# Warnings are errors in every target of ours.
function(kestrel_warnings target)
    target_compile_options(${target} PRIVATE
        -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wundef -Wcast-align
        -Wnon-virtual-dtor -Wimplicit-fallthrough -Werror)
endfunction()
