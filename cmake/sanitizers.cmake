# Sanitizer builds apply to every target, third-party test framework included, so that
# instrumented and uninstrumented code never mix.
if(KESTREL_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(KESTREL_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(NOT KESTREL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KESTREL_SANITIZE must be empty, 'address' or 'thread'")
endif()
