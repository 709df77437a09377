# Sanitizer builds apply to every target of the tree, libraries included, so
# that a race or an overflow inside libpellaxa or a platform layer is seen too.
if(QUORLAN2_SANITIZE)
  add_compile_options(-fsanitize=${QUORLAN2_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${QUORLAN2_SANITIZE})
  if(QUORLAN2_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()
